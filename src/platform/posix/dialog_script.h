// The scripted user of the headless POSIX dialogs: queued actions and observers of every showing.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

// Replaces the queued actions with these, blank-separated: "mode 0|1|2|none", "spindle on|off",
// "demo on|off", "ok", "cancel", "refresh", "enter", "escape", "close".
void SetDialogScript(const std::string& actions);
// The actions not yet consumed, in order.
std::vector<std::string> PendingDialogActions();

// Called with the displays of each showing, before its first action. Empty removes it.
void SetDialogObserver(std::function<void(const std::string& displays)> observer);

// The next `count` showings fail to create their window.
void FailNextDialogs(int count) noexcept;

// No actions, no observer, no failures, no C hook.
void ResetDialogScript() noexcept;

// Used by the toolkit.
bool TakeDialogAction(std::string& action);  // false when the queue is empty
bool TakeDialogFailure() noexcept;
void ReportDialogDisplays(const std::string& displays) noexcept;

}  // namespace platform
