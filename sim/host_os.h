// What the simulator needs from the operating system: module loading, temporary files, the dialog.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mach3/host_blocks.h"

namespace sim {

// The file name the build gives the plug-in module on this system.
extern const char* const kModuleFileName;

// Text in the simulator is UTF-8: its arguments, the paths it opens, its account and page. On
// Windows the arguments come from the UTF-16 command line, whatever the system's code page.
std::vector<std::string> CommandLine(int argc, char** argv);
// Standard output and error take UTF-8 from here on: on Windows a console is written in UTF-16
// (WriteConsoleW), whatever its code page; a file or pipe gets the UTF-8 bytes.
void PrepareConsole();
// A profile of tens of MB is read into several buffers of its size. Linux's allocator would map each
// afresh, its pages faulted in and zeroed every time, and give them back: that system time grew
// faster than the profile. Such buffers stay in the heap instead. Nothing on Windows.
void PrepareMemory();

// A UTF-8 path as the C++ library takes it (UTF-16 on Windows), and back.
inline std::filesystem::path FilePath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string PathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The plug-in's interface is narrow: the host hands it paths in the system's ANSI code page. The
// path in that form; throws std::runtime_error when the code page cannot hold one of its letters.
// POSIX: the path as it is.
std::string HostPath(const std::string& utf8);
// Whether HostPath can give the path to the plug-in.
bool HostCanName(const std::string& utf8);

// A path the plug-in was given or read (narrow, in the ANSI code page on Windows) in UTF-8.
std::string FromHostPath(const std::string& narrow);
// Whether the user running the simulator may write the existing file at this UTF-8 path.
bool CanWrite(const std::string& utf8);
// The width of the console standard output writes to: its columns, 80 when it cannot tell; 0 when
// standard output is not a console (a file or a pipe), which takes lines unwrapped.
int ConsoleColumns();

// Every output the user names is checked here before it is opened: a link in a sticky folder others
// may write (as /tmp) is followed only when it is the user's or the folder owner's, the kernel's
// protected_symlinks rule kept whatever the system is set to. Throws std::runtime_error "cannot
// write PATH: REASON (LINK)" for any other. Windows: nothing to check (no such folders).
void CheckOutputPath(const std::string& utf8);

// Reads the whole of a file the user named, by its UTF-8 path, as the plug-in reads its profile: a
// regular file only, never more than `limit` bytes. 0, or an error for ReadErrorText.
int ReadFileBytes(const std::string& path, size_t limit, std::string& bytes);
// The reason for such an error, in UTF-8.
std::string ReadErrorText(int error);
// Writes `bytes` as the file the user named (UTF-8 path) as the plug-in's store saves its profile: a
// failure leaves the old file whole, and a file this process may not write, or that is marked
// read-only, is refused. POSIX: the store's own save. Windows: its rename path with the wide calls
// (a new copy beside it, flushed, ReplaceFileW with a backup name), so a name the code page cannot
// hold is written too. Throws std::runtime_error "cannot write PATH: REASON".
void ReplaceUserFile(const std::string& path, const std::string& bytes);

// Sets the process up as the host's would be before any plug-in call (COM on Windows).
void PrepareHostProcess();
// The 32-bit Windows host's x87 precision for the plug-in's calls: 53 bits, an MSVC-built host's
// default, or 64 (extended, a mingw program's). False where the build has no x87 to set (SSE2
// doubles are 53-bit), unless 53 is asked; `said` is the account's line, empty there.
bool SetFpuPrecision(int bits, std::string& said);

// Loads the module for the life of the process; throws std::runtime_error saying why it cannot.
void* OpenModule(const std::string& path);
// The exported symbol, or null when the module has none by that name.
void* ModuleSymbol(void* module, const char* name);

// The folder of the running executable (UTF-8); empty when it cannot be told.
std::string ExecutableDir();

// Creates a new, empty folder named trelvo-sim-* in the system's temporary folder and returns its path.
// Folders of earlier runs that were killed outright are removed first: those of this user, older than
// an hour, that no running simulator holds. The path is one HostPath can give the plug-in (on Windows
// the temporary folder's short name if need be); where there is none, throws std::runtime_error
// saying so.
std::string CreateTempFolder();
// Interrupts (SIGINT, SIGTERM, SIGHUP; Ctrl-C or a closed console on Windows) are held from now on,
// so that a run can stop where it is and remove its temporary folder on the way out.
void HoldInterrupts();
// The interrupt that came since, or 0.
int PendingInterrupt();
// Ends the process as that interrupt would have ended it.
[[noreturn]] void EndByInterrupt(int interrupt);

// Thrown where a run stops for an interrupt; what it holds is cleaned up as the stack unwinds.
struct Interrupted {
    int interrupt;
};

// A lock for what the plug-in's threads and the simulator's share; std::lock_guard takes it. The
// Windows builds' C++ runtime has no std::mutex (cmake/mingw-i686.cmake): a critical section there.
class HostLock {
public:
    HostLock();
    ~HostLock();
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;
    void lock();
    void unlock();

private:
    struct System;
    std::unique_ptr<System> system_;
};

// Calls config() and plays the dialog actions on the window it shows, as a user would; false
// (config() not called) where the simulator cannot drive the system's windows.
bool DriveConfigDialog(VoidEntryFn config, const std::string& actions);

}  // namespace sim
