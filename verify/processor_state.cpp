#include "processor_state.h"

#include "cpu_instructions.h"

#include <cstdint>
#include <cstdio>

namespace {

[[maybe_unused]] std::string Hex(const char *what, unsigned before, unsigned after)
{
    char text[96];
    std::snprintf(text, sizeof text, "changed %s from 0x%04X to 0x%04X", what, before, after);
    return text;
}

[[maybe_unused]] void Append(std::string &text, const std::string &more)
{
    text += (text.empty() ? "" : "; ") + more;
}

#if defined(__x86_64__) || defined(__i386__)

// The x87 environment as FNSTENV stores it in 32-bit form: control word,
// status word, tag word, then the last instruction and operand.
struct X87Environment {
    std::uint32_t word[7];
};

// FNSTENV masks every x87 exception after it stores; FLDENV puts the
// control word back at once.
void SaveX87(X87Environment &env)
{
    __asm__ volatile("fnstenv %0" : "=m"(env));
    __asm__ volatile("fldenv %0" : : "m"(env));
}

void LoadX87(const X87Environment &env)
{
    __asm__ volatile("fldenv %0" : : "m"(env));
}

bool DirectionFlagSetThenClear()
{
#if defined(__x86_64__)
    const std::uint64_t flags = __builtin_ia32_readeflags_u64();
#else
    const std::uint32_t flags = __builtin_ia32_readeflags_u32();
#endif
    __asm__ volatile("cld" ::: "memory");
    return (flags & 0x400u) != 0;
}

} // namespace

const char *WatchedState()
{
    return "x87 stack empty, x87 and SSE control words as they were and the direction flag clear after every call";
}

std::string CallRestoringState(KernelEntry entry, Matrix4 *result, const Matrix4 *a, const Matrix4 *b)
{
    X87Environment before;
    SaveX87(before);
    const std::uint32_t mxcsrBefore = cpu::ReadMxcsr();
    // Nothing between the call and the flag's reading may use a string
    // instruction, which a flag left set would turn backwards.
    entry(result, a, b);
    const bool directionSet = DirectionFlagSetThenClear();
    X87Environment after;
    SaveX87(after);
    const std::uint32_t mxcsrAfter = cpu::ReadMxcsr();
    LoadX87(before);
    cpu::WriteMxcsr(mxcsrBefore);

    std::string change;
    const unsigned tagsBefore = before.word[2] & 0xFFFFu;
    const unsigned tagsAfter = after.word[2] & 0xFFFFu;
    if (tagsAfter != tagsBefore) {
        int left = 0;
        for (int r = 0; r < 8; ++r) {
            left += ((tagsAfter >> (2 * r)) & 3u) != 3u ? 1 : 0;
        }
        Append(change, "left " + std::to_string(left) + (left == 1 ? " value" : " values") +
                           " on the x87 stack (a float returned on the x87 stack, or a missing pop)");
    }
    if ((before.word[0] & 0xFFFFu) != (after.word[0] & 0xFFFFu)) {
        Append(change, Hex("the x87 control word", before.word[0] & 0xFFFFu, after.word[0] & 0xFFFFu));
    }
    // The low six bits are exception flags, which arithmetic sets.
    if ((mxcsrBefore & ~0x3Fu) != (mxcsrAfter & ~0x3Fu)) {
        Append(change, Hex("the SSE control register MXCSR", mxcsrBefore, mxcsrAfter));
    }
    if (directionSet) {
        Append(change, "left the direction flag set");
    }
    return change;
}

#elif defined(__aarch64__)

} // namespace

const char *WatchedState()
{
    return "the floating-point control register as it was after every call";
}

std::string CallRestoringState(KernelEntry entry, Matrix4 *result, const Matrix4 *a, const Matrix4 *b)
{
    const std::uint64_t before = cpu::ReadFpcr();
    entry(result, a, b);
    const std::uint64_t after = cpu::ReadFpcr();
    cpu::WriteFpcr(before);
    std::string change;
    if (after != before) {
        Append(change, Hex("the floating-point control register FPCR", static_cast<unsigned>(before),
                           static_cast<unsigned>(after)));
    }
    return change;
}

#else

} // namespace

const char *WatchedState()
{
    return "nothing to watch on this processor";
}

std::string CallRestoringState(KernelEntry entry, Matrix4 *result, const Matrix4 *a, const Matrix4 *b)
{
    entry(result, a, b);
    return {};
}

#endif
