// Fuzzes the check a library file passes before it reaches the system
// loader. Arbitrary and mutated ELF bytes must never crash it, and whatever
// it passes must be mappable: every byte the loader takes from the file (the
// program headers, each loadable segment's file bytes, and the segments it
// reads through memory) is read here from the exact-size input, so that
// AddressSanitizer stops the run on any byte past its end. The check is also
// given only the input's first half, on its own allocation, and must then
// not look past that half.
#include "unix/elf_image.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include <elf.h>

namespace {

#if UINTPTR_MAX > 0xFFFFFFFFu
using FileHeader = Elf64_Ehdr;
using ProgramHeader = Elf64_Phdr;
#else
using FileHeader = Elf32_Ehdr;
using ProgramHeader = Elf32_Phdr;
#endif

volatile unsigned char g_sink;

// Reads every byte of [offset, offset + size) of the file.
void Touch(const std::uint8_t *file, std::uint64_t offset, std::uint64_t size)
{
    unsigned char sum = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
        sum = static_cast<unsigned char>(sum + file[offset + i]);
    }
    g_sink = sum;
}

bool ReadThroughMemory(std::uint32_t type)
{
    return type == PT_DYNAMIC || type == PT_INTERP || type == PT_NOTE || type == PT_PHDR || type == PT_TLS ||
           type == PT_GNU_EH_FRAME || type == PT_GNU_PROPERTY;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::vector<unsigned char> half(data, data + size / 2);
    (void)CheckElfImage(half, size);

    if (!CheckElfImage(std::span(data, size), size).empty()) {
        return 0;
    }
    FileHeader header;
    std::memcpy(&header, data, sizeof header);
    Touch(data, header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(ProgramHeader));
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ProgramHeader segment;
        std::memcpy(&segment, data + header.e_phoff + i * sizeof segment, sizeof segment);
        if (segment.p_type == PT_LOAD || ReadThroughMemory(segment.p_type)) {
            Touch(data, segment.p_offset, segment.p_filesz);
        }
    }
    return 0;
}
