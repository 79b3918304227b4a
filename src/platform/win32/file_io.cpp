// Windows file layer: handles checked with GetFileType, CREATE_NEW temporary files, FlushFileBuffers and ReplaceFile.
#include "platform/file_io.h"

#include <windows.h>
#include <shlobj.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <vector>

#include "platform/win32/replace_file.h"
#include "platform/win32/syscalls.h"

namespace platform {
namespace win32 {
namespace {

constexpr Syscalls kSystem{CreateFileA,      CloseHandle,      ReadFile,          WriteFile,
                           FlushFileBuffers, SetFilePointerEx, SetEndOfFile,      GetFileInformationByHandle,
                           GetFileAttributesA, SetFileAttributesA, ReplaceFileA,  MoveFileExA,
                           DeleteFileA,      LockFileEx};
Syscalls g_sys = kSystem;

}  // namespace

Syscalls& syscalls() noexcept { return g_sys; }
void ResetSyscalls() noexcept { g_sys = kSystem; }

int WriteAll(HANDLE handle, const void* data, size_t size, size_t* done) {
    const char* at = static_cast<const char*>(data);
    for (size_t left = size; left > 0;) {
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        DWORD n = 0;
        if (!g_sys.writeFile(handle, at, chunk, &n, nullptr)) return LastError();
        if (n == 0) return FILEIO_SHORT_WRITE;
        if (done != nullptr) *done += n;
        at += n;
        left -= n;
    }
    return 0;
}

// Letters another save, in this process or another, does not pick; a name taken already is tried
// again by the caller.
std::string TempName(const std::string& target) {
    static unsigned counter = 0;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t x = static_cast<uint64_t>(now.QuadPart) ^ (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                 (static_cast<uint64_t>(GetTickCount()) << 16) ^ ++counter;
    unsigned char random[kSaveTempLetters];
    for (unsigned char& r : random) {
        x = (x ^ (x >> 31)) * 0x9E3779B97F4A7C15ull;
        r = static_cast<unsigned char>(x >> 40);
    }
    return target.substr(0, target.find_last_of("\\/") + 1) + SaveTempName(target, random);
}

}  // namespace win32

namespace {

win32::Syscalls& Sys() { return win32::syscalls(); }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Only files on disk: a pipe, console or device name is refused before anything is read or written.
int OpenRegular(const char* path, DWORD access, DWORD disposition, HANDLE& handle) {
    const DWORD attributes = Sys().getFileAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return FILEIO_NOT_REGULAR;
    handle = Sys().createFile(path, access, kShareAll, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return win32::LastError();
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        Sys().closeHandle(handle);
        return FILEIO_NOT_REGULAR;
    }
    return 0;
}

// openLog and createTemp hand out C streams. The save copy being written (one at a time: the host
// calls on one thread) is written through the table instead, call by call, and keeps its first error
// for commit to report.
FILE* g_copy = nullptr;
int g_copyError = 0;

HANDLE HandleOf(FILE* stream) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))); }

// A C stream over the handle, which it then owns.
int Stream(HANDLE handle, int flags, const char* mode, void** file) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        Sys().closeHandle(handle);
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    FILE* stream = _fdopen(fd, mode);
    if (stream == nullptr) {
        _close(fd);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *file = stream;
    return 0;
}

