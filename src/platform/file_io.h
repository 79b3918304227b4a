// The file layer: every file the plug-in reads or writes goes through these hooks, so tests can make them fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// Why a call failed: 0 for success, a positive system error code (errno; GetLastError on Windows),
// or one of these reasons of our own.
enum : int {
    FILEIO_NOT_REGULAR = -1,        // a directory, FIFO, device or socket
    FILEIO_TOO_LARGE = -2,
    FILEIO_READ_ONLY = -3,          // no write permission for anyone, or the read-only attribute
    FILEIO_NOT_WELL_FORMED = -4,
    FILEIO_NOT_REWRITABLE = -5,     // an encoding or markup our save could not reproduce byte for byte
    FILEIO_SHORT_WRITE = -6,
    FILEIO_OUT_OF_MEMORY = -7,
    FILEIO_IS_PROFILE = -8,         // a debug log path that names the profile itself
    FILEIO_CHANGED = -9,            // the file was no longer the one read (it is read and spliced again)
    FILEIO_NOT_KEPT = -10,          // a new file could not take the old one's owner, group, mode or ACL
    FILEIO_WOULD_BE_TOO_LARGE = -11,
    FILEIO_REPLACE_REFUSED = -12,   // the folder or the file's permissions refuse the replacement (a sticky folder)
};

// The name of a save's own copy beside the file `name`: ".<name>.trelvo-save-<12 letters>.tmp", the
// letters picked by `random`; a name no person picks, and the only form a clean-up removes.
constexpr size_t kSaveTempLetters = 12;
std::string SaveTempName(const std::string& name, const unsigned char (&random)[kSaveTempLetters]);
bool IsSaveTempName(const std::string& name, const std::string& candidate);

// The system's text for a system error, or ours for our reasons.
std::string FileErrorText(int error);
std::string SystemErrorText(int error);
// True for the errors that mean "nothing there", which a save may create.
bool IsMissingFile(int error) noexcept;

// Which file a path named and in what state: a save replaces only the file its splice read.
struct FileIdentity {
    bool exists = false;
    uint64_t device = 0;    // st_dev; the volume serial number on Windows
    uint64_t index = 0;     // st_ino; the file index
    uint64_t size = 0;
    int64_t modified = 0;   // st_mtim in nanoseconds; the last-write time
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// What a save must keep of the file it replaces, and how it may be replaced.
struct FileFacts {
    bool exists = false;
    bool readOnly = false;        // this process may not write it, or the user marked it so
    bool folderWritable = true;   // a new file may be created beside it and renamed over it
    bool ownerKeepable = true;    // a new file of this process can be given the file's owner (POSIX)
    uint32_t links = 0;           // hard links to the file
    uint32_t mode = 0;            // permission bits (POSIX)
    uint32_t owner = 0;           // user and group (POSIX)
    uint32_t group = 0;
    std::vector<std::pair<std::string, std::string>> extended;  // attributes and ACL a new file takes over (POSIX)
};

// Every hook returns 0 or the reason it failed.
struct FileIo {
    // The debug log: a regular file only, opened without blocking, created or truncated, text mode.
    // Never the file `profile` names (after links, by file identity): that is refused before truncating.
    int (*openLog)(const char* path, const char* profile, void** file);
    size_t (*write)(void* file, const void* data, size_t size);
    int (*close)(void* file);
    // The whole content of a regular file of at most `limit` bytes.
    int (*read)(const char* path, size_t limit, std::string& bytes);
    // The same, with the identity of the file the bytes came from (unchanged while they were read).
    int (*readIdentified)(const char* path, size_t limit, std::string& bytes, FileIdentity& identity);
    // What the path names now; a missing file is no error.
    int (*identify)(const char* path, FileIdentity& identity);
    // The file a path finally names, symbolic links followed; a missing file is its own target.
    int (*resolve)(const char* path, std::string& target);
    int (*inspect)(const char* path, FileFacts& facts);
    // A new file of a unique name beside `target`, created exclusively (never through a link):
    // ".<name>.trelvo-save-<12 random letters>.tmp".
    int (*createTemp)(const char* target, std::string& tempPath, void** file);
    // Gives the new file the owner, group, mode, attributes and ACL in `like` (when it exists), exactly
    // (FILEIO_NOT_KEPT when it cannot), flushes it to disk and closes it.
    int (*commit)(void* file, const FileFacts& like);
    // Puts `from` in the place of `to` in one step.
    int (*replace)(const char* from, const char* to);
    // Makes the folder's entries durable (a rename lives in its folder).
    int (*syncFolder)(const char* path);
    int (*remove)(const char* path);
    // Writes over the file in place, from its start, never shortening it: opens it, checks that it is
    // still `expected` (FILEIO_CHANGED), runs `before` (the journal), checks again, writes, flushes.
    int (*rewrite)(const char* path, const void* data, size_t size, const FileIdentity& expected,
                   int (*before)(void* context), void* context);
    // Puts `data` back as the whole file in place (write, truncate, flush): only under a journal.
    int (*restore)(const char* path, const void* data, size_t size);
    // A file only this user may read, written under a temporary name, flushed and renamed to `path`.
    int (*writePrivate)(const char* path, const void* data, size_t size);
    // The user's folder for temporary files.
    int (*tempFolder)(std::string& folder);
    // Removes the temporary files that earlier, interrupted saves left beside `target`: exactly
    // createTemp's form of name, owned by this user, more than a minute old. 0, or the first reason one was kept.
    int (*removeLeftovers)(const char* target);
};

// The hooks in force; tests swap single members and put them back with ResetFileIo.
FileIo& fileIo() noexcept;
void ResetFileIo() noexcept;

}  // namespace platform
