#pragma once

#include <cstddef>
#include <span>

// The built-in keyboard layouts as byte streams, generated at build time from the readable
// source in resources/keyboard/ (see tools/layoutgen).
struct TBuiltInLayoutBlock {
  const char* Name;  // "STANDARD102KEYBOARD"
  const unsigned char* Data;
  std::size_t Size;
};

// Every built-in block, in ascending name order.
[[nodiscard]] std::span<const TBuiltInLayoutBlock> BuiltInLayoutBlocks();
