// The library loader on Linux: POSIX services and the GNU loader extensions
// (dladdr1, dlinfo) that only this system's loader has in this form.
#include "library_loader.h"

#include "child_process.h"
#include "elf_image.h"
#include "process.h"
#include "threads.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {
namespace {

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

// Why the file at path must not reach the loader; empty when it may, and
// then file is a descriptor open on it, which the caller closes. Only a
// regular file is read (a FIFO would block the loader for ever), and only one
// that holds a whole library for this machine (one cut short would be mapped,
// and fault when touched). The loader is then given this descriptor, never
// the path again: a file put in the path's place after the check does not
// reach it. namesOrigin tells whether the file holds "$ORIGIN" (as a run path
// that finds dependencies beside the library would), which the loader
// expands from the name it is given.
std::string OpenLibraryFile(const std::string &path, int &file, bool &namesOrigin)
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
    file = AboveStandardStreams(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
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
            const std::string_view bytes(static_cast<const char *>(image), size);
            namesOrigin = bytes.find("$ORIGIN") != std::string_view::npos ||
                          bytes.find("${ORIGIN}") != std::string_view::npos;
            munmap(image, size);
        }
    }
    if (!problem.empty()) {
        close(file);
        file = -1;
    }
    return problem;
}

// Whether path still names the file open on descriptor file.
bool SameFile(const std::string &path, int file)
{
    struct stat byPath {};
    struct stat byFile {};
    return stat(path.c_str(), &byPath) == 0 && fstat(file, &byFile) == 0 && byPath.st_dev == byFile.st_dev &&
           byPath.st_ino == byFile.st_ino;
}

// How long the system loader may take to load a library, its dependencies
// and constructors included, in a trial load: long enough for any library a
// program loads at run time, short enough that a dependency which blocks
// (a FIFO) ends the run soon.
constexpr unsigned kTrialLoadSeconds = 5;

// Opens /dev/null on the descriptor target.
void RedirectToNull(int target, int flags)
{
    const int null = open("/dev/null", flags | O_CLOEXEC);
    if (null >= 0 && null != target) {
        dup2(null, target);
        close(null);
    }
}

// What the trial child writes on the pipe before it unloads the library: a
// crash after it is the unloading's, not the loading's.
constexpr char kUnloading[] = "\x01unloading";

// In a child process: loads the library as the parent would, then unloads it
// as the parent will after the run (running its finalisers), and ends with
// status 0 when both went through, else with the loader's message on the
// pipe.
[[noreturn]] void TrialLoadChild(const std::string &name, int message)
{
    // What the library's constructors print or read belongs to the real load.
    RedirectToNull(STDIN_FILENO, O_RDONLY);
    RedirectToNull(STDOUT_FILENO, O_WRONLY);
    RedirectToNull(STDERR_FILENO, O_WRONLY);
    void *const handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
        const ssize_t marked = write(message, kUnloading, sizeof kUnloading - 1);
        (void)marked;
        dlclose(handle);
        _exit(0);
    }
    const char *text = dlerror();
    if (text != nullptr) {
        const ssize_t written = write(message, text, std::strlen(text));
        (void)written;
    }
    _exit(1);
}

// Why the library by this name must not be loaded into this process; empty
// when it may. The system loader loads and unloads it first in a child
// process, with a time limit: what would hang or crash it there (a
// dependency that is a FIFO or is cut short, headers that pass the checks
// made here but not the loader's own assumptions, such as a damaged
// finaliser table that only unloading follows) ends the child, not this
// process. Constructors and finalisers thus run twice, the first time with
// no input and their output discarded.
std::string TrialLoad(const std::string &name)
{
    // The child points the standard streams elsewhere: the pipe stays clear
    // of them. Not blocking: a process the library started and that escaped
    // the group may still hold the pipe open when it is read.
    int message[2];
    if (!OpenChildPipe(message, O_NONBLOCK)) {
        return std::strerror(errno);
    }
    // A SIGCHLD ignored (as a parent may leave it, across exec) would have
    // the child collected unseen.
    struct sigaction defaultAction {};
    struct sigaction previousAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(SIGCHLD, &defaultAction, &previousAction);
    // A trial outlives no parent, and what it starts is ended with it.
    const pid_t child = ForkGroupLeader(SIGKILL);
    if (child == 0) {
        close(message[0]);
        TrialLoadChild(name, message[1]);
    }
    close(message[1]);
    if (child < 0) {
        const std::string problem = std::strerror(errno);
        sigaction(SIGCHLD, &previousAction, nullptr);
        close(message[0]);
        return problem;
    }
    // Waits for the child's end without collecting it, so that its process
    // group cannot be taken by another before it is ended below.
    const std::uint64_t deadline = MonotonicClockNanoseconds() + kTrialLoadSeconds * 1000000000ull;
    bool finished = false;
    for (long pause = 50000; !finished;) {
        siginfo_t info{};
        const int waited = waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT);
        if (waited == 0 && info.si_pid == child) {
            finished = true;
        } else if (waited != 0 && errno != EINTR) {
            break;
        } else if (MonotonicClockNanoseconds() >= deadline) {
            break;
        } else {
            const timespec nap{0, pause};
            nanosleep(&nap, nullptr);
            pause = std::min(pause * 2, 10000000L);
        }
    }
    const int status = KillGroupAndReap(child);
    sigaction(SIGCHLD, &previousAction, nullptr);
    char text[512];
    const ssize_t length = read(message[0], text, sizeof text - 1);
    close(message[0]);
    if (!finished) {
        return "the system loader did not load it within " + std::to_string(kTrialLoadSeconds) +
               " s: a file it needs blocks, or a constructor does not return";
    }
    const std::string_view said(text, length > 0 ? static_cast<std::size_t>(length) : 0);
    const bool unloading = said == kUnloading;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && unloading) {
        return {};
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 1 && !said.empty() && !unloading) {
        return std::string(said);
    }
    if (WIFSIGNALED(status)) {
        const char *signal = strsignal(WTERMSIG(status));
        return std::string("the system loader crashed ") + (unloading ? "unloading" : "loading") +
               " it: " + (signal != nullptr ? signal : "a signal");
    }
    return "the system loader stopped loading it with exit status " +
           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
}

