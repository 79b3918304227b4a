// Windows warning boxes: MessageBoxA on a thread of its own that keeps the module loaded until it ends.
#include "platform/message_box.h"

#include <windows.h>

#include <new>
#include <string>

namespace platform {
namespace {

struct BoxRequest {
    std::string caption;
    std::string text;
    HMODULE module;
};

DWORD WINAPI BoxThread(LPVOID parameter) noexcept {
    auto* request = static_cast<BoxRequest*>(parameter);
    MessageBoxA(nullptr, request->text.c_str(), request->caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
    // The host may have unloaded the plug-in while the box stood open: our code stays mapped until
    // the reference taken for this thread is dropped, and the drop must be the thread's last act.
    HMODULE module = request->module;
    delete request;
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

void ShowMessageBoxAsync(const char* caption, const char* text) noexcept {
    BoxRequest* request = nullptr;
    try {
        request = new BoxRequest{caption != nullptr ? caption : "", text != nullptr ? text : "", nullptr};
    } catch (...) {
        return;
    }
    // A counted reference on the module holding this code, owned by the thread from here on.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&BoxThread),
                            &request->module)) {
        delete request;
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, BoxThread, request, 0, nullptr);
    if (thread == nullptr) {
        FreeLibrary(request->module);
        delete request;
        return;
    }
    CloseHandle(thread);
}

}  // namespace platform
