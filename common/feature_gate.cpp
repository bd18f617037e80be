#include "feature_gate.h"

#include "cpu_instructions.h"

namespace {

enum class Word { Leaf1Ecx, Leaf1Edx, Leaf7Ebx, Ext1Edx };

struct Requirement {
    FeatureMask bit;
    Word word;
    std::uint32_t cpuidBit;
    std::uint64_t osState = 0; // XCR0 bits the operating system must save
};

// Where CPUID reports each feature, and the register state it also needs.
constexpr Requirement kRequirements[] = {
#define MATMUL_FEATURE(name, bit, printed, cpuinfo, word, cpuidBit, osState) \
    {feature::k##name, Word::word, std::uint32_t{1} << (cpuidBit), os_state::k##osState},
#include "features.def"
#undef MATMUL_FEATURE
};

constexpr std::uint32_t kLeafExtendedFeatures = 7;
constexpr std::uint32_t kExtLeafFeatures = 0x80000001u;

using feature::CpuFacts;

bool OsSaves(std::uint64_t state, const CpuFacts &facts)
{
    return state == 0 || ((facts.leaf1Ecx & os_state::kOsxsave) != 0 && (facts.xcr0 & state) == state);
}

std::uint32_t WordOf(Word word, const CpuFacts &facts)
{
    switch (word) {
    case Word::Leaf1Ecx:
        return facts.leaf1Ecx;
    case Word::Leaf1Edx:
        return facts.leaf1Edx;
    case Word::Leaf7Ebx:
        return facts.maxLeaf >= kLeafExtendedFeatures ? facts.leaf7Ebx : 0;
    case Word::Ext1Edx:
        // A processor whose highest extended leaf is below this one would
        // answer with unrelated data: its extended features are absent.
        return facts.maxExtLeaf >= kExtLeafFeatures ? facts.ext1Edx : 0;
    }
    return 0;
}

} // namespace

namespace feature {

CpuFacts ReadCpuFacts()
{
    CpuFacts facts;
#if defined(MATMUL_CPU_X86)
    facts.cpuid = cpu::CpuidAvailable();
    if (!facts.cpuid) {
        return facts;
    }
    facts.maxLeaf = cpu::Cpuid(0).eax;
    const cpu::CpuidResult leaf1 = cpu::Cpuid(1);
    facts.leaf1Ecx = leaf1.ecx;
    facts.leaf1Edx = leaf1.edx;
    if (facts.maxLeaf >= kLeafExtendedFeatures) {
        facts.leaf7Ebx = cpu::Cpuid(kLeafExtendedFeatures, 0).ebx;
    }
    if ((facts.leaf1Ecx & os_state::kOsxsave) != 0) {
        facts.xcr0 = cpu::ReadXcr0();
    }
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

bool FeaturesPresent(FeatureMask mask, const CpuFacts &facts)
{
    if (!facts.cpuid) {
        return false;
    }
    for (const Requirement &req : kRequirements) {
        if ((mask & req.bit) == 0) {
            continue;
        }
        if ((WordOf(req.word, facts) & req.cpuidBit) == 0 || !OsSaves(req.osState, facts)) {
            return false;
        }
    }
    return true;
}

bool CheckFeatures(FeatureMask mask)
{
    return FeaturesPresent(mask, ReadCpuFacts());
}

std::vector<std::string> MissingFeatures(FeatureMask mask)
{
    const CpuFacts facts = ReadCpuFacts();
    std::vector<std::string> missing;
    for (const NamedFeature &f : kNamed) {
        if ((mask & f.bit) != 0 && !FeaturesPresent(f.bit, facts)) {
            missing.emplace_back(f.name);
        }
    }
    return missing;
}

} // namespace feature
