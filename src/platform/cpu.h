#pragma once

#include <QString>
#include <cstdint>
#include <utility>

// What the processor says about itself through CPUID: the vendor text of leaf 0, the highest
// extended leaf, and EDX of extended leaf 0x80000001 (0 when that leaf is missing).
struct TCpuIdentity {
  QString vendor;
  std::uint32_t maxExtendedLeaf = 0;
  std::uint32_t extendedFeaturesEdx = 0;
};

// The running processor's identity; all empty on processors without CPUID.
[[nodiscard]] TCpuIdentity ReadCpuIdentity();

// The processor part of the computer information: whether the processor, not the operating
// system, can run 64-bit code. Only Intel and AMD processors that report extended leaf
// 0x80000001 with its long-mode bit (EDX bit 29) count as 64-bit.
class TCpuInfo {
 public:
  TCpuInfo() : identity_(ReadCpuIdentity()) {}
  explicit TCpuInfo(TCpuIdentity identity) : identity_(std::move(identity)) {}

  [[nodiscard]] bool Is64Bits() const;
  [[nodiscard]] const TCpuIdentity& Identity() const { return identity_; }

 private:
  TCpuIdentity identity_;
};

// The computer-information component; only its processor part is used.
struct TComputerInfo {
  TCpuInfo CPU;
};

inline constexpr char kIntelVendor[] = "GenuineIntel";
inline constexpr char kAmdVendor[] = "AuthenticAMD";
inline constexpr std::uint32_t kExtendedFeaturesLeaf = 0x80000001u;
inline constexpr std::uint32_t kLongModeBit = 1u << 29;
