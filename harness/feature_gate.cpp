#include "feature_gate.h"

#include "cpu_instructions.h"

namespace {

enum class Word { Leaf1Ecx, Leaf1Edx, Ext1Edx };

struct Requirement {
    FeatureMask bit;
    Word word;
    std::uint32_t cpuidBit;
};

// Tested in this order; the first missing feature decides.
constexpr Requirement kRequirements[] = {
    {feature::kMmx, Word::Leaf1Edx, 1u << 23},
    {feature::kSse, Word::Leaf1Edx, 1u << 25},
    {feature::kSse2, Word::Leaf1Edx, 1u << 26},
    {feature::kSse3, Word::Leaf1Ecx, 1u << 0},
    {feature::kCmov, Word::Leaf1Edx, 1u << 15},
    {feature::kApic, Word::Leaf1Edx, 1u << 9},
    {feature::kHtt, Word::Leaf1Edx, 1u << 28},
    {feature::kTsc, Word::Leaf1Edx, 1u << 4},
    {feature::k3dNow, Word::Ext1Edx, 1u << 31},
    {feature::k3dNowExt, Word::Ext1Edx, 1u << 30},
};

constexpr std::uint32_t kExtLeafFeatures = 0x80000001u;

std::uint32_t WordOf(Word word, const CpuFacts &facts)
{
    switch (word) {
    case Word::Leaf1Ecx:
        return facts.leaf1Ecx;
    case Word::Leaf1Edx:
        return facts.leaf1Edx;
    case Word::Ext1Edx:
        // A processor whose highest extended leaf is below this one would
        // answer with unrelated data: its extended features are absent.
        return facts.maxExtLeaf >= kExtLeafFeatures ? facts.ext1Edx : 0;
    }
    return 0;
}

} // namespace

CpuFacts ReadCpuFacts()
{
    CpuFacts facts;
#if defined(MATMUL_CPU_X86)
    facts.cpuid = cpu::CpuidAvailable();
    if (!facts.cpuid) {
        return facts;
    }
    const cpu::CpuidResult leaf1 = cpu::Cpuid(1);
    facts.leaf1Ecx = leaf1.ecx;
    facts.leaf1Edx = leaf1.edx;
    facts.maxExtLeaf = cpu::Cpuid(0x80000000u).eax;
    if (facts.maxExtLeaf >= kExtLeafFeatures) {
        facts.ext1Edx = cpu::Cpuid(kExtLeafFeatures).edx;
    }
#else
    // No CPUID here: the gate still answers, and every feature it knows is
    // absent, so a kernel that asks for one is never run.
    facts.cpuid = true;
#endif
    return facts;
}

int FeaturesPresent(FeatureMask mask, const CpuFacts &facts)
{
    if (!facts.cpuid) {
        return 0;
    }
    for (const Requirement &req : kRequirements) {
        if ((mask & req.bit) != 0 && (WordOf(req.word, facts) & req.cpuidBit) == 0) {
            return 0;
        }
    }
    return 1;
}

int CheckFeatures(FeatureMask mask)
{
    return FeaturesPresent(mask, ReadCpuFacts());
}
