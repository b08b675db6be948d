#include "service/http/workprogress.h"

TWorkProgress::TWorkProgress(TBeginHandler onBegin, TWorkHandler onWork, TEndHandler onEnd)
    : onBegin_(std::move(onBegin)), onWork_(std::move(onWork)), onEnd_(std::move(onEnd)) {}

void TWorkProgress::Begin(TWorkMode mode, qint64 countMax) {
  TState& state = state_[mode];
  if (++state.level == 1) {
    state.count = 0;
    state.countMax = countMax;
    if (onBegin_) onBegin_(mode, countMax);
  }
}

void TWorkProgress::Work(TWorkMode mode, qint64 size) {
  TState& state = state_[mode];
  if (state.level < 1) return;
  state.count += size;
  if (onWork_) onWork_(mode, state.count);
}

void TWorkProgress::End(TWorkMode mode) {
  TState& state = state_[mode];
  if (state.level < 1) return;
  if (--state.level == 0 && onEnd_) onEnd_(mode);
}

void TWorkProgress::EndAll(TWorkMode mode) {
  TState& state = state_[mode];
  if (state.level < 1) return;
  state.level = 0;
  if (onEnd_) onEnd_(mode);
}
