// Test-host exports of the POSIX build; the Windows DLL has none.
#include "platform/posix/test_host_hooks.h"

namespace platform {

WarningHookSlot& warningHook() noexcept {
    static WarningHookSlot slot;
    return slot;
}

}  // namespace platform

extern "C" __attribute__((visibility("default"))) void TrelvoSetWarningHook(TrelvoWarningHook hook, void* context) {
    platform::warningHook() = platform::WarningHookSlot{hook, context};
}
