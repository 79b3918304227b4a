// Windows file hooks: stdio streams (text mode writes CR LF) and MoveFileExA for the atomic replace.
#include "platform/file_io.h"

#include <windows.h>

#include <cstdio>

namespace platform {
namespace {

void* Open(const char* path, const char* mode) { return std::fopen(path, mode); }
size_t Write(void* file, const void* data, size_t size) { return std::fwrite(data, 1, size, static_cast<FILE*>(file)); }
int Close(void* file) { return std::fclose(static_cast<FILE*>(file)); }

// Write-through so the new profile is on disk before the old one is gone.
int Replace(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}

int Remove(const char* path) { return std::remove(path); }

constexpr FileIo kDefault{Open, Write, Close, Replace, Remove};
FileIo g_io = kDefault;

}  // namespace

FileIo& fileIo() noexcept { return g_io; }
void ResetFileIo() noexcept { g_io = kDefault; }

}  // namespace platform
