// POSIX warning boxes: written to standard error and reported to the test host's hook; never blocks.
#include "platform/message_box.h"

#include <cstdio>

#include "platform/posix/test_host_hooks.h"

namespace platform {

void ShowMessageBoxAsync(const char* caption, const char* text) noexcept {
    std::fprintf(stderr, "[%s]\n%s\n", caption, text);
    std::fflush(stderr);
    const WarningHookSlot& slot = warningHook();
    if (slot.hook != nullptr) {
        slot.hook(caption, text, slot.context);
    }
}

}  // namespace platform
