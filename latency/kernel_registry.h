// What the build's kernel list (kernels.txt, written from the kernels'
// registrations and installed beside the programs) says of a kernel.
#pragma once

#include <filesystem>
#include <string_view>

// True when the list registers the library and procedure as computing
// nothing on purpose (product "none": the null and calibration kernels).
// The list is tab-separated text: library file, procedure, mask, product,
// and more columns; lines starting with '#' are comments. Its library files
// lie in listDirectory, and the library is matched to them by file identity
// (std::filesystem::equivalent): a link to a registered library counts, a
// file of the same name elsewhere does not.
bool RegisteredAsComputingNothing(std::string_view list, const std::filesystem::path &listDirectory,
                                  const std::filesystem::path &library, std::string_view procedure);
