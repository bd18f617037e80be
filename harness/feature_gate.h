// Decides whether the processor offers the features a kernel needs.
#pragma once

#include <cstdint>
#include <string>

// Bits of processor features a kernel requires.
using FeatureMask = std::uint32_t;

namespace feature {
inline constexpr FeatureMask kMmx = 0x1;
inline constexpr FeatureMask kSse = 0x2;
inline constexpr FeatureMask kSse2 = 0x4;
inline constexpr FeatureMask kSse3 = 0x8;
inline constexpr FeatureMask k3dNow = 0x10;
inline constexpr FeatureMask k3dNowExt = 0x20;
inline constexpr FeatureMask kApic = 0x10000;
inline constexpr FeatureMask kCmov = 0x20000;
inline constexpr FeatureMask kHtt = 0x40000;
inline constexpr FeatureMask kTsc = 0x80000;
inline constexpr FeatureMask kSsse3 = 0x40;
inline constexpr FeatureMask kSse41 = 0x80;
inline constexpr FeatureMask kSse42 = 0x100;
inline constexpr FeatureMask kAvx = 0x200;
inline constexpr FeatureMask kFma = 0x400;
inline constexpr FeatureMask kAvx2 = 0x800;
inline constexpr FeatureMask kAvx512f = 0x1000;

// Each bit with the name a user knows it by, in the order of the bits'
// documentation.
struct NamedFeature {
    FeatureMask bit;
    const char *name;
};
inline constexpr NamedFeature kNamed[] = {
    {kMmx, "MMX"},       {kSse, "SSE"},         {kSse2, "SSE2"},
    {kSse3, "SSE3"},     {k3dNow, "3DNow!"},    {k3dNowExt, "extended 3DNow!"},
    {kApic, "APIC"},     {kCmov, "CMOV"},       {kHtt, "HTT"},
    {kTsc, "TSC"},       {kSsse3, "SSSE3"},     {kSse41, "SSE4.1"},
    {kSse42, "SSE4.2"},  {kAvx, "AVX"},         {kFma, "FMA"},
    {kAvx2, "AVX2"},     {kAvx512f, "AVX-512F"},
};
} // namespace feature

// Register state the operating system saves on a context switch, as bits of
// extended control register 0.
namespace os_state {
// CPUID leaf 1, ECX: the operating system has enabled XGETBV, so XCR0 can be
// read; without it the bits below mean nothing.
inline constexpr std::uint32_t kOsxsave = 1u << 27;
inline constexpr std::uint64_t kXmm = 0x2;
inline constexpr std::uint64_t kYmm = 0x4;
inline constexpr std::uint64_t kOpmask = 0x20;
inline constexpr std::uint64_t kZmmHigh256 = 0x40;
inline constexpr std::uint64_t kZmmHigh16 = 0x80;
inline constexpr std::uint64_t kAvx = kXmm | kYmm;
inline constexpr std::uint64_t kAvx512 = kAvx | kOpmask | kZmmHigh256 | kZmmHigh16;
} // namespace os_state

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

// The features the mask asks for that this processor lacks, by name and
// comma-separated ("FMA, AVX2"); empty when it has them all. Bits with no
// name are ignored, as the gate ignores them.
std::string MissingFeatures(FeatureMask mask);
