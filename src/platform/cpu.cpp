#include "platform/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstring>

TCpuIdentity ReadCpuIdentity() {
  TCpuIdentity identity;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return identity;
  // The vendor text is spread over EBX, EDX, ECX in that order.
  char vendor[13] = {};
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  identity.vendor = QString::fromLatin1(vendor);

  identity.maxExtendedLeaf = __get_cpuid_max(0x80000000u, nullptr);
  if (identity.maxExtendedLeaf >= kExtendedFeaturesLeaf &&
      __get_cpuid(kExtendedFeaturesLeaf, &eax, &ebx, &ecx, &edx) != 0) {
    identity.extendedFeaturesEdx = edx;
  }
#endif
  return identity;
}

bool TCpuInfo::Is64Bits() const {
  const bool knownVendor = identity_.vendor == QLatin1String(kIntelVendor) ||
                           identity_.vendor == QLatin1String(kAmdVendor);
  return knownVendor && identity_.maxExtendedLeaf >= kExtendedFeaturesLeaf &&
         (identity_.extendedFeaturesEdx & kLongModeBit) != 0;
}
