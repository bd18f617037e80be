// Checks, by reading bytes only, that a file is a shared library the system
// loader can map without faulting: an ELF image of this machine's class,
// byte order and architecture whose segments all lie inside the file. The
// loader maps a segment that runs past the end of the file anyway, and dies
// of SIGBUS when it touches the missing pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// How much of a file's start CheckElfImage needs at most to see its header
// and program headers; a table further in is refused.
inline constexpr std::size_t kElfHeadBytes = 64 * 1024;

// head is the file's first bytes (all of it, or at least the first
// kElfHeadBytes); fileSize the size of the whole file. Returns an empty text
// when the image is fine, else one line saying what is wrong with it.
std::string CheckElfImage(std::span<const unsigned char> head, std::uint64_t fileSize);
