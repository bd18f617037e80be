// The platform layer on Linux: POSIX services, with the program's own path
// read from /proc/self/exe and the GNU loader extensions (dladdr1, dlinfo)
// that only this system's loader has in this form.
#include "platform.h"

#include "elf_image.h"
#include "tokenizer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

std::string g_commandLine;
thread_local std::uint32_t t_lastError = 0;

// What the command line names the program when its own name cannot hold
// the first slot: empty, missing, or impossible to quote whole.
constexpr char kProgramStandIn[] = "Test";

// Writes one argument the way the tokenizer splits it back.
void AppendArgument(std::string &text, std::string_view arg)
{
    if (!ArgNeedsQuoting(arg)) {
        text += arg;
        return;
    }
    // An argument holding all four quote characters is wrapped in the
    // first; it splits where the tokenizer meets that character.
    const char fitting = ArgQuoteFor(arg);
    const char quote = fitting != '\0' ? fitting : kArgQuotes[0];
    text += quote;
    text += arg;
    text += quote;
}

// Rebuilds the single command-line text that Windows hands a program: the
// arguments joined by single blanks, each one that needs it wrapped in
// quotes, so that splitting the text gives the arguments back. The program's
// own slot always makes exactly one token, so that the library is always
// the second.
std::string JoinArguments(int argc, char **argv)
{
    std::string_view program = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    if (program.empty() || (ArgNeedsQuoting(program) && ArgQuoteFor(program) == '\0')) {
        program = kProgramStandIn;
    }
    std::string text;
    AppendArgument(text, program);
    for (int i = 1; i < argc; ++i) {
        text += ' ';
        AppendArgument(text, argv[i]);
    }
    return text;
}

std::string ProgramDirectory()
{
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    const std::string_view exe(path, static_cast<std::size_t>(length));
    const std::size_t slash = exe.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : std::string(exe.substr(0, slash));
}

