// Debug log and status text.
#include "mach3/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/clock.h"
#include "platform/file_io.h"

namespace {

constexpr const char* kLevelNames[] = {"SYSTEM", "ERROR", "WARNING", "INFO", "DEBUG", "ALL"};

// Handed over by BindLog; the owner of the plug-in state keeps them alive as long as the module.
struct Bound {
    LogState* log = nullptr;
    const HostLink* host = nullptr;
    const std::string* profilePath = nullptr;
};
constinit Bound bound;

void WriteAll(void* file, const char* data, size_t size) noexcept {
    if (size > 0) {
        platform::fileIo().write(file, data, size);  // write errors are ignored by design
    }
}

}  // namespace

void BindLog(LogState& log, const HostLink& host, const std::string& profilePath) noexcept {
    bound = Bound{&log, &host, &profilePath};
}

const char* LogLevelName(int32_t level) noexcept {
    if (level < 0 || level > LOG_ALL) {
        return "?";
    }
    return kLevelNames[level];
}

bool IsLogStart(const char* start, size_t size) noexcept {
    static constexpr char kPrefix[] = "00:00:00.000 [SYSTEM]: ";  // myLog's prefix, each 0 a digit
    constexpr size_t prefix = sizeof kPrefix - 1, banner = sizeof kLogBanner - 1;
    if (start == nullptr || size < prefix + banner) return false;
    for (size_t i = 0; i < prefix; ++i) {
        if (kPrefix[i] == '0' ? start[i] < '0' || start[i] > '9' : start[i] != kPrefix[i]) return false;
    }
    return std::memcmp(start + prefix, kLogBanner, banner) == 0;
}

bool LogWanted(int32_t level) noexcept {
    return bound.log != nullptr && bound.log->file != nullptr && level <= bound.log->threshold;
}

void myLog(int32_t level, const char* text) noexcept {
    if (!LogWanted(level)) {
        return;
    }
    const platform::TimeOfDay t = platform::ReadLocalTime();
    char prefix[64];
    const int n = std::snprintf(prefix, sizeof prefix, "%02d:%02d:%02d.%03d [%s]: ", t.hour, t.minute,
                                t.second, t.millisecond, LogLevelName(level));
    void* file = bound.log->file;
    if (n > 0) {
        WriteAll(file, prefix, static_cast<size_t>(n) < sizeof prefix ? static_cast<size_t>(n) : sizeof prefix - 1);
    }
    if (text != nullptr) {
        WriteAll(file, text, std::strlen(text));
    }
    WriteAll(file, "\n", 1);
}

void myLogf(int32_t level, const char* format, ...) noexcept {
    if (!LogWanted(level)) {
        return;
    }
    char buffer[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(n) < sizeof buffer) {
        va_end(copy);
        myLog(level, buffer);
        return;
    }
    // Rare long lines (the spindle dump with huge doubles) take the slow path.
    try {
        std::string text(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, copy);
        text.resize(static_cast<size_t>(n));
        myLog(level, text.c_str());
    } catch (...) {
    }
    va_end(copy);
}

void myStatus(std::string text) noexcept { myStatus(text.c_str()); }

namespace {

// What failed comes first in our texts, the reason last: a text too long for the host's string has
// the profile's folder, then the middle of its name, shortened wherever they appear, before any cut.
std::string ShortenPaths(std::string text) {
    const std::string& profile = *bound.profilePath;
    const size_t slash = profile.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? std::string() : profile.substr(0, slash);
    const std::string name = slash == std::string::npos ? profile : profile.substr(slash + 1);
    const std::string shortName = name.size() > 40 ? name.substr(0, 16) + "..." + name.substr(name.size() - 16) : name;
    for (const auto& [from, to] : {std::pair{folder, std::string("...")}, std::pair{name, shortName}}) {
        for (size_t at = 0; text.size() >= HOST_STATUS_TEXT_SIZE && from.size() > to.size() &&
                            (at = text.find(from, at)) != std::string::npos;) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
    }
    return text;
}

}  // namespace

void myStatus(const char* text) noexcept {
    HostStateBlock* state = bound.host != nullptr ? bound.host->state : nullptr;
    if (state == nullptr || text == nullptr) {
        return;
    }
    std::string shortened;
    if (std::strlen(text) >= HOST_STATUS_TEXT_SIZE) {
        try {
            shortened = ShortenPaths(text);
            text = shortened.c_str();
        } catch (...) {
        }
    }
    // The host's string has a fixed size; a longer text is cut, never overrun.
    const size_t length = std::strlen(text);
    const size_t n = length < HOST_STATUS_TEXT_SIZE - 1 ? length : HOST_STATUS_TEXT_SIZE - 1;
    std::memcpy(state->statusText, text, n);
    state->statusText[n] = '\0';
}

bool OpenLogFile(const std::string& path) noexcept {
    if (bound.log == nullptr || bound.log->file != nullptr || path.empty()) {
        return false;
    }
    const int error = platform::fileIo().openLog(path.c_str(), bound.profilePath->c_str(), IsLogStart, &bound.log->file);
    if (error != 0) {
        bound.log->file = nullptr;
        try {
            // The reason first: a long path is what the status text's end cuts off.
            ReportStatus("TRELVO-40/41 writes no debug log: " + platform::FileErrorText(error) + " (DebugLogFile " +
                         path + ")");
        } catch (...) {
        }
    }
    return bound.log->file != nullptr;
}

void ReportStatus(const std::string& text) noexcept {
    if (bound.host != nullptr && bound.host->state != nullptr) {
        myStatus(text.c_str());
        return;
    }
    if (bound.log == nullptr) return;
    try {
        bound.log->pendingStatus = text;
    } catch (...) {
    }
}

void ReportLater(int32_t level, const std::string& text) noexcept {
    ReportStatus(text);
    LogLater(level, text);
}

void LogLater(int32_t level, const std::string& text) noexcept {
    if (LogIsOpen()) return myLog(level, text);
    if (bound.log == nullptr) return;
    try {
        bound.log->pendingLines.emplace_back(level, text);
    } catch (...) {
    }
}

void FlushPendingLog() noexcept {
    if (bound.log == nullptr) return;
    for (const auto& [level, text] : bound.log->pendingLines) myLog(level, text);
    bound.log->pendingLines.clear();
}

void ShowPendingStatus() noexcept {
    if (bound.log == nullptr) return;
    std::string& pending = bound.log->pendingStatus;
    if (!pending.empty()) {
        myStatus(pending.c_str());
        pending.clear();
    }
}

void CloseLogFile() noexcept {
    if (bound.log != nullptr && bound.log->file != nullptr) {
        platform::fileIo().close(bound.log->file);
        bound.log->file = nullptr;
    }
}

bool LogIsOpen() noexcept { return bound.log != nullptr && bound.log->file != nullptr; }
