// Decides whether the processor offers the features a kernel needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Bits of processor features a kernel requires, each as features.def
// assigns it.
using FeatureMask = std::uint32_t;

namespace feature {
// One constant per feature of features.def, named after the feature as a
// registration names it: kSSE2, kAVX512F, k3DNOW.
#define MATMUL_FEATURE(name, bit, printed, cpuinfo, word, cpuidBit, osState) \
    inline constexpr FeatureMask k##name = FeatureMask{1} << (bit);
#include "features.def"
#undef MATMUL_FEATURE

// Each bit with the name a user knows it by, in the order of the bits'
// documentation.
struct NamedFeature {
    FeatureMask bit;
    const char *name;
};
inline constexpr NamedFeature kNamed[] = {
#define MATMUL_FEATURE(name, bit, printed, cpuinfo, word, cpuidBit, osState) {k##name, printed},
#include "features.def"
#undef MATMUL_FEATURE
};
} // namespace feature

// Register state the operating system saves on a context switch, as bits of
// extended control register 0.
namespace os_state {
// CPUID leaf 1, ECX: the operating system has enabled XGETBV, so XCR0 can be
// read; without it the bits below mean nothing.
inline constexpr std::uint32_t kOsxsave = 1u << 27;
// A feature with no register state of its own to save.
inline constexpr std::uint64_t kNone = 0;
inline constexpr std::uint64_t kXmm = 0x2;
inline constexpr std::uint64_t kYmm = 0x4;
inline constexpr std::uint64_t kOpmask = 0x20;
inline constexpr std::uint64_t kZmmHigh256 = 0x40;
inline constexpr std::uint64_t kZmmHigh16 = 0x80;
inline constexpr std::uint64_t kAvx = kXmm | kYmm;
inline constexpr std::uint64_t kAvx512 = kAvx | kOpmask | kZmmHigh256 | kZmmHigh16;
} // namespace os_state

namespace feature {

// What the processor reports about itself, as read by CPUID.
struct CpuFacts {
    bool cpuid = false;             // the ID flag can be toggled
    std::uint32_t maxLeaf = 0;      // CPUID leaf 0, EAX
    std::uint32_t leaf1Ecx = 0;     // CPUID leaf 1
    std::uint32_t leaf1Edx = 0;
    std::uint32_t leaf7Ebx = 0;     // CPUID leaf 7 sub-leaf 0, when it exists
    std::uint32_t maxExtLeaf = 0;   // CPUID leaf 0x80000000, EAX
    std::uint32_t ext1Edx = 0;      // CPUID leaf 0x80000001, when it exists
    std::uint64_t xcr0 = 0;         // XGETBV(0), when leaf 1 reports OSXSAVE
};

// Reads this processor's facts. On a processor that is not x86 every
// feature word is zero, so each feature counts as absent.
CpuFacts ReadCpuFacts();

// Whether every feature the mask names is present in facts. Bits the
// gate does not know are ignored; without CPUID nothing is present. A
// feature that uses wider registers also needs the operating system to save
// them (OSXSAVE set and the bits in XCR0): a CPUID bit alone is not enough.
bool FeaturesPresent(FeatureMask mask, const CpuFacts &facts);

// FeaturesPresent on this processor.
bool CheckFeatures(FeatureMask mask);

// The features the mask asks for that this processor lacks, by name
// ("FMA", "AVX2"), in the order of kNamed; none when it has them all. Bits
// with no name are ignored, as the gate ignores them.
std::vector<std::string> MissingFeatures(FeatureMask mask);

} // namespace feature
