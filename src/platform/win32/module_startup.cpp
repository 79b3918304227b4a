// Windows module start-up: the socket layer, version 1.1.
#include "platform/module_startup.h"

#include <winsock2.h>
#include <windows.h>

#include "platform/message_box.h"
#include "platform/module_file.h"

namespace platform {

// Run from the host's first SetProName call, not from DllMain: WSAStartup loads further DLLs, and
// doing that under the loader lock (which DllMain and static initialisers of a DLL run inside) can
// deadlock the host. The host's calls come one at a time, so the flag needs no lock.
bool StartModuleServices() noexcept {
    static int state = 0;  // 0 not tried, 1 running, -1 failed
    if (state == 0) {
        WSADATA data{};
        state = WSAStartup(MAKEWORD(1, 1), &data) == 0 ? 1 : -1;
        if (state < 0) {
            std::string caption;  // the box copies it
            try {
                caption = ModuleName();
            } catch (...) {
            }
            ShowMessageBoxAsync(caption.c_str(), "Sockets Init Failed");
        }
    }
    return state > 0;
}

}  // namespace platform