// Opens what the path names without asking for any access, so neither sharing nor rights stand in the way.
HANDLE OpenForFacts(const std::string& path) {
    return Sys().createFile(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Volume serial number and file index decide, so a hard link or another spelling of the profile is the profile.
bool IsFile(HANDLE handle, const char* other) {
    if (other == nullptr || *other == '\0') return false;
    HANDLE theirs = OpenForFacts(other);
    if (theirs == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = Sys().getFileInformationByHandle(handle, &a) && Sys().getFileInformationByHandle(theirs, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    Sys().closeHandle(theirs);
    return same;
}

int OpenLog(const char* path, const char* profile, bool (*isLog)(const char*, size_t), void** file) {
    *file = nullptr;
    const DWORD attributes = Sys().getFileAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return FILEIO_NOT_REGULAR;
    // The reparse point itself, never what it leads to: no link or junction is followed to the log.
    HANDLE handle = Sys().createFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return win32::LastError();
    BY_HANDLE_FILE_INFORMATION info{};
    int error = GetFileType(handle) != FILE_TYPE_DISK                  ? FILEIO_NOT_REGULAR
                : !Sys().getFileInformationByHandle(handle, &info)     ? win32::LastError()
                : (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FILEIO_FOREIGN_LINK
                : IsFile(handle, profile)                              ? FILEIO_IS_PROFILE
                                                                       : 0;
    char start[kLogStartSize];
    DWORD n = 0;
    if (error == 0 && !Sys().readFile(handle, start, sizeof start, &n, nullptr)) error = win32::LastError();
    if (error == 0 && n > 0 && (isLog == nullptr || !isLog(start, n))) error = FILEIO_NOT_A_LOG;
    LARGE_INTEGER origin{};
    if (error == 0 && (!Sys().setFilePointerEx(handle, origin, nullptr, FILE_BEGIN) || !Sys().setEndOfFile(handle))) {
        error = win32::LastError();
    }
    if (error != 0) {
        Sys().closeHandle(handle);
        return error;
    }
    return Stream(handle, _O_WRONLY | _O_TEXT, "wt", file);
}

using win32::TempName;
using win32::WriteAll;

size_t Write(void* file, const void* data, size_t size) {
    FILE* stream = static_cast<FILE*>(file);
    if (stream != g_copy) return std::fwrite(data, 1, size, stream);
    size_t done = 0;
    if (g_copyError == 0) g_copyError = WriteAll(HandleOf(stream), data, size, &done);
    return done;
}

int Close(void* file) {
    if (file == g_copy) g_copy = nullptr;
    return std::fclose(static_cast<FILE*>(file)) == 0 ? 0 : ERROR_WRITE_FAULT;
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
    FileIdentity id;
    id.exists = true;
    id.device = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    id.modified = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                       info.ftLastWriteTime.dwLowDateTime);
    return id;
}

int IdentityOfHandle(HANDLE handle, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!Sys().getFileInformationByHandle(handle, &info)) return win32::LastError();
    identity = IdentityOf(info);
    return 0;
}

int ReadAll(HANDLE handle, size_t limit, std::string& bytes) {
    bytes.clear();
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!Sys().readFile(handle, buffer, sizeof buffer, &n, nullptr)) return win32::LastError();
        if (n == 0) return 0;
        if (bytes.size() + n > limit) return FILEIO_TOO_LARGE;
        bytes.append(buffer, n);
    }
}

// The file's state before and after the read must agree, or the bytes may be half another writer's.
int ReadIdentified(const char* path, size_t limit, std::string& bytes, FileIdentity& identity) {
    bytes.clear();
    identity = FileIdentity{};
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const int error = OpenRegular(path, GENERIC_READ, OPEN_EXISTING, handle)) return error;
    int error = FILEIO_KEPT_CHANGING;
    for (int attempt = 0; attempt < 3 && error == FILEIO_KEPT_CHANGING; ++attempt) {
        FileIdentity before, after;
        if (!Sys().setFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
            (error = IdentityOfHandle(handle, before)) != 0) {
            error = error != 0 ? error : win32::LastError();
            break;
        }
        error = ReadAll(handle, limit, bytes);
        if (error == 0) error = IdentityOfHandle(handle, after);
        if (error == 0 && !(before == after)) error = FILEIO_KEPT_CHANGING;
        if (error == 0) identity = after;
    }
    Sys().closeHandle(handle);
    if (error != 0) bytes.clear();
    return error;
}

int Read(const char* path, size_t limit, std::string& bytes) {
    FileIdentity ignored;
    return ReadIdentified(path, limit, bytes, ignored);
}

int Identify(const char* path, FileIdentity& identity) {
    identity = FileIdentity{};
    HANDLE handle = OpenForFacts(path);
    if (handle == INVALID_HANDLE_VALUE) {
        const int error = win32::LastError();
        return IsMissingFile(error) ? 0 : error;
    }
    const int error = IdentityOfHandle(handle, identity);
    Sys().closeHandle(handle);
    return error;
}

