#include "benchmark_driver.h"

#include "clock_ticks.h"
#include "command_line.h"
#include "kernel_loading.h"
#include "number_conversions.h"
#include "operand_generator.h"
#include "process.h"
#include "tokenizer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t kTextSize = 512;

// The three matrices every kernel call receives, back to back, each on a
// 16-byte boundary.
struct alignas(MATRIX4_ALIGNMENT) Matrices {
    Matrix4 result;
    Matrix4 a;
    Matrix4 b;
};
static_assert(sizeof(Matrix4) == 64 && offsetof(Matrices, a) == 64 && offsetof(Matrices, b) == 128);

Matrices g_matrices;

char g_commandLine[kTextSize];
char g_scratch[kTextSize];
char g_libraryPath[kTextSize];
char g_procedureName[kTextSize];

constexpr char kUsage[] = "Usage:\r\n\tTest <Dll name> <Procedure name> <Repeat count> [Features needed]\r\n";

void WriteOut(const char *text)
{
    platform::WriteStdout(text);
}

// Formats value into the scratch text and prints it from there.
void WriteU64(std::uint64_t value)
{
    numbers::FormatU64(value, g_scratch);
    WriteOut(g_scratch);
}

struct Elapsed {
    std::uint64_t ticks;
    std::uint64_t milliseconds;
};

// Calls the kernel count times between the two counter reads and returns the
// elapsed clock ticks and milliseconds. The loop holds only the call and the
// count-down.
Elapsed TimeKernel(KernelEntry entry, std::uint32_t count)
{
    Matrix4 *const result = &g_matrices.result;
    const Matrix4 *const a = &g_matrices.a;
    const Matrix4 *const b = &g_matrices.b;

    const std::uint32_t t0 = platform::GetTickCount();
    const std::uint64_t c0 = ReadClockTicks();
    do {
        entry(result, a, b);
    } while (--count != 0);
    const std::uint64_t c1 = ReadClockTicks();
    const std::uint32_t t1 = platform::GetTickCount();
    // Unsigned 32-bit subtraction stays right across one wrap of the tick count.
    return {c1 - c0, static_cast<std::uint32_t>(t1 - t0)};
}

// The header is printed before the kernel runs; the count text is the
// scratch text, which the times overwrite afterwards.
void PrintHeader()
{
    WriteOut("Library:    ");
    WriteOut(platform::FindFileName(g_libraryPath));
    WriteOut("\r\nProcedure:  ");
    WriteOut(g_procedureName);
    WriteOut("\r\nRepeat:     ");
    WriteOut(g_scratch);
    WriteOut(" time(s)");
}

void PrintTimes(std::uint32_t count, const Elapsed &elapsed)
{
    if (elapsed.ticks != 0 || elapsed.milliseconds != 0) {
        WriteOut("\r\nTotal time: ");
        WriteU64(elapsed.ticks);
        WriteOut(" clock ticks");
        if (elapsed.milliseconds != 0) {
            WriteOut(", ");
            WriteU64(elapsed.milliseconds);
            WriteOut(" ms.");
        }
        if (count > 1) {
            WriteOut("\r\nEach run:   ");
            WriteU64(numbers::RoundedQuotient(elapsed.ticks, count));
            WriteOut(" clock ticks");
            const std::uint64_t msPerRun = numbers::RoundedQuotient(elapsed.milliseconds, count);
            if (msPerRun != 0) {
                WriteOut(", ");
                WriteU64(msPerRun);
                WriteOut(" ms.");
            }
        }
    }
    WriteOut("\r\n\r\n");
}

// One complete run on the command line RunTestProgram took: parse the
// arguments, check the features, load the kernel, time it and print the
// report.
void RunBenchmark()
{
    const tokenizer::ArgList args = tokenizer::SplitArgs(&tokenizer::kArgSyntax, g_commandLine);
    if (!args) {
        return;
    }
    if (tokenizer::GetArg(args.get(), 1, g_libraryPath) == nullptr) {
        WriteOut(kUsage);
        return;
    }
    if (tokenizer::GetArg(args.get(), 2, g_procedureName) == nullptr) {
        return;
    }
    // The features are checked with the loading, after the count: both
    // stop the run without a word, in whichever order.
    FeatureMask mask = 0;
    if (tokenizer::GetArg(args.get(), 4, g_scratch) != nullptr) {
        mask = numbers::ParseFeatures(g_scratch);
    }
    if (tokenizer::GetArg(args.get(), 3, g_scratch) == nullptr) {
        return;
    }
    // A negative count is refused like 0: as an unsigned count it would
    // mean billions of calls nobody asked for.
    const std::int32_t parsed = numbers::ParseCount(g_scratch);
    if (parsed <= 0) {
        return;
    }
    const auto count = static_cast<std::uint32_t>(numbers::FormatI32(parsed, g_scratch));

    const LoadedKernel kernel = LoadKernel(g_libraryPath, g_procedureName, mask);
    if (!kernel.Ready()) {
        return;
    }
    PrintHeader();
    const Elapsed elapsed = TimeKernel(kernel.entry, count);
    // The figures are converted on the x87 unit, which the kernel may have
    // left full.
    cpu::ResetX87();
    PrintTimes(count, elapsed);
    platform::CloseLibrary(kernel.library);
}

} // namespace

void RunTestProgram()
{
    SeedRandom(platform::GetTickCount());
    FillRandomMatrix(g_matrices.a);
    FillRandomMatrix(g_matrices.b);
    const char *commandLine = platform::GetCommandLineText();
    std::strncpy(g_commandLine, commandLine, kTextSize - 1);
    g_commandLine[kTextSize - 1] = '\0';
    RunBenchmark();
    platform::ExitProcess(0);
}
