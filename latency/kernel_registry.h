// What the build's kernel list (kernels.txt, written from the kernels'
// registrations and installed beside the programs) says of a kernel.
#pragma once

#include <string_view>

// True when the list registers the library file and procedure as computing
// nothing on purpose (product "none": the null and calibration kernels).
// The list is tab-separated text: library file, procedure, mask, product,
// and more columns; lines starting with '#' are comments.
bool RegisteredAsComputingNothing(std::string_view list, std::string_view libraryFile, std::string_view procedure);
