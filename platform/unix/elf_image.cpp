#include "elf_image.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>
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
    std::size_t pFlags, pOffset, pVaddr, pFilesz, pMemsz;
};
constexpr Layout kLayout64{8, 64, 32, 54, 56, 56, 4, 8, 16, 32, 40};
constexpr Layout kLayout32{4, 52, 28, 42, 44, 32, 24, 4, 8, 16, 20};
constexpr std::uint32_t kWritable = 2;
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
    std::uint32_t flags;
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
// of one loadable segment, a writable one when the flags ask for that.
bool MappedFromFile(const std::vector<Segment> &loads, std::uint64_t vaddr, std::uint64_t size, std::uint32_t flags)
{
    for (const Segment &load : loads) {
        if ((flags & kWritable & ~load.flags) != 0) {
            continue;
        }
        if (vaddr >= load.vaddr && Inside(vaddr - load.vaddr, size, load.filesz)) {
            return true;
        }
    }
    return false;
}

// The dynamic section's tags this file looks at.
enum DynamicTag : std::uint64_t {
    kEnd = 0,
    kNeeded = 1,
    kPltRelSize = 2,
    kHash = 4,
    kStrings = 5,
    kSymbols = 6,
    kRela = 7,
    kRelaSize = 8,
    kStringsSize = 10,
    kInit = 12,
    kFini = 13,
    kSoname = 14,
    kRpath = 15,
    kRel = 17,
    kRelSize = 18,
    kJmpRel = 23,
    kInitArray = 25,
    kFiniArray = 26,
    kInitArraySize = 27,
    kFiniArraySize = 28,
    kRunpath = 29,
    kPreinitArray = 32,
    kPreinitArraySize = 33,
    kRelrSize = 35,
    kRelr = 36,
    kGnuHash = 0x6FFFFEF5,
    kVersionSymbols = 0x6FFFFFF0,
    kVersionDefinitions = 0x6FFFFFFC,
    kVersionNeeds = 0x6FFFFFFE,
};

// True when the addresses [vaddr, vaddr + size) lie in one loadable
// segment's memory, file-backed or zero-filled.
bool Mapped(const std::vector<Segment> &loads, std::uint64_t vaddr, std::uint64_t size)
{
    for (const Segment &load : loads) {
        if (vaddr >= load.vaddr && Inside(vaddr - load.vaddr, size, load.memsz)) {
            return true;
        }
    }
    return false;
}

// The file bytes behind the address vaddr up to the end of its segment's
// file bytes; empty when vaddr lies in zero-filled memory or past head.
std::span<const unsigned char> FileBytesAt(const std::vector<Segment> &loads, std::uint64_t vaddr,
                                           std::span<const unsigned char> head)
{
    for (const Segment &load : loads) {
        if (vaddr >= load.vaddr && vaddr - load.vaddr < load.filesz) {
            const std::uint64_t offset = load.offset + (vaddr - load.vaddr);
            const std::uint64_t end = load.offset + load.filesz;
            if (end <= head.size()) {
                return head.subspan(offset, end - offset);
            }
        }
    }
    return {};
}

// The loader reads the dynamic section until its end entry, then follows
// its addresses into the image while relocating: each table it names must
// lie in the loaded image, and each name it reads must end inside the
// string table. What the tables hold (relocations, symbols, hash chains,
// version records) is not checked.
std::string CheckDynamicSection(std::span<const unsigned char> section, const std::vector<Segment> &loads,
                                std::span<const unsigned char> head)
{
    const Layout &layout = kNative;
    struct Entry {
        std::uint64_t tag, value;
    };
    std::vector<Entry> entries;
    bool ended = false;
    for (std::size_t at = 0; at + 2 * layout.word <= section.size(); at += 2 * layout.word) {
        const Entry entry{Field(section.data() + at, layout.word), Field(section.data() + at + layout.word, layout.word)};
        if (entry.tag == kEnd) {
            ended = true;
            break;
        }
        entries.push_back(entry);
    }
    if (!ended) {
        return "malformed: the dynamic section has no end";
    }
    // The loader keeps the last entry of each tag.
    auto last = [&entries](std::uint64_t tag, std::uint64_t fallback) {
        std::uint64_t value = fallback;
        bool found = false;
        for (const Entry &entry : entries) {
            if (entry.tag == tag) {
                value = entry.value;
                found = true;
            }
        }
        return std::pair{found, value};
    };
    const auto [hasStrings, strings] = last(kStrings, 0);
    const auto [hasSymbols, symbols] = last(kSymbols, 0);
    const std::uint64_t stringsSize = last(kStringsSize, 0).second;
    if (!hasStrings || !hasSymbols) {
        return "malformed: the dynamic section names no string or symbol table";
    }
    const std::pair<std::uint64_t, std::uint64_t> tables[] = {
        {strings, stringsSize},
        {symbols, 1},
        {last(kRela, 0).second, last(kRelaSize, 0).second},
        {last(kRel, 0).second, last(kRelSize, 0).second},
        {last(kJmpRel, 0).second, last(kPltRelSize, 0).second},
        {last(kRelr, 0).second, last(kRelrSize, 0).second},
        {last(kInitArray, 0).second, last(kInitArraySize, 0).second},
        {last(kFiniArray, 0).second, last(kFiniArraySize, 0).second},
        {last(kPreinitArray, 0).second, last(kPreinitArraySize, 0).second},
    };
    for (const auto &[address, size] : tables) {
        if (size != 0 && !Mapped(loads, address, size)) {
            return "malformed: a table the dynamic section names lies outside the loaded image";
        }
    }
    for (const Entry &entry : entries) {
        switch (entry.tag) {
        case kHash:
        case kGnuHash:
        case kInit:
        case kFini:
        case kVersionSymbols:
        case kVersionDefinitions:
        case kVersionNeeds:
            if (!Mapped(loads, entry.value, 1)) {
                return "malformed: an address in the dynamic section lies outside the loaded image";
            }
            break;
        case kNeeded:
        case kSoname:
        case kRpath:
        case kRunpath: {
            if (entry.value >= stringsSize) {
                return "malformed: a name in the dynamic section lies outside the string table";
            }
            // Zero-filled memory always ends a name; file bytes must.
            const std::span<const unsigned char> bytes = FileBytesAt(loads, strings + entry.value, head);
            const std::size_t within = static_cast<std::size_t>(
                std::min<std::uint64_t>(bytes.size(), stringsSize - entry.value));
            if (!bytes.empty() && std::memchr(bytes.data(), 0, within) == nullptr) {
                return "malformed: a name in the dynamic section does not end inside the string table";
            }
            break;
        }
        default:
            break;
        }
    }
    return {};
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
                              static_cast<std::uint32_t>(Field(entry + layout.pFlags, 4)),
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
        // The loader writes the relocated addresses into a dynamic section
        // marked writable, so that one must lie in a writable segment.
        const std::uint32_t needs = segment.type == kDynamic ? segment.flags : 0;
        if (!Inside(segment.offset, segment.filesz, fileSize) ||
            !MappedFromFile(loads, segment.vaddr, segment.filesz, needs)) {
            return "malformed: a segment the loader reads lies outside the loaded file bytes";
        }
        if (segment.type == kDynamic) {
            dynamic = true;
            if (!Inside(segment.offset, segment.filesz, head.size())) {
                return "the dynamic section lies too far into the file to be checked";
            }
            std::string problem = CheckDynamicSection(head.subspan(segment.offset, segment.filesz), loads, head);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    if (!dynamic) {
        return "an ELF file, but not a shared library: no dynamic section";
    }
    return {};
}
