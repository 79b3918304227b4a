// Windows file layer: handles checked with GetFileType, CREATE_NEW temporary files, FlushFileBuffers and ReplaceFile.
#include "platform/file_io.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {
namespace {

int Error() {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE);
}

// Only files on disk: a pipe, console or device name is refused before anything is read or written.
int OpenRegular(const char* path, DWORD access, DWORD disposition, HANDLE& handle) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return FILEIO_NOT_REGULAR;
    handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Error();
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return FILEIO_NOT_REGULAR;
    }
    return 0;
}

// A C stream over the handle, which it then owns.
int Stream(HANDLE handle, int flags, const char* mode, void** file) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
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

int OpenLog(const char* path, void** file) {
    *file = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const int error = OpenRegular(path, GENERIC_WRITE, OPEN_ALWAYS, handle)) return error;
    if (!SetEndOfFile(handle)) {
        const int error = Error();
        CloseHandle(handle);
        return error;
    }
    return Stream(handle, _O_WRONLY | _O_TEXT, "wt", file);
}

size_t Write(void* file, const void* data, size_t size) { return std::fwrite(data, 1, size, static_cast<FILE*>(file)); }
int Close(void* file) { return std::fclose(static_cast<FILE*>(file)) == 0 ? 0 : ERROR_WRITE_FAULT; }

int Read(const char* path, size_t limit, std::string& bytes) {
    bytes.clear();
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (const int error = OpenRegular(path, GENERIC_READ, OPEN_EXISTING, handle)) return error;
    int error = 0;
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(handle, buffer, sizeof buffer, &n, nullptr)) error = Error();
        if (error != 0 || n == 0) break;
        if (bytes.size() + n > limit) {
            error = FILEIO_TOO_LARGE;
            break;
        }
        bytes.append(buffer, n);
    }
    CloseHandle(handle);
    if (error != 0) bytes.clear();
    return error;
}

// The full path, which ReplaceFile needs; links are left to the system, which follows them.
int Resolve(const char* path, std::string& target) {
    char full[MAX_PATH * 4];
    const DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    if (n == 0) return Error();
    if (n >= sizeof full) return ERROR_FILENAME_EXCED_RANGE;
    target.assign(full, n);
    return 0;
}

int Inspect(const char* path, FileFacts& facts) {
    facts = FileFacts{};
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const int error = Error();
        return IsMissingFile(error) ? 0 : error;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FILEIO_NOT_REGULAR;
    facts.exists = true;
    facts.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    return 0;
}

int CreateTemp(const char* target, std::string& tempPath, void** file) {
    *file = nullptr;
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".trelvo-%lx-%lx-%x.tmp", GetCurrentProcessId(), GetTickCount(), ++counter);
        tempPath = std::string(target) + suffix;
        HANDLE handle = CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (handle == INVALID_HANDLE_VALUE) return Error();
        const int error = Stream(handle, _O_WRONLY | _O_BINARY, "wb", file);
        if (error != 0) DeleteFileA(tempPath.c_str());
        return error;
    }
    return ERROR_FILE_EXISTS;
}

// ReplaceFile carries the old file's attributes and security over; nothing to copy here.
int Commit(void* file, const FileFacts&) {
    FILE* stream = static_cast<FILE*>(file);
    int error = std::fflush(stream) == 0 ? 0 : ERROR_WRITE_FAULT;
    if (error == 0 && !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))))) error = Error();
    if (std::fclose(stream) != 0 && error == 0) error = ERROR_WRITE_FAULT;
    return error;
}

int Replace(const char* from, const char* to) {
    if (ReplaceFileA(to, from, nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) return 0;
    const int error = Error();
    // No file to replace: a plain move, written through before it returns.
    if (!IsMissingFile(error)) return error;
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : Error();
}

int Remove(const char* path) { return DeleteFileA(path) ? 0 : Error(); }

constexpr FileIo kDefault{OpenLog, Write, Close, Read, Resolve, Inspect, CreateTemp, Commit, Replace, Remove};
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
void ResetFileIo() noexcept { g_io = kDefault; }

}  // namespace platform
