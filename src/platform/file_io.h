// The I/O seam: every file the plug-in writes goes through these hooks, so tests can make them fail.
#pragma once

#include <cstddef>

namespace platform {

struct FileIo {
    void* (*open)(const char* path, const char* mode);  // null on failure
    size_t (*write)(void* file, const void* data, size_t size);
    int (*close)(void* file);                           // 0 on success
    int (*replace)(const char* from, const char* to);   // atomic rename over an existing file; 0 on success
    int (*remove)(const char* path);                    // 0 on success
};

// The hooks in force; tests swap single members and put them back with ResetFileIo.
FileIo& fileIo() noexcept;
void ResetFileIo() noexcept;

}  // namespace platform