// What a LibraryHandle points to.
struct LoadedLibrary {
    void *handle = nullptr;
    // The name the loader knows it by, and the descriptor that name stands
    // for (/proc/self/fd/<file>); -1 when it was loaded by a bare name.
    std::string name;
    int file = -1;
    // The process's threads when it was loaded.
    std::optional<std::vector<std::uint64_t>> threads;
    // The next library kept loaded to the end of the run.
    LoadedLibrary *nextKept = nullptr;
};

// The libraries kept loaded to the end of the run, held where a leak check
// at the end finds them.
LoadedLibrary *g_keptLibraries = nullptr;

LoadedLibrary &Loaded(LibraryHandle library)
{
    return *static_cast<LoadedLibrary *>(library);
}

} // namespace

LibraryHandle OpenLibrary(const char *path, std::string *reason)
{
    std::string problem;
    LoadedLibrary loaded;
    std::string resolved;
    if (path == nullptr || *path == '\0') {
        problem = "no library named";
    } else {
        resolved = ResolveLibrary(path);
        loaded.name = resolved;
        // A bare name found on no search path is the loader's to find in its
        // cache of installed libraries, which it fills only with real ones.
        if (loaded.name.find('/') != std::string::npos) {
            bool namesOrigin = false;
            problem = OpenLibraryFile(loaded.name, loaded.file, namesOrigin);
            const std::string byDescriptor = "/proc/self/fd/" + std::to_string(loaded.file);
            // Without /proc the path is all the loader can be given. Nor can
            // a library whose run path finds its dependencies by $ORIGIN be
            // loaded through the descriptor, which would make $ORIGIN
            // /proc/self/fd: it is loaded by its path, and refused if that
            // path names another file afterwards.
            if (problem.empty() && !namesOrigin && access(byDescriptor.c_str(), R_OK) == 0) {
                loaded.name = byDescriptor;
            }
        }
        if (problem.empty()) {
            problem = TrialLoad(loaded.name);
        }
        if (problem.empty()) {
            loaded.threads = ProcessThreads();
            loaded.handle = dlopen(loaded.name.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (loaded.handle == nullptr) {
                const char *message = dlerror();
                problem = message != nullptr ? message : "the loader refused it";
            } else if (loaded.file >= 0 && loaded.name == resolved && !SameFile(resolved, loaded.file)) {
                // Left loaded: unloading a library whose start-up code ran
                // is no safer than keeping it.
                loaded.handle = nullptr;
                problem = "the file changed while it was being loaded";
            }
        }
    }
    if (loaded.handle == nullptr) {
        if (loaded.file >= 0) {
            close(loaded.file);
        }
        // The loader's messages start with the name it was given: the
        // library's path reads better than its descriptor's.
        if (loaded.name != resolved && problem.starts_with(loaded.name + ":")) {
            problem = resolved + problem.substr(loaded.name.size());
        }
        if (reason != nullptr) {
            *reason = problem;
        }
        return nullptr;
    }
    return new LoadedLibrary(std::move(loaded));
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
    void *symbol = dlsym(Loaded(library).handle, name);
    if (symbol == nullptr) {
        return refuse("the library does not export " + quoted);
    }
    link_map *own = nullptr;
    link_map *holder = nullptr;
    Dl_info info{};
    if (dlinfo(Loaded(library).handle, RTLD_DI_LINKMAP, &own) != 0 ||
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

std::string LibraryFilePath(LibraryHandle library)
{
    const LoadedLibrary &loaded = Loaded(library);
    if (loaded.file >= 0) {
        return "/proc/self/fd/" + std::to_string(loaded.file);
    }
    if (loaded.name.find('/') != std::string::npos) {
        return loaded.name;
    }
    // Found by the loader in its cache: the path it found.
    link_map *map = nullptr;
    if (dlinfo(loaded.handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        return map->l_name;
    }
    return {};
}

// A thread started since the library was loaded may be running its code:
// the library then stays loaded, as it would have to be unmapped under that
// thread, which would fault. The descriptor its name stands for stays open
// as long as the loader knows that name, so that no other file takes it.
void CloseLibrary(LibraryHandle library)
{
    LoadedLibrary *loaded = &Loaded(library);
    const std::optional<std::vector<std::uint64_t>> now = ProcessThreads();
    const bool quiet = loaded->threads && now &&
                       std::includes(loaded->threads->begin(), loaded->threads->end(), now->begin(), now->end());
    if (!quiet) {
        loaded->nextKept = g_keptLibraries;
        g_keptLibraries = loaded;
        return;
    }
    dlclose(loaded->handle);
    if (loaded->file >= 0) {
        void *still = dlopen(loaded->name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (still != nullptr) {
            dlclose(still);
        } else {
            close(loaded->file);
        }
    }
    delete loaded;
}

} // namespace platform