// The directories the system loader searches for a bare name, in its order:
// LD_LIBRARY_PATH, the program's run path and the system directories. The
// loader's cache of installed libraries is not among them.
std::vector<std::string> LoaderSearchPath()
{
    std::vector<std::string> directories;
    void *program = dlopen(nullptr, RTLD_LAZY);
    if (program == nullptr) {
        return directories;
    }
    Dl_serinfo size{};
    if (dlinfo(program, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
        auto *info = reinterpret_cast<Dl_serinfo *>(storage.data());
        info->dls_size = size.dls_size;
        info->dls_cnt = size.dls_cnt;
        if (dlinfo(program, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                directories.emplace_back(info->dls_serpath[i].dls_name);
            }
        }
    }
    dlclose(program);
    return directories;
}

// The path a library name stands for. A name with a directory is used as
// given. A bare name is looked for where a Windows program looks for its
// libraries: beside the program, then in the current directory, then along
// the loader's own search path; a name found nowhere stays bare, for the
// loader's cache.
std::string ResolveLibrary(const char *name)
{
    if (std::strchr(name, '/') != nullptr) {
        return name;
    }
    std::vector<std::string> directories{ProgramDirectory(), "."};
    for (std::string &directory : LoaderSearchPath()) {
        directories.push_back(std::move(directory));
    }
    for (const std::string &directory : directories) {
        if (directory.empty()) {
            continue;
        }
        std::string candidate = directory + '/' + name;
        if (access(candidate.c_str(), F_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

// Why the file at path must not reach the loader; empty when it may. Only a
// regular file is read (a FIFO would block the loader for ever), and only
// one that holds a whole library for this machine (one cut short would be
// mapped, and fault when touched).
std::string CheckLibraryFile(const std::string &path)
{
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? std::string("no such file") : std::strerror(errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return "a directory";
    }
    if (!S_ISREG(status.st_mode)) {
        return "not a regular file";
    }
    // Non-blocking, in case the name has become a FIFO since.
    const int file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
        return std::strerror(errno);
    }
    std::string problem;
    if (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = "not a regular file";
    } else if (status.st_size == 0) {
        problem = CheckElfImage({}, 0);
    } else {
        // The check reads the header, the program headers and the dynamic
        // section wherever they lie: the file is mapped, not copied.
        const auto size = static_cast<std::size_t>(status.st_size);
        void *image = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file, 0);
        if (image == MAP_FAILED) {
            problem = std::strerror(errno);
        } else {
            problem = CheckElfImage({static_cast<const unsigned char *>(image), size}, size);
            munmap(image, size);
        }
    }
    close(file);
    return problem;
}

} // namespace

void InitProcess(int argc, char **argv)
{
    // A write to a closed pipe must fail with an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    g_commandLine = JoinArguments(argc, argv);
}

void ExitProcess(int status)
{
    std::exit(status);
}

void WriteStdout(std::string_view text)
{
    const char *data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (written == 0) {
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

const char *GetCommandLineText()
{
    return g_commandLine.c_str();
}

std::uint32_t GetTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint64_t MonotonicClockNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

LibraryHandle OpenLibrary(const char *path, std::string *reason)
{
    std::string problem;
    void *library = nullptr;
    if (path == nullptr || *path == '\0') {
        problem = "no library named";
    } else {
        const std::string resolved = ResolveLibrary(path);
        // A bare name found on no search path is the loader's to find in its
        // cache of installed libraries, which it fills only with real ones.
        if (resolved.find('/') != std::string::npos) {
            problem = CheckLibraryFile(resolved);
        }
        if (problem.empty()) {
            library = dlopen(resolved.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (library == nullptr) {
                const char *message = dlerror();
                problem = message != nullptr ? message : "the loader refused it";
            }
        }
    }
    if (library == nullptr && reason != nullptr) {
        *reason = problem;
    }
    return library;
}

namespace {

struct SegmentSearch {
    std::uintptr_t address;
    bool found;
    bool executable;
};

// Finds the loadable segment of any loaded object that holds the address.
int FindSegment(dl_phdr_info *info, std::size_t, void *data)
{
    auto *search = static_cast<SegmentSearch *>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search->address >= start && search->address - start < segment.p_memsz) {
            search->found = true;
            search->executable = (segment.p_flags & PF_X) != 0;
            return 1;
        }
    }
    return 0;
}

// True when the address lies in a loadable segment mapped executable.
bool InExecutableSegment(const void *address)
{
    SegmentSearch search{reinterpret_cast<std::uintptr_t>(address), false, false};
    dl_iterate_phdr(FindSegment, &search);
    return search.found && search.executable;
}

} // namespace

// dlsym also searches the libraries this one depends on; a name is the
// library's own only when the object holding the address is the library.
// dlsym finds variables as readily as functions: a function is a symbol not
// typed as data whose address lies in an executable segment.
void *FindProcedure(LibraryHandle library, const char *name, std::string *reason)
{
    auto refuse = [reason](std::string why) -> void * {
        if (reason != nullptr) {
            *reason = std::move(why);
        }
        return nullptr;
    };
    const std::string quoted = name;
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        return refuse("the library does not export " + quoted);
    }
    link_map *own = nullptr;
    link_map *holder = nullptr;
    Dl_info info{};
    if (dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 ||
        dladdr1(symbol, &info, reinterpret_cast<void **>(&holder), RTLD_DL_LINKMAP) == 0 || holder == nullptr) {
        // A thread-local variable's address lies in no object's segments.
        return refuse(quoted + " is not a function: its address lies in no loaded library");
    }
    if (holder != own) {
        return refuse("the library does not export " + quoted + ": a library it depends on does");
    }
    void *entry = nullptr;
    if (dladdr1(symbol, &info, &entry, RTLD_DL_SYMENT) != 0 && entry != nullptr) {
        const unsigned type = ELF64_ST_TYPE(static_cast<const ElfW(Sym) *>(entry)->st_info);
        if (type == STT_OBJECT || type == STT_TLS || type == STT_COMMON) {
            return refuse(quoted + " is not a function: a data symbol");
        }
    }
    if (!InExecutableSegment(symbol)) {
        return refuse(quoted + " is not a function: it lies outside the library's code");
    }
    return symbol;
}

void CloseLibrary(LibraryHandle library)
{
    dlclose(library);
}

const char *FindFileName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

std::uint32_t GetLastError()
{
    return t_lastError;
}

void SetLastError(std::uint32_t value)
{
    t_lastError = value;
}

void *LocalAlloc(std::size_t bytes)
{
    return std::calloc(1, bytes);
}

void *LocalReAlloc(void *block, std::size_t bytes)
{
    return std::realloc(block, bytes);
}

void LocalFree(void *block)
{
    std::free(block);
}

} // namespace platform
