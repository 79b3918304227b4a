// The debug log (leveled, timestamped lines in an optional file) and the host status text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "mach3/host_link.h"

enum LogLevel : int32_t {
    LOG_SYSTEM = 0,
    LOG_ERROR = 1,
    LOG_WARNING = 2,
    LOG_INFO = 3,
    LOG_DEBUG = 4,
    LOG_ALL = 5,
};

const char* LogLevelName(int32_t level) noexcept;

struct LogState {
    void* file = nullptr;  // a handle from the file seam, or none
    int32_t threshold = 0;
    std::string pendingStatus;  // a report made before InitControl lent the status text
    std::vector<std::pair<int32_t, std::string>> pendingLines;  // reports made before the log opened
};

// Hands the log what it keeps and what it reads: the status text of the lent blocks, and the
// profile's path (never the log's, and shortened first in a long status text). Until then, nothing.
void BindLog(LogState& log, const HostLink& host, const std::string& profilePath) noexcept;

// How the first line of every log begins; the wiring check knows the plug-in's own log by it.
inline constexpr char kLogBanner[] = "*** TRELVO-40/41 Plug-In Debug Log";

// True when the bytes begin as the plug-in's log does: its first line's time, level and banner. Only
// such a file, or an empty one, is ever started afresh as the log.
bool IsLogStart(const char* start, size_t size) noexcept;

// True when a line at this level would reach the file; callers test it before formatting.
bool LogWanted(int32_t level) noexcept;

// Writes the text unchanged (it is not a format) after the time and level prefix.
void myLog(int32_t level, const char* text) noexcept;
inline void myLog(int32_t level, const std::string& text) noexcept { myLog(level, text.c_str()); }

// printf-style convenience: formats only when the line will be written.
void myLogf(int32_t level, const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Puts the text into the host's status string; nothing before InitControl.
void myStatus(std::string text) noexcept;
void myStatus(const char* text) noexcept;  // the per-frame path: no copy

// A report for the user: into the status text now, or at InitControl when the host has not lent it yet.
void ReportStatus(const std::string& text) noexcept;
void ShowPendingStatus() noexcept;

// A report made before the log may be open: into the status text (now or at InitControl) and the
// log, now or once FlushPendingLog runs after the log's first line.
void ReportLater(int32_t level, const std::string& text) noexcept;
// The same for the log alone.
void LogLater(int32_t level, const std::string& text) noexcept;
void FlushPendingLog() noexcept;

// Opens (truncating) a regular file as the log: a missing or empty file, or one IsLogStart takes for
// the log, never the profile itself nor through another user's link; false leaves the log closed and
// says why in the status.
bool OpenLogFile(const std::string& path) noexcept;
void CloseLogFile() noexcept;
bool LogIsOpen() noexcept;