// The full path, which ReplaceFile needs; links are left to the system, which follows them.
int Resolve(const char* path, std::string& target) {
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0) return win32::LastError();
    if (n >= sizeof full) return ERROR_FILENAME_EXCED_RANGE;
    target.assign(full, n);
    return 0;
}

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash == 0 || path[slash - 1] == ':' ? slash + 1 : slash);
}

// Whether the system grants this access to this process: the file's or folder's ACL decides.
bool Denied(const std::string& path, DWORD access, DWORD flags) {
    HANDLE handle = Sys().createFile(path.c_str(), access, kShareAll, nullptr,
                                OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;
    Sys().closeHandle(handle);
    return false;
}

int Inspect(const char* path, FileFacts& facts) {
    facts = FileFacts{};
    const DWORD attributes = Sys().getFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const int error = win32::LastError();
        return IsMissingFile(error) ? 0 : error;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FILEIO_NOT_REGULAR;
    facts.exists = true;
    facts.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0 || Denied(path, GENERIC_WRITE, 0);
    facts.folderWritable = !Denied(Folder(path), FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
    HANDLE handle = OpenForFacts(path);
    if (handle == INVALID_HANDLE_VALUE) return win32::LastError();
    BY_HANDLE_FILE_INFORMATION info{};
    const int error = Sys().getFileInformationByHandle(handle, &info) ? 0 : win32::LastError();
    Sys().closeHandle(handle);
    facts.links = info.nNumberOfLinks;
    return error;
}

// Only the very file this process made, still under that name: never another's put in its place.
int Remove(const char* path, const FileIdentity& own) {
    HANDLE handle = Sys().createFile(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return win32::LastError();
    FileIdentity now;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ours = Sys().getFileInformationByHandle(handle, &info) &&
                      !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                      (now = IdentityOf(info)).device == own.device && now.index == own.index;
    Sys().closeHandle(handle);
    if (!ours) return FILEIO_NOT_OURS;
    return Sys().deleteFile(path) ? 0 : win32::LastError();
}

// Never over a file that has the name: no MOVEFILE_REPLACE_EXISTING.
int RenameFree(const char* from, const char* to) {
    if (Sys().moveFileEx(from, to, MOVEFILE_WRITE_THROUGH)) return 0;
    const int error = win32::LastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FILEIO_NAME_TAKEN : error;
}

int CreateTemp(const char* target, std::string& tempPath, FileIdentity& created, void** file) {
    *file = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = TempName(target);
        HANDLE handle = Sys().createFile(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (handle == INVALID_HANDLE_VALUE) return win32::LastError();
        int error = IdentityOfHandle(handle, created);
        if (error != 0) {
            Sys().closeHandle(handle);
            Sys().deleteFile(tempPath.c_str());  // made by this call a moment ago, still open: ours
            return error;
        }
        error = Stream(handle, _O_WRONLY | _O_BINARY, "wb", file);
        if (error != 0) {
            Remove(tempPath.c_str(), created);
            return error;
        }
        g_copy = static_cast<FILE*>(*file);
        g_copyError = 0;
        return 0;
    }
    return ERROR_FILE_EXISTS;
}

// ReplaceFile carries the old file's attributes and security over; nothing to copy here.
int Commit(void* file, const FileFacts&) {
    FILE* stream = static_cast<FILE*>(file);
    int error = stream == g_copy ? g_copyError : 0;
    if (error == 0 && std::fflush(stream) != 0) error = ERROR_WRITE_FAULT;
    if (error == 0 && !Sys().flushFileBuffers(HandleOf(stream))) error = win32::LastError();
    const int closed = Close(file);
    return error != 0 ? error : closed;
}

constexpr win32::ReplaceCalls<std::string> kNarrow{
    [](const std::string& replaced, const std::string& replacement, const std::string& backup) {
        return Sys().replaceFile(replaced.c_str(), replacement.c_str(), backup.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                                 nullptr, nullptr);
    },
    [](const std::string& from, const std::string& to) { return Sys().moveFileEx(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH); },
    [](const std::string& path) { return Sys().deleteFile(path.c_str()); },
    [](const std::string& path) { return Sys().getFileAttributes(path.c_str()); },
    [](const std::string& path, DWORD attributes) { return Sys().setFileAttributes(path.c_str(), attributes); },
    TempName,
};

// A refusal of the file's own permissions sends the save to write in place.
int Replace(const char* from, const char* to) {
    return win32::ReplaceWithBackup<std::string>(from, to, kNarrow);
}

// ReplaceFile's change of names is the file system's to make durable; XP has no call to flush a folder.
int SyncFolder(const char*) { return 0; }


// Whether the file behind the handle holds exactly `bytes`, read from its start.
int Holds(HANDLE handle, const std::string& bytes) {
    std::string now;
    if (!Sys().setFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) return win32::LastError();
    const int error = ReadAll(handle, bytes.size(), now);
    if (error == FILEIO_TOO_LARGE) return FILEIO_CHANGED;
    return error != 0 ? error : now == bytes ? 0 : FILEIO_CHANGED;
}

// Still the file that was read, under the same name, holding the bytes read.
int Unchanged(HANDLE handle, const char* path, const FileIdentity& expected, const std::string& bytes) {
    FileIdentity mine, named;
    if (const int error = IdentityOfHandle(handle, mine)) return error;
    if (const int error = Identify(path, named)) return error;
    if (!(mine == expected && named == expected)) return FILEIO_CHANGED;
    return Holds(handle, bytes);
}

// Writes `data` as the whole file through the handle: from its start, cut to its length, flushed.
int WriteWhole(HANDLE handle, const std::string& data) {
    LARGE_INTEGER length{};
    length.QuadPart = static_cast<LONGLONG>(data.size());
    if (!Sys().setFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) return win32::LastError();
    if (const int error = WriteAll(handle, data.data(), data.size())) return error;
    if (!(Sys().setFilePointerEx(handle, length, nullptr, FILE_BEGIN) && Sys().setEndOfFile(handle))) return win32::LastError();
    return Sys().flushFileBuffers(handle) ? 0 : win32::LastError();
}

// One handle from the first look to the last write: what is checked is what is written.
int Rewrite(const char* path, InPlaceWrite& job) {
    const std::string& bytes = *job.bytes;
    const std::string& old = *job.old;
    job.step = FileStep::Read;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const int error = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, handle)) return error;
    int error = Unchanged(handle, path, job.expected, old);
    // Never shorter: a file cut off early is what the host must never find.
    if (error == 0 && bytes.size() < old.size()) error = FILEIO_SHORT_WRITE;
    if (error == 0) job.step = FileStep::Write;
    if (error == 0 && job.journal != nullptr) error = job.journal(job.context);
    if (error == 0) error = Unchanged(handle, path, job.expected, old);
    size_t written = 0;
    if (error == 0) {
        job.touched = true;
        if (!Sys().setFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) error = win32::LastError();
    }
    if (error == 0) error = WriteAll(handle, bytes.data(), bytes.size(), &written);
    if (error == 0 && !Sys().flushFileBuffers(handle)) {
        error = win32::LastError();
        job.step = FileStep::Sync;
    }
    // The old text goes back only over exactly what this write left: no other writer's bytes are lost.
    if (error != 0 && job.touched) {
        const std::string left = bytes.substr(0, written) + (written < old.size() ? old.substr(written) : std::string());
        job.restored = Holds(handle, left) == 0 && WriteWhole(handle, old) == 0;
    }
    Sys().closeHandle(handle);
    return error;
}

// The repair at a load, through the handle whose file was checked.
int Restore(const char* path, const std::string& data, const FileIdentity& expected, const std::string& current) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const int error = OpenRegular(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, handle)) return error;
    FileIdentity mine;
    int error = IdentityOfHandle(handle, mine);
    if (error == 0 && !(mine == expected)) error = FILEIO_CHANGED;
    if (error == 0) error = Holds(handle, current);
    if (error == 0) error = WriteWhole(handle, data);
    Sys().closeHandle(handle);
    return error;
}

