// POSIX file hooks: stdio streams and rename(2), which replaces the target atomically.
#include "platform/file_io.h"

#include <cstdio>

namespace platform {
namespace {

void* Open(const char* path, const char* mode) { return std::fopen(path, mode); }
size_t Write(void* file, const void* data, size_t size) { return std::fwrite(data, 1, size, static_cast<FILE*>(file)); }
int Close(void* file) { return std::fclose(static_cast<FILE*>(file)); }
int Replace(const char* from, const char* to) { return std::rename(from, to); }
int Remove(const char* path) { return std::remove(path); }

constexpr FileIo kDefault{Open, Write, Close, Replace, Remove};
FileIo g_io = kDefault;

}  // namespace

FileIo& fileIo() noexcept { return g_io; }
void ResetFileIo() noexcept { g_io = kDefault; }

}  // namespace platform
