// Prints a module's version resource as Windows reads it (GetFileVersionInfo), for the package test.
#include <windows.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trelvo-file-version MODULE\n");
        return 2;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(argv[1], &ignored);
    std::vector<char> info(size);
    if (size == 0 || !GetFileVersionInfoA(argv[1], 0, size, info.data())) {
        std::fprintf(stderr, "trelvo-file-version: no version resource in %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
        std::printf("fixed FileVersion %u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                    HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
        std::printf("fixed ProductVersion %u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS),
                    LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                    LOWORD(fixed->dwProductVersionLS));
    }
    for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "LegalCopyright", "OriginalFilename",
                             "ProductName", "ProductVersion"}) {
        char key[80];
        std::snprintf(key, sizeof key, "\\StringFileInfo\\040904B0\\%s", name);
        char* value = nullptr;
        std::printf("%s %s\n", name, VerQueryValueA(info.data(), key, reinterpret_cast<void**>(&value), &length) && value ? value : "");
    }
    return 0;
}
