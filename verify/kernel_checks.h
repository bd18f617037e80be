// The checks Verify makes of a kernel: the contract (what it may write, read
// and rely on) and its arithmetic (which product, how accurate, which
// rounding). Each contract check is meant to run on its own, in a process
// that a fault of the kernel may end.
#pragma once

#include "matmul_kernel.h"
#include "reference.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CheckResult {
    std::string name;
    bool passed = false;
    std::string detail;
};

enum class ContractCheck { Writes, Reads, Operands, Independence, Alignment };
inline constexpr std::array kContractChecks = {ContractCheck::Writes, ContractCheck::Reads, ContractCheck::Operands,
                                               ContractCheck::Independence, ContractCheck::Alignment};
std::string_view ContractCheckName(ContractCheck check);

CheckResult RunContractCheck(ContractCheck check, KernelEntry entry);

// Two more parts of the contract, watched over every call the other checks
// make rather than checked on their own: the processor state each call
// leaves (every call puts it back, so that one kernel's slip does not spoil
// the checks after it), and threads or processes left running.
inline constexpr std::string_view kStateCheck = "leaves the processor state as it found it";
inline constexpr std::string_view kNothingRunningCheck = "leaves nothing running";
// The first change to the processor state a call made in this process, with
// the operands it was called on; empty when none did.
const std::string &FirstStateChange();

// The names of the arithmetic checks, in the order they are reported.
inline constexpr std::string_view kProductCheck = "computes a*b or b*a";
inline constexpr std::string_view kAccuracyCheck = "within the four-term error bound";
inline constexpr std::string_view kSpecialsCheck = "IEEE special values";

// When a kernel's product matches none of the rounding models: the model
// that differs from it in the fewest elements (the first in
// kRoundingModels on a tie), and how, in words.
struct NearestModel {
    RoundingModel model;
    int differingElements = 0;
    // "as float-mul-add but for the sign of a zero result: the sum started
    // from +0 (...)", with the first element that differs.
    std::string difference;
};

struct ArithmeticFindings {
    std::vector<CheckResult> checks;
    std::optional<Product> product;          // when one of the two fits
    std::vector<RoundingModel> rounding;     // models matched bit for bit
    std::optional<NearestModel> nearest;     // when a product fits and no model matches
    double worstError = 0;                   // in units of the element's bound
};

ArithmeticFindings CheckArithmetic(KernelEntry entry);
