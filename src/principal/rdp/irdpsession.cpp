#include "principal/rdp/irdpsession.h"

#include <string.h>

#include <algorithm>

void TCertificateQuestion::Answer(bool trust) {
  (void)Settle(trust ? Outcome::Trusted : Outcome::Refused);
}

void TCertificateQuestion::Withdraw() {
  (void)Settle(Outcome::Withdrawn);
}

TCertificateQuestion::Outcome TCertificateQuestion::Result() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

bool TCertificateQuestion::Settle(Outcome outcome) {
  {
    std::lock_guard lock(mutex_);
    if (outcome_ != Outcome::Waiting) return false;
    outcome_ = outcome;
  }
  changed_.notify_all();
  return true;
}

TCertificateQuestion::Outcome TCertificateQuestion::WaitForAnswer(
    std::chrono::steady_clock::time_point deadline, const std::function<bool()>& keepWaiting) {
  // How often the wait looks whether the connection still wants the answer.
  constexpr auto kPoll = std::chrono::milliseconds(100);
  std::unique_lock lock(mutex_);
  while (outcome_ == Outcome::Waiting) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    lock.unlock();
    const bool keep = keepWaiting();
    lock.lock();
    if (!keep || outcome_ != Outcome::Waiting) break;
    changed_.wait_until(lock, std::min(deadline, now + kPoll));
  }
  if (outcome_ == Outcome::Waiting) outcome_ = Outcome::Withdrawn;
  return outcome_;
}

void WipePassword(QString& password) {
  if (password.isDetached() && !password.isEmpty())
    explicit_bzero(password.data(), sizeof(QChar) * static_cast<size_t>(password.size()));
  password = QString();
}
