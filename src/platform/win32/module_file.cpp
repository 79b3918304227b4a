// Windows module file name: the DLL (or, in the tests, the program) that holds this code.
#include "platform/module_file.h"

#include <windows.h>

#include <vector>

namespace platform {

std::string ModuleFilePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleFilePath), &module)) {
        return {};
    }
    // Paths may be longer than MAX_PATH; a full buffer means the name was cut.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) return std::string(buffer.data(), length);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform
