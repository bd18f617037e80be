// The Linux loader refuses, with its reason in words, whatever would crash
// or hang the system loader, and finds only the library's own functions.
#include "library_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class LibraryLoader : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("library_loader_test." + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // The reason OpenLibrary gives for path; fails the test if it loads.
    std::string Refusal(const fs::path &path)
    {
        std::string reason = "unset";
        const platform::LibraryHandle library = platform::OpenLibrary(path.c_str(), &reason);
        EXPECT_EQ(library, nullptr) << path;
        if (library != nullptr) {
            platform::CloseLibrary(library);
        }
        return reason;
    }

    fs::path WriteFile(const char *name, const std::vector<char> &bytes)
    {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    fs::path dir_;
};

TEST_F(LibraryLoader, RefusalsSayWhy)
{
    EXPECT_EQ(Refusal(dir_ / "missing.so"), "no such file");
    EXPECT_EQ(Refusal(dir_), "a directory");
    ASSERT_EQ(mkfifo((dir_ / "fifo.so").c_str(), 0600), 0);
    EXPECT_EQ(Refusal(dir_ / "fifo.so"), "not a regular file");
    EXPECT_EQ(Refusal(WriteFile("text.so", {'h', 'i', '\n'})), "not an ELF file");

    std::ifstream probe(PROBE_PATH, std::ios::binary);
    const std::vector<char> whole{std::istreambuf_iterator<char>(probe), {}};
    ASSERT_GT(whole.size(), 12288u);
    const std::vector<char> cut(whole.begin(), whole.begin() + 12288);
    EXPECT_EQ(Refusal(WriteFile("cut.so", cut)), "cut short: a loadable segment lies past the end of the file");
    std::vector<char> foreign = whole;
    foreign[18] ^= 0x7F; // another architecture
    EXPECT_EQ(Refusal(WriteFile("foreign.so", foreign)), "not an ELF shared library for this machine");

    // The loader's own message comes back from the trial load.
    const std::string needed("libstdc++.so.6", 15);
    std::vector<char> missing = whole;
    const auto at = std::search(missing.begin(), missing.end(), needed.begin(), needed.end());
    ASSERT_NE(at, missing.end());
    std::copy_n("dep", 3, at);
    EXPECT_NE(Refusal(WriteFile("missing.so", missing)).find("depstdc++.so.6: cannot open shared object file"),
              std::string::npos);
}

// Headers that pass the checks made before loading, but not the system
// loader's own assumptions: loading them crashes the loader, or makes it
// print an assertion and exit.
TEST_F(LibraryLoader, HeadersTheSystemLoaderTrustsDoNotCrashIt)
{
    std::ifstream probe(PROBE_PATH, std::ios::binary);
    const std::vector<char> whole{std::istreambuf_iterator<char>(probe), {}};
    ASSERT_GE(whole.size(), sizeof(ElfW(Ehdr)));
    ElfW(Ehdr) header;
    std::memcpy(&header, whole.data(), sizeof header);
    auto mutated = [&](std::uint32_t type, auto change) {
        std::vector<char> bytes = whole;
        for (unsigned i = 0; i < header.e_phnum; ++i) {
            ElfW(Phdr) segment;
            char *at = bytes.data() + header.e_phoff + i * sizeof segment;
            std::memcpy(&segment, at, sizeof segment);
            if (segment.p_type == type) {
                change(segment);
                std::memcpy(at, &segment, sizeof segment);
                return bytes;
            }
        }
        ADD_FAILURE() << "no segment of type " << type;
        return bytes;
    };
    const std::vector<char> noFlags = mutated(PT_LOAD, [](ElfW(Phdr) &s) { s.p_flags = 0; });
    const std::vector<char> hugeRelro = mutated(PT_GNU_RELRO, [](ElfW(Phdr) &s) { s.p_memsz += 1ull << 32; });
    for (const auto &[name, bytes] : {std::pair{"no_flags.so", noFlags}, std::pair{"huge_relro.so", hugeRelro}}) {
        // Crashed in the trial load, or refused by the loader where the
        // address space lets it fail cleanly (as with AddressSanitizer).
        const std::string reason = Refusal(WriteFile(name, bytes));
        EXPECT_NE(reason, "unset") << name;
        EXPECT_FALSE(reason.empty()) << name;
    }
}

TEST_F(LibraryLoader, FindsOnlyTheLibrarysOwnExports)
{
    std::string reason = "untouched";
    const platform::LibraryHandle library = platform::OpenLibrary(PROBE_PATH, &reason);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(reason, "untouched");
    EXPECT_NE(platform::FindProcedure(library, "probe_kernel", &reason), nullptr);
    EXPECT_EQ(reason, "untouched");
    auto refusal = [library](const char *name) {
        std::string why = "unset";
        EXPECT_EQ(platform::FindProcedure(library, name, &why), nullptr) << name;
        return why;
    };
    // The probe links the C library, which exports these.
    EXPECT_EQ(refusal("malloc"), "the library does not export malloc: a library it depends on does");
    EXPECT_EQ(refusal("abort"), "the library does not export abort: a library it depends on does");
    EXPECT_EQ(refusal("no_such_name"), "the library does not export no_such_name");
    EXPECT_EQ(refusal("probe_data"), "probe_data is not a function: a data symbol");
    platform::CloseLibrary(library);
}

// A run path of $ORIGIN names the library's own directory, wherever the
// loader is pointed at the file.
TEST(LibraryLoaderOrigin, FindsDependenciesBesideTheLibrary)
{
    std::string reason;
    const platform::LibraryHandle library = platform::OpenLibrary(ORIGIN_KERNEL_PATH, &reason);
    ASSERT_NE(library, nullptr) << reason;
    EXPECT_NE(platform::FindProcedure(library, "origin_kernel"), nullptr);
    platform::CloseLibrary(library);
}

} // namespace
