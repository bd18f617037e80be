// Checks, by reading bytes only, that a file is a shared library the system
// loader can map without faulting: an ELF image of this machine's class,
// byte order and architecture whose segments all lie inside the file, and
// whose dynamic section names tables inside the image. The loader maps a
// segment that runs past the end of the file anyway, and dies of SIGBUS when
// it touches the missing pages; it follows the dynamic section's addresses
// unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// head is the file's bytes, all of them or its first part; fileSize the size
// of the whole file. What the check needs to read beyond head is refused.
// Returns an empty text when the image is fine, else one line saying what is
// wrong with it.
std::string CheckElfImage(std::span<const unsigned char> head, std::uint64_t fileSize);
