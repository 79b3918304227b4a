// The simulator's system layer on POSIX: dlopen, mkdtemp; the dialog is driven through the module's hooks.
#include "host_os.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace sim {

const char* const kModuleFileName = "TRELVO-40.so";

void PrepareHostProcess() {}

void* OpenModule(const std::string& path) {
    // dlopen searches the library path for a bare name; the user means a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw std::runtime_error(why ? why : "unknown error");
    }
    return handle;
}

void* ModuleSymbol(void* module, const char* name) { return dlsym(module, name); }

std::string ExecutableDir() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

std::string CreateTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trelvo-sim-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
    return pattern;
}

bool DriveConfigDialog(VoidEntryFn, const std::string&) { return false; }

}  // namespace sim