int Verify(const char* path, const FileIdentity& expected, const std::string& bytes) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const int error = OpenRegular(path, GENERIC_READ, OPEN_EXISTING, handle);
    if (error != 0) return IsMissingFile(error) ? FILEIO_CHANGED : error;
    const int changed = Unchanged(handle, path, expected, bytes);
    Sys().closeHandle(handle);
    return changed;
}

// Journals are written in the user's own folder, under the user's profile: its ACL lets no one else in.
int WritePrivate(const char* path, const void* data, size_t size, FileIdentity& created) {
    std::string temp;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        temp = TempName(path);
        handle = Sys().createFile(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return win32::LastError();
    }
    if (handle == INVALID_HANDLE_VALUE) return ERROR_FILE_EXISTS;
    int error = IdentityOfHandle(handle, created);
    if (error == 0) error = WriteAll(handle, data, size);
    if (error == 0 && !Sys().flushFileBuffers(handle)) error = win32::LastError();
    Sys().closeHandle(handle);
    if (error == 0) error = RenameFree(temp.c_str(), path);
    if (error != 0) Remove(temp.c_str(), created);
    return error;
}

// "trelvo" in the user's local application data folder, which lives in the user's own profile and
// stays there across reboots; never a folder other users share.
int JournalFolder(std::string& folder, bool create) {
    char path[MAX_PATH + 1] = {};
    const HRESULT hr = SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | (create ? CSIDL_FLAG_CREATE : 0), nullptr,
                                        SHGFP_TYPE_CURRENT, path);
    if (FAILED(hr)) return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : ERROR_PATH_NOT_FOUND;
    folder = std::string(path) + "\\trelvo";
    if (create && !CreateDirectoryA(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return win32::LastError();
    const DWORD attributes = Sys().getFileAttributes(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return win32::LastError();
    // A link could send journals into a folder another user writes.
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return FILEIO_NOT_OURS;
    return 0;
}

// The owner this process gives the files it creates (its user, or the administrators' group).
bool OwnedByUs(const std::string& path) {
    DWORD need = 0;
    GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, nullptr, 0, &need);
    std::vector<char> descriptor(need);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (need == 0 || !GetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION, descriptor.data(), need, &need) ||
        !GetSecurityDescriptorOwner(descriptor.data(), &owner, &defaulted) || owner == nullptr) {
        return false;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    bool ours = false;
    for (const TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        GetTokenInformation(token, which, nullptr, 0, &size);
        std::vector<char> info(size);
        if (size == 0 || !GetTokenInformation(token, which, info.data(), size, &size)) continue;
        const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid
                                            : reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner;
        ours = ours || EqualSid(owner, sid);
    }
    CloseHandle(token);
    return ours;
}

// Only a regular file inside this user's journal folder that this user owns: a file anywhere else,
// whatever its name and content, may have been put there by someone else.
int ReadPrivate(const char* path, size_t limit, std::string& bytes, FileIdentity& identity) {
    bytes.clear();
    const DWORD attributes = Sys().getFileAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return win32::LastError();
    std::string folder, full;
    if (JournalFolder(folder, false) != 0 || Resolve(path, full) != 0) return FILEIO_NOT_OURS;
    folder += '\\';
    const bool inside = full.size() > folder.size() && full.find_first_of("\\/", folder.size()) == std::string::npos &&
                        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, full.data(), static_cast<int>(folder.size()),
                                       folder.data(), static_cast<int>(folder.size())) == CSTR_EQUAL;
    if (!inside || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) || !OwnedByUs(full)) {
        return FILEIO_NOT_OURS;
    }
    return ReadIdentified(full.c_str(), limit, bytes, identity);
}

