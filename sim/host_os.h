// What the simulator needs from the operating system: module loading, temporary files, the dialog.
#pragma once

#include <memory>
#include <string>

#include "host/host_blocks.h"

namespace sim {

// The file name the build gives the plug-in module on this system.
extern const char* const kModuleFileName;

// Sets the process up as the host's would be before any plug-in call (COM on Windows).
void PrepareHostProcess();

// Loads the module for the life of the process; throws std::runtime_error saying why it cannot.
void* OpenModule(const std::string& path);
// The exported symbol, or null when the module has none by that name.
void* ModuleSymbol(void* module, const char* name);

// The folder of the running executable; empty when it cannot be told.
std::string ExecutableDir();

// Creates a new, empty folder named trelvo-sim-* in the system's temporary folder and returns its path.
// Folders of earlier runs that were killed outright are removed first: those of this user, older than
// an hour, that no running simulator holds.
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
