#include "cpu_instructions.h"
#include "feature_gate.h"

#include <gtest/gtest.h>

namespace {

using feature::CheckFeatures;
using feature::CpuFacts;
using feature::FeaturesPresent;
using feature::ReadCpuFacts;

// A processor that has every feature of the table.
CpuFacts Everything()
{
    CpuFacts facts;
    facts.cpuid = true;
    facts.maxLeaf = 0x1Fu;
    facts.leaf1Ecx = 0xFFFFFFFFu;
    facts.leaf1Edx = 0xFFFFFFFFu;
    facts.leaf7Ebx = 0xFFFFFFFFu;
    facts.maxExtLeaf = 0x80000008u;
    facts.ext1Edx = 0xFFFFFFFFu;
    facts.xcr0 = 0xE7u; // x87, XMM, YMM, opmask, ZMM
    return facts;
}

// Where features.def says CPUID reports each feature.
constexpr std::uint32_t CpuFacts::*Leaf1Ecx = &CpuFacts::leaf1Ecx;
constexpr std::uint32_t CpuFacts::*Leaf1Edx = &CpuFacts::leaf1Edx;
constexpr std::uint32_t CpuFacts::*Leaf7Ebx = &CpuFacts::leaf7Ebx;
constexpr std::uint32_t CpuFacts::*Ext1Edx = &CpuFacts::ext1Edx;

TEST(FeatureGate, EachBitNeedsItsCpuidBit)
{
    struct Row {
        FeatureMask bit;
        std::uint32_t CpuFacts::*word;
        int cpuidBit;
    };
    const Row rows[] = {
#define MATMUL_FEATURE(name, bit, printed, cpuinfo, word, cpuidBit, osState) {feature::k##name, word, cpuidBit},
#include "features.def"
#undef MATMUL_FEATURE
    };
    FeatureMask all = 0;
    for (const Row &row : rows) {
        all |= row.bit;
        CpuFacts facts = Everything();
        EXPECT_TRUE(FeaturesPresent(row.bit, facts));
        facts.*row.word &= ~(1u << row.cpuidBit);
        EXPECT_FALSE(FeaturesPresent(row.bit, facts)) << "mask bit " << row.bit;
        EXPECT_FALSE(FeaturesPresent(all, facts));
        // Other features do not depend on that CPUID bit.
        EXPECT_TRUE(FeaturesPresent(all & ~row.bit, facts)) << "mask bit " << row.bit;
    }
    EXPECT_TRUE(FeaturesPresent(all, Everything()));
    EXPECT_EQ(all, 0xF1FFFu);
}

TEST(FeatureGate, UnknownBitsAreIgnoredAndNoCpuidMeansNothing)
{
    CpuFacts none;
    none.cpuid = true;
    EXPECT_TRUE(FeaturesPresent(0, none));
    EXPECT_TRUE(FeaturesPresent(0xFFF0E000u, none));
    EXPECT_FALSE(FeaturesPresent(feature::kMMX, none));

    CpuFacts noCpuid = Everything();
    noCpuid.cpuid = false;
    EXPECT_FALSE(FeaturesPresent(0, noCpuid));
    EXPECT_FALSE(FeaturesPresent(feature::kSSE, noCpuid));
}

TEST(FeatureGate, MissingExtendedLeafMeansNo3DNow)
{
    CpuFacts facts = Everything();
    facts.maxExtLeaf = 0x80000000u; // the leaf with the 3DNow! bits does not exist
    EXPECT_FALSE(FeaturesPresent(feature::k3DNOW, facts));
    EXPECT_FALSE(FeaturesPresent(feature::k3DNOWEXT, facts));
    EXPECT_TRUE(FeaturesPresent(feature::kSSE2, facts));
    facts.maxExtLeaf = 0x00000001u; // an unrelated value from a processor without extended leaves
    EXPECT_FALSE(FeaturesPresent(feature::k3DNOW, facts));
}

TEST(FeatureGate, WideRegistersNeedTheOperatingSystemToSaveThem)
{
    const FeatureMask avxFamily[] = {feature::kAVX, feature::kFMA, feature::kAVX2};
    CpuFacts facts = Everything();
    facts.xcr0 = 0x7; // x87, XMM and YMM: enough for AVX, not for AVX-512
    for (FeatureMask bit : avxFamily) {
        EXPECT_TRUE(FeaturesPresent(bit, facts)) << bit;
    }
    EXPECT_FALSE(FeaturesPresent(feature::kAVX512F, facts));
    for (std::uint64_t missing : {0x20u, 0x40u, 0x80u}) {
        facts.xcr0 = 0xE7u & ~missing;
        EXPECT_FALSE(FeaturesPresent(feature::kAVX512F, facts)) << "XCR0 without bit " << missing;
    }
    facts.xcr0 = 0x3; // YMM state not saved
    for (FeatureMask bit : avxFamily) {
        EXPECT_FALSE(FeaturesPresent(bit, facts)) << bit;
    }
    facts = Everything();
    facts.xcr0 = 0x5; // XMM state not saved
    EXPECT_FALSE(FeaturesPresent(feature::kAVX, facts));
    // Without OSXSAVE, XCR0 means nothing; the older features do not care.
    facts = Everything();
    facts.leaf1Ecx &= ~os_state::kOsxsave;
    for (FeatureMask bit : avxFamily) {
        EXPECT_FALSE(FeaturesPresent(bit, facts)) << bit;
    }
    EXPECT_FALSE(FeaturesPresent(feature::kAVX512F, facts));
    EXPECT_TRUE(FeaturesPresent(feature::kSSE4_2 | feature::kSSSE3 | feature::kSSE4_1, facts));
}

TEST(FeatureGate, LeafSevenOnlyWhenLeafZeroReportsIt)
{
    CpuFacts facts = Everything();
    facts.maxLeaf = 6;
    EXPECT_FALSE(FeaturesPresent(feature::kAVX2, facts));
    EXPECT_FALSE(FeaturesPresent(feature::kAVX512F, facts));
    EXPECT_TRUE(FeaturesPresent(feature::kAVX | feature::kFMA, facts));
    facts.maxLeaf = 7;
    EXPECT_TRUE(FeaturesPresent(feature::kAVX2 | feature::kAVX512F, facts));
}

#if defined(MATMUL_CPU_X86) && (defined(__GNUC__) || defined(__clang__))
TEST(FeatureGate, AgreesWithTheProcessorOnThisMachine)
{
    __builtin_cpu_init();
    EXPECT_TRUE(CheckFeatures(0));
    EXPECT_EQ(CheckFeatures(feature::kMMX), __builtin_cpu_supports("mmx") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSE), __builtin_cpu_supports("sse") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSE2), __builtin_cpu_supports("sse2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSE3), __builtin_cpu_supports("sse3") != 0);
    EXPECT_EQ(CheckFeatures(feature::kCMOV), __builtin_cpu_supports("cmov") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSE | feature::kSSE2), __builtin_cpu_supports("sse2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSSE3), __builtin_cpu_supports("ssse3") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSE4_1), __builtin_cpu_supports("sse4.1") != 0);
    EXPECT_EQ(CheckFeatures(feature::kSSE4_2), __builtin_cpu_supports("sse4.2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kAVX), __builtin_cpu_supports("avx") != 0);
    EXPECT_EQ(CheckFeatures(feature::kFMA), __builtin_cpu_supports("fma") != 0);
    EXPECT_EQ(CheckFeatures(feature::kAVX2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(CheckFeatures(feature::kAVX512F), __builtin_cpu_supports("avx512f") != 0);
    EXPECT_TRUE(ReadCpuFacts().cpuid);
}
#elif defined(MATMUL_CPU_AARCH64)
TEST(FeatureGate, OnAArch64EveryKnownFeatureIsAbsentAndOtherBitsAreIgnored)
{
    FeatureMask known = 0;
    for (const feature::NamedFeature &f : feature::kNamed) {
        known |= f.bit;
    }
    for (int bit = 0; bit < 32; ++bit) {
        const FeatureMask mask = FeatureMask{1} << bit;
        EXPECT_EQ(CheckFeatures(mask), (mask & known) == 0) << "bit " << bit;
    }
    EXPECT_TRUE(CheckFeatures(0));
}
#endif

} // namespace