// ".<name>.trelvo-lock" beside the profile: a byte-range lock on it keeps our savers apart. A lock on
// the profile itself would be mandatory on Windows and fail the host's own save.
std::string LockName(const std::string& target) {
    const size_t slash = target.find_last_of("\\/");
    return target.substr(0, slash + 1) + "." + FitName(target, sizeof ".trelvo-lock") + ".trelvo-lock";
}

struct ProfileLock {
    HANDLE handle;
    std::string path;
    FileIdentity made;  // of the lock file this saver created; none when it found one there
    bool recorded;      // this saver's record follows the mark
};

constexpr DWORD kLockWaitMs = 2000;      // longer than any save of ours holds it
constexpr DWORD kDeletePendingMs = 200;  // a lock file another saver is removing is gone by then
// What the saver that creates a lock file writes in it: only a file that holds it is ever removed,
// so a user's file at that name, or one a link there leads to, stays.
constexpr char kLockMark[] = "TRELVO-40 lock\n";

// Which saver holds the lock: its process id and start time, written after the mark by the holder
// and cut off when it lets go. A waiter that finds the record of a running process tells a saver of
// ours from another program that locked our file, which never holds a save back. Empty for a
// process that is gone.
std::string HolderRecord(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (process == nullptr) return "";
    FILETIME created{}, unused{};
    DWORD code = 0;
    const bool alive = GetProcessTimes(process, &created, &unused, &unused, &unused) && GetExitCodeProcess(process, &code) &&
                       code == STILL_ACTIVE;
    CloseHandle(process);
    char text[32];
    std::snprintf(text, sizeof text, "%08lx %08lx%08lx\n", static_cast<unsigned long>(pid),
                  static_cast<unsigned long>(created.dwHighDateTime), static_cast<unsigned long>(created.dwLowDateTime));
    return alive ? text : "";
}

