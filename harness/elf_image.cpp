#include "elf_image.h"

#include <bit>
#include <cstring>
#include <vector>

namespace {

// The identification bytes and the field values this file looks at.
constexpr unsigned char kMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr std::size_t kIdentClass = 4;
constexpr std::size_t kIdentData = 5;
constexpr std::size_t kIdentVersion = 6;
constexpr unsigned char kClass32 = 1;
constexpr unsigned char kClass64 = 2;
constexpr unsigned char kDataLittle = 1;
constexpr unsigned char kDataBig = 2;
constexpr std::uint16_t kTypeShared = 3;
constexpr std::uint16_t kManyHeaders = 0xFFFF; // the count is kept elsewhere

enum SegmentType : std::uint32_t {
    kLoad = 1,
    kDynamic = 2,
    kInterpreter = 3,
    kNote = 4,
    kHeaderTable = 6,
    kThreadLocal = 7,
    kFrameIndex = 0x6474E550,
    kProperties = 0x6474E553,
};

constexpr unsigned char kNativeClass = sizeof(void *) == 8 ? kClass64 : kClass32;
constexpr unsigned char kNativeData = std::endian::native == std::endian::little ? kDataLittle : kDataBig;

// This machine's architecture number; 0 where this file does not know it,
// and the loader's own check then stands alone.
constexpr std::uint16_t NativeMachine()
{
#if defined(__x86_64__)
    return 62;
#elif defined(__i386__)
    return 3;
#elif defined(__aarch64__)
    return 183;
#elif defined(__arm__)
    return 40;
#elif defined(__riscv)
    return 243;
#elif defined(__powerpc64__)
    return 21;
#elif defined(__s390x__)
    return 22;
#else
    return 0;
#endif
}

// Where the fields lie in the two classes.
struct Layout {
    std::size_t word;         // size of an address or offset
    std::size_t headerSize;   // the file header
    std::size_t phoff;        // e_phoff
    std::size_t phentsize;    // e_phentsize
    std::size_t phnum;        // e_phnum
    std::size_t entrySize;    // one program header
    std::size_t pOffset, pVaddr, pFilesz, pMemsz;
};
constexpr Layout kLayout64{8, 64, 32, 54, 56, 56, 8, 16, 32, 40};
constexpr Layout kLayout32{4, 52, 28, 42, 44, 32, 4, 8, 16, 20};
constexpr const Layout &kNative = kNativeClass == kClass64 ? kLayout64 : kLayout32;

// An unsigned field of the given size, in this machine's byte order (the
// image's, once its byte order has been checked).
std::uint64_t Field(const unsigned char *at, std::size_t size)
{
    if (size == 2) {
        std::uint16_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    if (size == 4) {
        std::uint32_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    std::uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

struct Segment {
    std::uint32_t type;
    std::uint64_t offset, vaddr, filesz, memsz;
};

// True when [start, start + size) lies inside [0, limit), without overflow.
bool Inside(std::uint64_t start, std::uint64_t size, std::uint64_t limit)
{
    return start <= limit && size <= limit - start;
}

// True when the loader reads this segment through the mapped image: its
// bytes must then come from the file, inside a loadable segment.
bool ReadInMemory(std::uint32_t type)
{
    switch (type) {
    case kDynamic:
    case kInterpreter:
    case kNote:
    case kHeaderTable:
    case kThreadLocal:
    case kFrameIndex:
    case kProperties:
        return true;
    default:
        return false;
    }
}

// True when the addresses [vaddr, vaddr + size) are backed by file bytes
// of one loadable segment.
bool MappedFromFile(const std::vector<Segment> &loads, std::uint64_t vaddr, std::uint64_t size)
{
    for (const Segment &load : loads) {
        if (vaddr >= load.vaddr && Inside(vaddr - load.vaddr, size, load.filesz)) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string CheckElfImage(std::span<const unsigned char> head, std::uint64_t fileSize)
{
    if (head.size() > fileSize) {
        head = head.first(static_cast<std::size_t>(fileSize));
    }
    if (head.size() < sizeof kMagic || std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) {
        return "not an ELF file";
    }
    const Layout &layout = kNative;
    if (head.size() < layout.headerSize) {
        return "cut short: the ELF header lies past the end of the file";
    }
    const unsigned char *header = head.data();
    if (header[kIdentClass] != kNativeClass || header[kIdentData] != kNativeData || header[kIdentVersion] != 1) {
        return "not an ELF shared library for this machine";
    }
    const auto machine = static_cast<std::uint16_t>(Field(header + 18, 2));
    if (NativeMachine() != 0 && machine != NativeMachine()) {
        return "not an ELF shared library for this machine";
    }
    if (Field(header + 16, 2) != kTypeShared) {
        return "an ELF file, but not a shared library";
    }

    const std::uint64_t phoff = Field(header + layout.phoff, layout.word);
    const std::uint64_t phentsize = Field(header + layout.phentsize, 2);
    const std::uint64_t phnum = Field(header + layout.phnum, 2);
    if (phentsize != layout.entrySize) {
        return "malformed: program headers of an unexpected size";
    }
    if (phnum == 0 || phnum == kManyHeaders) {
        return "malformed: no usable program header table";
    }
    if (!Inside(phoff, phnum * phentsize, fileSize)) {
        return "cut short: the program headers lie past the end of the file";
    }
    if (!Inside(phoff, phnum * phentsize, head.size())) {
        return "the program headers lie too far into the file to be checked";
    }

    std::vector<Segment> segments;
    std::vector<Segment> loads;
    for (std::uint64_t i = 0; i < phnum; ++i) {
        const unsigned char *entry = header + phoff + i * phentsize;
        const Segment segment{static_cast<std::uint32_t>(Field(entry, 4)),
                              Field(entry + layout.pOffset, layout.word), Field(entry + layout.pVaddr, layout.word),
                              Field(entry + layout.pFilesz, layout.word), Field(entry + layout.pMemsz, layout.word)};
        segments.push_back(segment);
        if (segment.type != kLoad) {
            continue;
        }
        if (!Inside(segment.offset, segment.filesz, fileSize)) {
            return "cut short: a loadable segment lies past the end of the file";
        }
        if (segment.filesz > segment.memsz) {
            return "malformed: a loadable segment holds more file bytes than it takes memory";
        }
        loads.push_back(segment);
    }
    if (loads.empty()) {
        return "malformed: no loadable segment";
    }
    bool dynamic = false;
    for (const Segment &segment : segments) {
        if (!ReadInMemory(segment.type)) {
            continue;
        }
        dynamic = dynamic || segment.type == kDynamic;
        if (!Inside(segment.offset, segment.filesz, fileSize) ||
            !MappedFromFile(loads, segment.vaddr, segment.filesz)) {
            return "malformed: a segment the loader reads lies outside the loaded file bytes";
        }
    }
    if (!dynamic) {
        return "an ELF file, but not a shared library: no dynamic section";
    }
    return {};
}
