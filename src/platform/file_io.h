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
    FILEIO_NOT_A_LOG = -20,         // a debug log path that names a file not begun by the plug-in's log
    FILEIO_FOREIGN_LINK = -21,      // a link the kernel's protected_symlinks rule would not follow
    FILEIO_CHANGED = -9,            // the file was no longer the one read (it is read and spliced again)
    FILEIO_NOT_KEPT = -10,          // a new file could not take the old one's owner, group, mode or ACL
    FILEIO_WOULD_BE_TOO_LARGE = -11,
    FILEIO_REPLACE_REFUSED = -12,   // the folder or the file's permissions refuse the replacement (a sticky folder)
    FILEIO_NOT_OURS = -13,          // a journal another user owns, or others may write: never used, never removed
    FILEIO_DANGLING_LINK = -14,     // a symbolic link to nothing: never followed to create a file
    FILEIO_BUSY = -15,              // another saver of ours holds the profile's lock, longer than a save takes
    FILEIO_NAME_TAKEN = -16,        // a file that is not the save's own has the name it would create
    FILEIO_UNSAFE_FOLDER = -30,     // a folder on the way to this user's state folder that another user may change
    FILEIO_KEPT_CHANGING = -31,     // the file changed during each read of it
};

// The step of a save that failed, for its log line.
enum class FileStep { None, Read, Write, Sync, Rename, Restore };
const char* FileStepName(FileStep step) noexcept;

// The last part of the path `target` as the start of a name `extra` bytes longer that must fit a
// folder entry (255 bytes; on Windows also MAX_PATH with the folder, for the ANSI calls): itself, or
// its start and "~" and a hash of all of it. The same target gives the same name.
std::string FitName(const std::string& target, size_t extra);

// The FNV-1a hash of `bytes` as 16 lowercase hex digits: what our names and journals tell files by.
std::string HashText(const std::string& bytes);

// The name of a save's own copy beside the file `target`: ".<name>.trelvo-save-<12 letters>.tmp" (the
// name fitted as above), the letters picked by `random`; a name no person picks, and the only form a
// clean-up removes.
constexpr size_t kSaveTempLetters = 12;
std::string SaveTempName(const std::string& target, const unsigned char (&random)[kSaveTempLetters]);
bool IsSaveTempName(const std::string& target, const std::string& candidate);

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
    int64_t changed = 0;    // st_ctim in nanoseconds; 0 where the system has none to give (Windows)
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// What a save must keep of the file it replaces, and how it may be replaced.
struct FileFacts {
    bool exists = false;
    bool readOnly = false;        // this process may not write it, or the user marked it so
    bool folderWritable = true;   // a new file may be created beside it and renamed over it
    bool ownerKeepable = true;    // a new file of this process can be given the file's owner (POSIX)
    bool mine = false;            // owned by the user running the save: its journal may lie beside it (POSIX)
    uint32_t links = 0;           // hard links to the file
    uint32_t mode = 0;            // permission bits (POSIX)
    uint32_t owner = 0;           // user and group (POSIX)
    uint32_t group = 0;
    std::vector<std::pair<std::string, std::string>> extended;  // attributes and ACL a new file takes over (POSIX)
};

// A write of a file in place, from its start, never shortening it. The hook opens the file and keeps
// that one handle throughout: it checks that the file is still `expected` holding exactly `old`
// (FILEIO_CHANGED, nothing written), runs `journal`, checks again the same way, writes `bytes` and
// flushes. When the write or the flush fails after a byte may have reached the file, and the file
// holds exactly what this write left in it, it puts `old` back through the same handle (write,
// truncate, flush) and sets `restored`; it never puts anything back over a file another writer changed.
struct InPlaceWrite {
    const std::string* bytes = nullptr;  // never shorter than `old`
    const std::string* old = nullptr;    // what the splice was made from
    FileIdentity expected;               // the identity `old` was read with
    int (*journal)(void* context) = nullptr;
    void* context = nullptr;
    FileStep step = FileStep::None;  // out: the step that failed
    bool touched = false;            // out: a byte of `bytes` may have reached the file
    bool restored = false;           // out: `old` is back, whole
};

// How much of an existing debug log openLog shows its `isLog`.
inline constexpr size_t kLogStartSize = 128;