constexpr LONGLONG kMarkSize = sizeof kLockMark - 1;

// A lock file that holds our mark gets the holder's record after it; no other file is written.
bool WriteHolder(HANDLE handle) {
    std::string text;
    LARGE_INTEGER after{};
    after.QuadPart = kMarkSize;
    if (!Sys().setFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN) || ReadAll(handle, 64, text) != 0 ||
        text.compare(0, kMarkSize, kLockMark) != 0 || !Sys().setFilePointerEx(handle, after, nullptr, FILE_BEGIN)) {
        return false;
    }
    const std::string record = HolderRecord(GetCurrentProcessId());
    return WriteAll(handle, record.data(), record.size()) == 0 && Sys().setEndOfFile(handle);
}

// After the first byte, which the holder has locked: the rest of the mark and a record of a saver
// of ours that is running.
bool HeldByOurs(const std::string& name) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (OpenRegular(name.c_str(), GENERIC_READ, OPEN_EXISTING, handle) != 0) return false;
    LARGE_INTEGER second{};
    second.QuadPart = 1;
    std::string text;
    const bool read = Sys().setFilePointerEx(handle, second, nullptr, FILE_BEGIN) && ReadAll(handle, 64, text) == 0;
    Sys().closeHandle(handle);
    unsigned long pid = 0;
    return read && text.compare(0, kMarkSize - 1, kLockMark + 1) == 0 &&
           std::sscanf(text.c_str() + kMarkSize - 1, "%8lx", &pid) == 1 && !text.substr(kMarkSize - 1).empty() &&
           HolderRecord(static_cast<DWORD>(pid)) == text.substr(kMarkSize - 1);
}

