// The file layer: every file the plug-in reads or writes goes through these hooks, so tests can make them fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Why a call failed: 0 for success, a positive system error code (errno; GetLastError on Windows),
// or one of these reasons of our own.
enum : int {
    FILEIO_NOT_REGULAR = -1,        // a directory, FIFO, device or socket
    FILEIO_TOO_LARGE = -2,
    FILEIO_READ_ONLY = -3,          // no write permission for anyone, or the read-only attribute
    FILEIO_NOT_WELL_FORMED = -4,
    FILEIO_NOT_REWRITABLE = -5,     // entity references that could not be written back unchanged
    FILEIO_SHORT_WRITE = -6,
    FILEIO_OUT_OF_MEMORY = -7,
};

// The system's text for a system error, or ours for our reasons.
std::string FileErrorText(int error);
std::string SystemErrorText(int error);
// True for the errors that mean "nothing there", which a save may create.
bool IsMissingFile(int error) noexcept;

// What a save must keep of the file it replaces.
struct FileFacts {
    bool exists = false;
    bool readOnly = false;
    uint32_t mode = 0;   // permission bits (POSIX)
    uint32_t owner = 0;  // user and group (POSIX)
    uint32_t group = 0;
};

// Every hook returns 0 or the reason it failed.
struct FileIo {
    // The debug log: a regular file only, opened without blocking, created or truncated, text mode.
    int (*openLog)(const char* path, void** file);
    size_t (*write)(void* file, const void* data, size_t size);
    int (*close)(void* file);
    // The whole content of a regular file of at most `limit` bytes.
    int (*read)(const char* path, size_t limit, std::string& bytes);
    // The file a path finally names, symbolic links followed; a missing file is its own target.
    int (*resolve)(const char* path, std::string& target);
    int (*inspect)(const char* path, FileFacts& facts);
    // A new file of a unique name beside `target`, created exclusively (never through a link).
    int (*createTemp)(const char* target, std::string& tempPath, void** file);
    // Gives the new file the permissions in `like` (when it exists), flushes it to disk and closes it.
    int (*commit)(void* file, const FileFacts& like);
    // Puts `from` in the place of `to` in one step, then makes the change durable.
    int (*replace)(const char* from, const char* to);
    int (*remove)(const char* path);
};

// The hooks in force; tests swap single members and put them back with ResetFileIo.
FileIo& fileIo() noexcept;
void ResetFileIo() noexcept;

}  // namespace platform