// Every hook returns 0 or the reason it failed.
struct FileIo {
    // The debug log: a regular file only, opened without blocking, created or truncated, text mode.
    // Never the file `profile` names (after links, by file identity): that is refused before truncating.
    // Only a file that is empty or whose first bytes `isLog` takes for the log's is truncated
    // (FILEIO_NOT_A_LOG otherwise); never through another user's link (FollowLinks on POSIX, no
    // reparse point on Windows: FILEIO_FOREIGN_LINK).
    int (*openLog)(const char* path, const char* profile, bool (*isLog)(const char* start, size_t size), void** file);
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
    // ".<name>.trelvo-save-<12 random letters>.tmp"; `created` is the file made.
    int (*createTemp)(const char* target, std::string& tempPath, FileIdentity& created, void** file);
    // Gives the new file the owner, group, mode, attributes and ACL in `like` (when it exists), exactly
    // (FILEIO_NOT_KEPT when it cannot), flushes it to disk and closes it.
    int (*commit)(void* file, const FileFacts& like);
    // Puts `from` in the place of `to` in one step.
    int (*replace)(const char* from, const char* to);
    // Makes the folder's entries durable (a rename lives in its folder).
    int (*syncFolder)(const char* path);
    // Removes the file `path` names (no link followed) only while it is still `own`, the file this
    // process created there: a regular file of that device and index. FILEIO_NOT_OURS otherwise.
    int (*remove)(const char* path, const FileIdentity& own);
    // Writes over the file in place; see InPlaceWrite.
    int (*rewrite)(const char* path, InPlaceWrite& job);
    // The repair at a load: opens `path`, and only when that file is still `expected` (device and index,
    // and every other field) holding exactly `current`, writes `data` as the whole file (write,
    // truncate, flush) through that handle. FILEIO_CHANGED, writing nothing, otherwise.
    int (*restore)(const char* path, const std::string& data, const FileIdentity& expected, const std::string& current);
    // 0 when `path` names a regular file that is exactly `expected` (every field) and holds exactly
    // `bytes`; FILEIO_CHANGED when it is another, changed or gone; the reason a read failed otherwise.
    // The last look before a rename.
    int (*verify)(const char* path, const FileIdentity& expected, const std::string& bytes);
    // A file only this user may read, written under a temporary name, flushed and moved to `path`
    // only while no file has that name (FILEIO_NAME_TAKEN, nothing replaced); `created` is the file made.
    int (*writePrivate)(const char* path, const void* data, size_t size, FileIdentity& created);
    // Gives the file `from` the name `to` only while no file has it (FILEIO_NAME_TAKEN otherwise).
    int (*renameFree)(const char* from, const char* to);
    // A journal's bytes, only from a regular file (no link followed) that this user owns and no one
    // else may read or write: mode 0600 on POSIX; on Windows a file inside journalFolder. FILEIO_NOT_OURS
    // for any other file; ENOENT (ERROR_FILE_NOT_FOUND) when there is none. `identity`: the file read.
    int (*readPrivate)(const char* path, size_t limit, std::string& bytes, FileIdentity& identity);
    // This user's own folder for journals and locks, made if missing, that survives a reboot and only
    // the user may write: $XDG_STATE_HOME/trelvo or ~/.local/state/trelvo (mode 0700, owned by the
    // user) on POSIX, every folder above it up to the home (up to / when it lies outside the home)
    // the user's or root's and writable by no one else, else FILEIO_UNSAFE_FOLDER with `folder`
    // naming the one at fault; the local application data folder's "trelvo" on Windows. Never a
    // shared folder. Without `create`, a missing folder is ENOENT and nothing is made (a load only looks).
    int (*journalFolder)(std::string& folder, bool create);
    // Keeps our other savers (another plug-in, the simulator) from saving `path` until unlock. POSIX:
    // an F_OFD_SETLK lock on a file in the state folder named after the profile's folder (device,
    // inode) and name, which only this user's processes can open; Windows: a byte-range lock on a
    // lock file of ours beside the profile. Never a lock on the profile, which any reader could hold.
    // 0 with `*lock` set; 0 with it null when there is nothing to lock (no file or folder yet);
    // FILEIO_BUSY when a saver of ours holds it longer than the wait; any other result is a lock
    // that could not be had (an unsafe state folder, an obstacle at the lock file's name, a program
    // that holds it open or locked, not a saver of ours), with `where` naming what stood in the way:
    // the save goes on without it.
    int (*lock)(const char* path, void** lock, std::string& where);
    void (*unlock)(void* lock);
    // Removes what earlier, interrupted saves left beside `target`: exactly createTemp's form of name,
    // a regular file owned by this user, more than a minute old, and, when `header` is not empty,
    // starting with it (a journal's leftover). 0, or the first reason one was kept.
    int (*removeLeftovers)(const char* target, const std::string& header);
};

// The hooks in force; tests swap single members and put them back with ResetFileIo.
FileIo& fileIo() noexcept;
void ResetFileIo() noexcept;

}  // namespace platform
