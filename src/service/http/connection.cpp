#include "service/http/connection.h"

#include "service/http/httperrors.h"

std::chrono::milliseconds TDeadline::Left() const {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at - TClock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

void TDeadline::Expired() const {
  // Whole seconds, rounded up: "within 0 s" would read as if no time had been given.
  throw EHttpTimeout((total.count() + 999) / 1000);
}
