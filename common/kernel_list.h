// The build's kernel list (kernels.txt, written from the kernels'
// registrations by cmake/KernelLibrary.cmake and installed beside the
// programs), read back: one kernel a line, tab-separated
//
//   library file, procedure, mask, product, rounding models, role
//
// with lines starting with '#' as comments. The library files lie in the
// list's directory.
#pragma once

#include "feature_gate.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct ListedKernel {
    std::string library;               // file name, in the list's directory
    std::string procedure;
    FeatureMask mask = 0;              // read as every mask is read
    std::string product;               // "a*b", "b*a", or "none" for a kernel that computes nothing
    std::vector<std::string> rounding; // model names; none for "-"
    std::string role;                  // "null", "calibration:<adds>", "baseline", "peer" or "-"
};

// The kernels the list's text holds, in its order. A line with fewer than
// the first four columns, or with no library, is no kernel; a missing
// rounding or role column reads as "-".
std::vector<ListedKernel> ParseKernelList(std::string_view text);

// The kernels of the list file; none when it is missing or cannot be read.
std::vector<ListedKernel> ReadKernelList(const std::filesystem::path &file);

// True when the list registers the library and procedure as computing
// nothing on purpose (product "none": the null and calibration kernels).
// The library is matched to the list's files, in listDirectory, by file
// identity (std::filesystem::equivalent): a link to a registered library
// counts, a file of the same name elsewhere does not.
bool RegisteredAsComputingNothing(const std::vector<ListedKernel> &list, const std::filesystem::path &listDirectory,
                                  const std::filesystem::path &library, std::string_view procedure);
