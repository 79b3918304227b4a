// The Win32 calls of the Windows file layer, in one table that a test may replace to watch or fail them.
#pragma once

#include <windows.h>

namespace platform::win32 {

struct Syscalls {
    HANDLE(WINAPI* createFile)(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                               DWORD flags, HANDLE like);
    BOOL(WINAPI* closeHandle)(HANDLE handle);
    BOOL(WINAPI* readFile)(HANDLE handle, LPVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped);
    BOOL(WINAPI* writeFile)(HANDLE handle, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED overlapped);
    BOOL(WINAPI* flushFileBuffers)(HANDLE handle);
    BOOL(WINAPI* setFilePointerEx)(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method);
    BOOL(WINAPI* setEndOfFile)(HANDLE handle);
    BOOL(WINAPI* getFileInformationByHandle)(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info);
    DWORD(WINAPI* getFileAttributes)(LPCSTR path);
    BOOL(WINAPI* setFileAttributes)(LPCSTR path, DWORD attributes);
    BOOL(WINAPI* replaceFile)(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD flags, LPVOID exclude,
                              LPVOID reserved);
    BOOL(WINAPI* moveFileEx)(LPCSTR from, LPCSTR to, DWORD flags);
    BOOL(WINAPI* deleteFile)(LPCSTR path);
    BOOL(WINAPI* lockFileEx)(HANDLE handle, DWORD flags, DWORD reserved, DWORD low, DWORD high, LPOVERLAPPED overlapped);
};

// The table in force; ResetSyscalls puts the system's own calls back.
Syscalls& syscalls() noexcept;
void ResetSyscalls() noexcept;

}  // namespace platform::win32
