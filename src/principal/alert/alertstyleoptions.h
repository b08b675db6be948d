#pragma once

#include <algorithm>
#include <cstdint>

// Timing and opacity of the fade: step counts, intervals and display duration in milliseconds,
// opacity on the scale 0 (invisible) to 255 (opaque). A step count of 0 is stored as 1, so a fade
// always has at least one step.
class TAlertStyleOptions {
 public:
  [[nodiscard]] uint32_t StartSteps() const { return startSteps_; }
  void SetStartSteps(uint32_t steps) { startSteps_ = std::max<uint32_t>(1, steps); }
  [[nodiscard]] uint32_t EndSteps() const { return endSteps_; }
  void SetEndSteps(uint32_t steps) { endSteps_ = std::max<uint32_t>(1, steps); }
  [[nodiscard]] uint32_t StartInterval() const { return startInterval_; }
  void SetStartInterval(uint32_t milliseconds) { startInterval_ = milliseconds; }
  [[nodiscard]] uint32_t EndInterval() const { return endInterval_; }
  void SetEndInterval(uint32_t milliseconds) { endInterval_ = milliseconds; }
  // 0: once faded in, the pop-up stays until it is closed.
  [[nodiscard]] uint32_t DisplayDuration() const { return displayDuration_; }
  void SetDisplayDuration(uint32_t milliseconds) { displayDuration_ = milliseconds; }
  [[nodiscard]] uint8_t MinAlphaBlendValue() const { return minAlpha_; }
  void SetMinAlphaBlendValue(uint8_t alpha) { minAlpha_ = alpha; }
  [[nodiscard]] uint8_t MaxAlphaBlendValue() const { return maxAlpha_; }
  void SetMaxAlphaBlendValue(uint8_t alpha) { maxAlpha_ = alpha; }

 private:
  uint32_t startSteps_ = 10;
  uint32_t endSteps_ = 10;
  uint32_t startInterval_ = 25;
  uint32_t endInterval_ = 50;
  uint32_t displayDuration_ = 1400;
  uint8_t minAlpha_ = 0;
  uint8_t maxAlpha_ = 255;
};
