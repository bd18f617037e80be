// Run-time loading of a kernel library, in the terms of the Windows
// services it stands for. Each system's file (unix/library_loader.cpp,
// win/library_loader.cpp) provides it; on Linux it checks a library file
// first (unix/elf_image.h) and tries it in a child process.
#pragma once

#include <string>

namespace platform {

// Run-time loading of a library.
using LibraryHandle = void *;
// Loads the library; null when it cannot be. Where the system loader would
// hang or crash on a library rather than refuse it (on Linux: a FIFO, a file
// cut short, a dependency that is either, headers it takes on trust, when
// loading it or when unloading it), the library is refused instead: the file
// is checked, the system loader loads and unloads it in a child process with
// a time limit, and only then is the very file checked loaded here. When
// reason is given, a failure puts one line there saying why, in words: the
// system loader's own message where it refused the library (dlerror's text;
// on Windows the system text of the last error, without its line end and
// full stop), what the checks made before loading found ("no such file",
// "not a regular file", "a directory", "not an ELF shared library for this
// machine", "cut short: a loadable segment lies past the end of the file",
// and the like), or how the trial load failed ("the system loader crashed
// loading it: ...", "... crashed unloading it: ...", "... did not load it
// within 5 s: ..."). On success reason is left as it was.
LibraryHandle OpenLibrary(const char *path, std::string *reason = nullptr);
// The address of a function the library itself exports; null when it
// exports no such name, or when the name is not a function of its own. Names
// found only in the libraries it depends on do not count, and neither do
// data (a variable the library exports): its address does not lie in the
// library's code, and calling it would fault. When reason is given, a
// failure puts one line there saying why, in words ("the library does not
// export <name>", "<name> is not a function: a data symbol", and the like);
// on success reason is left as it was.
void *FindProcedure(LibraryHandle library, const char *name, std::string *reason = nullptr);
// A path naming the very file the library was loaded from, to tell it from
// other files by identity (std::filesystem::equivalent): a bare name is
// resolved as the loader resolved it, and on Linux the path may be the
// descriptor the file was loaded through (/proc/self/fd/N). Empty when it
// cannot be told.
std::string LibraryFilePath(LibraryHandle library);
// Unloads the library, unless a thread started since it was loaded is still
// alive: that thread may be running the library's code, which unloading
// would take from under it. The library then stays loaded to the end of the
// process. Either way the handle is no longer valid.
void CloseLibrary(LibraryHandle library);

} // namespace platform
