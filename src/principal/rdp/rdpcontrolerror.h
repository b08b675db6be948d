#pragma once

#include <cstdint>

#include "core/errors.h"

// A refusal of the remote desktop control: its description (what the error box shows) and its
// result code.
class ERdpControlError : public Exception {
 public:
  ERdpControlError(QString description, std::uint32_t resultCode)
      : Exception(std::move(description)), resultCode_(resultCode) {}

  [[nodiscard]] std::uint32_t ResultCode() const { return resultCode_; }
  [[nodiscard]] const char* ClassName() const override { return "ERdpControlError"; }

 private:
  std::uint32_t resultCode_;
};

// The result codes the control's refusals carry.
inline constexpr std::uint32_t kResultInvalidArgument = 0x80070057u;
inline constexpr std::uint32_t kResultUnexpected = 0x8000FFFFu;
