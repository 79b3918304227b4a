// Queued dialog actions and display observers, with their test-host exports.
#include "platform/posix/dialog_script.h"

#include <deque>
#include <sstream>

#include "platform/test_host.h"

namespace platform {
namespace {

struct ScriptState {
    std::deque<std::string> actions;
    std::function<void(const std::string&)> observer;
    TrelvoDialogHook hook = nullptr;
    void* hookContext = nullptr;
    int failures = 0;
};

ScriptState& state() noexcept {
    static ScriptState s;
    return s;
}

// Words that take the next word as their argument.
bool TakesArgument(const std::string& word) { return word == "mode" || word == "spindle" || word == "demo"; }

}  // namespace

void SetDialogScript(const std::string& actions) {
    std::deque<std::string> parsed;
    std::istringstream in(actions);
    std::string word;
    while (in >> word) {
        std::string argument;
        if (TakesArgument(word) && in >> argument) {
            word += " " + argument;
        }
        parsed.push_back(word);
    }
    state().actions = std::move(parsed);
}

std::vector<std::string> PendingDialogActions() {
    return {state().actions.begin(), state().actions.end()};
}

void SetDialogObserver(std::function<void(const std::string& displays)> observer) {
    state().observer = std::move(observer);
}

void FailNextDialogs(int count) noexcept { state().failures = count; }

void ResetDialogScript() noexcept {
    ScriptState& s = state();
    s.actions.clear();
    s.observer = nullptr;
    s.hook = nullptr;
    s.hookContext = nullptr;
    s.failures = 0;
}

bool TakeDialogAction(std::string& action) {
    ScriptState& s = state();
    if (s.actions.empty()) {
        return false;
    }
    action = std::move(s.actions.front());
    s.actions.pop_front();
    return true;
}

bool TakeDialogFailure() noexcept {
    ScriptState& s = state();
    if (s.failures <= 0) {
        return false;
    }
    --s.failures;
    return true;
}

void ReportDialogDisplays(const std::string& displays) noexcept {
    ScriptState& s = state();
    try {
        if (s.observer) {
            s.observer(displays);
        }
    } catch (...) {
    }
    if (s.hook != nullptr) {
        s.hook(displays.c_str(), s.hookContext);
    }
}

}  // namespace platform

extern "C" __attribute__((visibility("default"))) void TrelvoSetDialogScript(const char* actions) {
    try {
        platform::SetDialogScript(actions != nullptr ? actions : "");
    } catch (...) {
    }
}

extern "C" __attribute__((visibility("default"))) void TrelvoSetDialogHook(TrelvoDialogHook hook, void* context) {
    platform::state().hook = hook;
    platform::state().hookContext = context;
}