// The lock file is created by the first saver that finds none, and removed by the last one out.
// Another saver's byte-range lock is waited for, then FILEIO_BUSY. What is not ours never holds a
// save: a read-only file or a folder at the name, a name access is denied to (after a moment, for a
// lock file whose removal is pending), a program holding it open unshared (after the wait).
int Lock(const char* path, void** lock, std::string& where) {
    *lock = nullptr;
    where.clear();
    // Nothing to keep apart: no file yet, or one this process may not write.
    const DWORD profile = Sys().getFileAttributes(path);
    if (profile == INVALID_FILE_ATTRIBUTES || (profile & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) return 0;
    where = LockName(path);
    const DWORD start = GetTickCount();
    for (;;) {
        // Never through a link: the lock file is made here or nowhere.
        HANDLE handle = Sys().createFile(where.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        DWORD error = GetLastError();  // ERROR_ALREADY_EXISTS for a file that was there
        if (handle != INVALID_HANDLE_VALUE) {
            if (GetFileType(handle) != FILE_TYPE_DISK) {
                Sys().closeHandle(handle);
                return FILEIO_NOT_REGULAR;
            }
            FileIdentity made;
            if (error != ERROR_ALREADY_EXISTS && IdentityOfHandle(handle, made) == 0) {
                WriteAll(handle, kLockMark, sizeof kLockMark - 1);  // for the other savers, who may remove it
            }
            OVERLAPPED at{};
            if (Sys().lockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
                *lock = new ProfileLock{handle, where, made, WriteHolder(handle)};
                where.clear();
                return 0;
            }
            error = GetLastError();
            Sys().closeHandle(handle);
        }
        const DWORD attributes = Sys().getFileAttributes(where.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return FILEIO_NOT_REGULAR;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return FILEIO_READ_ONLY;
        const DWORD waited = GetTickCount() - start;
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
            if (waited > kLockWaitMs) {
                if (!HeldByOurs(where)) return ERROR_LOCK_VIOLATION;
                where.clear();
                return FILEIO_BUSY;
            }
        } else if (!((error == ERROR_SHARING_VIOLATION && waited <= kLockWaitMs) ||
                     (error == ERROR_ACCESS_DENIED && waited <= kDeletePendingMs))) {
            return static_cast<int>(error);
        }
        Sleep(10);
    }
}

// The lock goes with its handle; the lock file goes too when no other saver has it open (opened
// unshared), it is no link, and it is the very file this saver created or holds our mark: one that
// another saver waits on stays, so no third saver could lock a new file of that name beside the waiter.
void Unlock(void* lock) {
    if (lock == nullptr) return;
    auto* held = static_cast<ProfileLock*>(lock);
    LARGE_INTEGER after{};
    after.QuadPart = kMarkSize;
    if (held->recorded && Sys().setFilePointerEx(held->handle, after, nullptr, FILE_BEGIN)) Sys().setEndOfFile(held->handle);
    Sys().closeHandle(held->handle);
    HANDLE alone = Sys().createFile(held->path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    bool ours = alone != INVALID_HANDLE_VALUE && Sys().getFileInformationByHandle(alone, &info) &&
                !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const FileIdentity now = ours ? IdentityOf(info) : FileIdentity{};
    if (ours && !(held->made.exists && now.device == held->made.device && now.index == held->made.index)) {
        std::string text;
        ours = now.size == sizeof kLockMark - 1 && ReadAll(alone, sizeof kLockMark, text) == 0 && text == kLockMark;
    }
    if (alone != INVALID_HANDLE_VALUE) Sys().closeHandle(alone);
    if (ours) {
        alone = Sys().createFile(held->path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (alone != INVALID_HANDLE_VALUE) Sys().closeHandle(alone);
    }
    delete held;
}

bool StartsWith(const std::string& path, const std::string& header) {
    if (header.empty()) return true;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (OpenRegular(path.c_str(), GENERIC_READ, OPEN_EXISTING, handle) != 0) return false;
    std::string start(header.size(), '\0');
    size_t got = 0;
    for (DWORD n = 1; got < start.size() && n > 0; got += n) {
        if (!Sys().readFile(handle, &start[got], static_cast<DWORD>(start.size() - got), &n, nullptr)) break;
    }
    Sys().closeHandle(handle);
    return got == header.size() && start == header;
}

// A read-only file of that form is the old profile a failed replacement could not put back: it stays.
int RemoveLeftovers(const char* target, const std::string& header) {
    const std::string folder = Folder(target);
    WIN32_FIND_DATAA found{};
    const std::string beside(target, std::string(target).find_last_of("\\/") + 1);
    HANDLE search = FindFirstFileA((beside + ".*.trelvo-save-*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return IsMissingFile(static_cast<int>(GetLastError())) ? 0 : win32::LastError();
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    constexpr ULONGLONG kMinute = 60ull * 10000000ull;  // in the 100 ns units of FILETIME
    int error = 0;
    do {
        const std::string path = folder + "\\" + found.cFileName;
        if (!IsSaveTempName(target, found.cFileName) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY)) ||
            ticks(now) <= ticks(found.ftLastWriteTime) + kMinute || !OwnedByUs(path) || !StartsWith(path, header)) {
            continue;
        }
        if (!Sys().deleteFile(path.c_str()) && error == 0) error = win32::LastError();
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return error;
}

constexpr FileIo kDefault{OpenLog, Write,  Close,  Read,         ReadIdentified, Identify,    Resolve,
                          Inspect, CreateTemp, Commit, Replace, SyncFolder, Remove, Rewrite,
                          Restore, Verify, WritePrivate, RenameFree, ReadPrivate, JournalFolder, Lock, Unlock, RemoveLeftovers};
FileIo g_io = kDefault;

}  // namespace

std::string SystemErrorText(int error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(error);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result;
}

bool IsMissingFile(int error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

FileIo& fileIo() noexcept { return g_io; }
void ResetFileIo() noexcept {
    g_io = kDefault;
    win32::ResetSyscalls();
}

}  // namespace platform
