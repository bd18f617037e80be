#include "child_steps.h"

#include "isolation.h"
#include "kernel_loading.h"
#include "threads.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr char kSeparator = '\0';

std::vector<std::string> Split(std::string_view text, char separator)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        fields.emplace_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return fields;
        }
        start = end + 1;
    }
}

// A field of an answer line: no tab and no line end inside.
std::string Field(std::string text)
{
    for (char &c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

std::string CheckLine(const CheckResult &check)
{
    return "check\t" + Field(check.name) + "\t" + (check.passed ? "1" : "0") + "\t" + Field(check.detail) + "\n";
}

std::string RunKernelStep(const std::string &id, KernelEntry entry)
{
    const std::vector<Step> &steps = CheckSteps();
    const auto step = std::find_if(steps.begin(), steps.end(), [&](const Step &s) { return s.id == id; });
    if (step == steps.end()) {
        return "";
    }
    if (step->contract) {
        return CheckLine(RunContractCheck(*step->contract, entry));
    }
    const ArithmeticFindings findings = CheckArithmetic(entry);
    std::string answer;
    for (const CheckResult &check : findings.checks) {
        answer += CheckLine(check);
    }
    if (findings.product) {
        answer += "product\t" + std::string(ProductName(*findings.product)) + "\n";
    }
    for (RoundingModel model : findings.rounding) {
        answer += "rounding\t" + std::string(RoundingModelName(model)) + "\n";
    }
    if (findings.nearest) {
        answer += "nearest\t" + std::string(RoundingModelName(findings.nearest->model)) + "\t" +
                  std::to_string(findings.nearest->differingElements) + "\t" + Field(findings.nearest->difference) +
                  "\n";
    }
    char worst[64];
    std::snprintf(worst, sizeof worst, "worst\t%.17g\n", findings.worstError);
    return answer + worst;
}

} // namespace

const std::vector<Step> &CheckSteps()
{
    static const std::vector<Step> steps = [] {
        std::vector<Step> list;
        for (std::size_t i = 0; i < kContractChecks.size(); ++i) {
            list.push_back({std::to_string(i), kContractChecks[i], {ContractCheckName(kContractChecks[i])}});
        }
        list.push_back({"arithmetic", std::nullopt, {kProductCheck, kAccuracyCheck, kSpecialsCheck}});
        return list;
    }();
    return steps;
}

std::string EncodeRequest(const std::string &step, const std::string &library, const std::string &procedure)
{
    return step + kSeparator + library + kSeparator + procedure;
}

std::string RunStep(const std::string &request)
{
    const std::vector<std::string> fields = Split(request, kSeparator);
    if (fields.size() != 3) {
        return "";
    }
    const std::string &step = fields[0];
    // The features were checked before any child was started.
    const LoadedKernel kernel = LoadKernel(fields[1].c_str(), fields[2].c_str(), 0);
    if (kernel.failure == LoadedKernel::Failure::NotLoadable) {
        return "not-loadable\t" + Field(kernel.reason) + "\n";
    }
    if (!kernel.Ready()) {
        return "not-exported\t" + Field(kernel.reason) + "\n";
    }
    if (step == kLoadStep) {
        return "loaded\n";
    }
    // Threads the library started as it loaded are its own affair; those
    // the calls leave running are the kernel's.
    const int threads = platform::ThreadCount();
    std::string answer = RunKernelStep(step, kernel.entry);
    if (!FirstStateChange().empty()) {
        answer += "state\t" + Field(FirstStateChange()) + "\n";
    }
    const int threadsAfter = platform::ThreadCount();
    if (threads > 0 && threadsAfter > threads) {
        answer += "threads-left\t" + std::to_string(threadsAfter - threads) + "\n";
    }
    return answer;
}

bool ReadAnswer(const std::string &answer, Verification &v, StepNotes &notes)
{
    bool any = false;
    for (const std::string &line : Split(answer, '\n')) {
        const std::vector<std::string> f = Split(line, '\t');
        if (f[0] == "loaded") {
            any = true;
        } else if (f[0] == "not-loadable" && f.size() == 2) {
            v.reason = f[1].empty() ? "the library cannot be loaded" : f[1];
            return false;
        } else if (f[0] == "not-exported") {
            v.reason = f.size() == 2 && !f[1].empty() ? f[1] : "the library does not export " + v.procedure;
            return false;
        } else if (f[0] == "check" && f.size() == 4) {
            v.checks.push_back({f[1], f[2] == "1", f[3]});
            any = true;
        } else if (f[0] == "product" && f.size() == 2) {
            v.product = f[1];
        } else if (f[0] == "rounding" && f.size() == 2) {
            v.rounding.push_back(f[1]);
        } else if (f[0] == "nearest" && f.size() == 4) {
            v.nearestModel = f[1];
            v.nearestDiffering = std::atoi(f[2].c_str());
            v.nearestDifference = f[3];
        } else if (f[0] == "worst" && f.size() == 2) {
            v.worstError = std::strtod(f[1].c_str(), nullptr);
            v.arithmeticTried = true;
        } else if (f[0] == "state" && f.size() == 2) {
            notes.stateChange = f[1];
        } else if (f[0] == "threads-left" && f.size() == 2) {
            notes.threadsLeft = std::atoi(f[1].c_str());
        }
    }
    return any;
}

// Built by hand, byte by byte: it runs inside the fault's handler.
std::size_t WriteFaultLine(const platform::WatchedRange &range, std::size_t distance, char *line,
                           std::size_t capacity)
{
    char digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + distance % 10);
        distance /= 10;
    } while (distance != 0);
    // The label gives way where the line would not fit whole.
    constexpr char kWord[] = "fault\t";
    if (capacity < sizeof kWord + count + 1) {
        return 0;
    }
    const std::size_t labelRoom = capacity - (sizeof kWord + count + 1);
    std::size_t length = 0;
    for (const char *c = kWord; *c != '\0'; ++c) {
        line[length++] = *c;
    }
    for (const char *c = range.label; *c != '\0' && length < sizeof kWord - 1 + labelRoom; ++c) {
        line[length++] = *c;
    }
    line[length++] = '\t';
    while (count > 0) {
        line[length++] = digits[--count];
    }
    line[length++] = '\n';
    return length;
}

std::string FaultPlace(const std::string &answer)
{
    for (const std::string &line : Split(answer, '\n')) {
        const std::vector<std::string> f = Split(line, '\t');
        if (f[0] != "fault" || f.size() != 3) {
            continue;
        }
        const std::size_t colon = f[1].find(':');
        const std::string side = f[1].substr(0, colon);
        const std::string what = colon == std::string::npos ? "" : f[1].substr(colon + 1);
        const unsigned long n = std::strtoul(f[2].c_str(), nullptr, 10);
        if (side == "after") {
            return "an access to byte " + std::to_string(n + 1) + " past the end of " + what;
        }
        if (side == "before") {
            return "an access to byte " + std::to_string(n) + " before the start of " + what;
        }
        if (side == "readonly") {
            const unsigned long k = n / sizeof(float);
            return "a write to element [" + std::to_string(k / 4) + "][" + std::to_string(k % 4) + "] of " + what +
                   ", which the contract makes read-only";
        }
    }
    return "";
}
