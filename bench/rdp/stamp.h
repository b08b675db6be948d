#pragma once
// The time stamp the benchmark animation draws into each frame, so that whoever reads a client's
// screen knows how long ago the server drew what it shows: the milliseconds of the machine's
// monotonic clock (modulo 65536), as 16 black or white blocks, and beside them the same bits
// inverted. A reading whose halves disagree (a frame caught half drawn, or a codec that smeared
// a block) is dropped. Both halves lie in one 64 x 64 tile, which codecs send whole.
#include <chrono>
#include <cstdint>
#include <optional>

inline constexpr int kStampX = 64;  // the stamp's corner on the server's desktop
inline constexpr int kStampY = 0;
inline constexpr int kStampBlock = 8;                // pixels a side; 4 x 4 blocks a half
inline constexpr int kStampWidth = 8 * kStampBlock;  // value, then its inverse
inline constexpr int kStampHeight = 4 * kStampBlock;

inline std::uint16_t StampNow() {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  return static_cast<std::uint16_t>(ms & 0xFFFF);
}

// Whether the block at (column 0..7, row 0..3) is white for this stamp.
inline bool StampBlockWhite(std::uint16_t stamp, int column, int row) {
  const int bit = row * 4 + (column % 4);
  const bool set = ((stamp >> bit) & 1) != 0;
  return column < 4 ? set : !set;
}

// Reads a stamp back from the brightness (0..255) of each block's centre.
template <typename Brightness>
std::optional<std::uint16_t> ReadStamp(Brightness brightness) {
  std::uint16_t value = 0;
  for (int row = 0; row < 4; ++row)
    for (int column = 0; column < 4; ++column) {
      const int centre = kStampBlock / 2;
      const bool set = brightness(column * kStampBlock + centre, row * kStampBlock + centre) >= 128;
      const bool inverse =
          brightness((column + 4) * kStampBlock + centre, row * kStampBlock + centre) >= 128;
      if (set == inverse) return std::nullopt;
      if (set) value = static_cast<std::uint16_t>(value | (1u << (row * 4 + column)));
    }
  return value;
}

// Milliseconds from a stamp to now, on the same clock.
inline int StampAge(std::uint16_t stamp) {
  return static_cast<std::uint16_t>(StampNow() - stamp);
}
