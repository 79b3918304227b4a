// ReplaceFile with a backup name, and what follows each way it can fail, for narrow and wide names.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/file_io.h"

namespace platform::win32 {

// The calls it makes on names of type String: the file layer's table for the plug-in's narrow
// names, the system's wide calls for the simulator's.
template <typename String>
struct ReplaceCalls {
    BOOL (*replace)(const String& replaced, const String& replacement, const String& backup);
    BOOL (*move)(const String& from, const String& to);  // never over a file that is there; written through
    BOOL (*remove)(const String& path);
    DWORD (*attributes)(const String& path);
    BOOL (*setAttributes)(const String& path, DWORD attributes);
    String (*nameBeside)(const String& path);  // a name of the save copies' form beside `path`
};

// A free name of the save copies' form beside `target` (unique to this save: another save, in this
// process or another, picks another name).
std::string TempName(const std::string& target);

// All of `size` bytes to the file, in chunks a single WriteFile takes; `done` counts what was written.
int WriteAll(HANDLE handle, const void* data, size_t size, size_t* done = nullptr);

// GetLastError as a file layer error: never 0 after a failure.
inline int LastError() {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE);
}

namespace detail {

template <typename String>
bool Exists(const String& path, const ReplaceCalls<String>& c) {
    return c.attributes(path) != INVALID_FILE_ATTRIBUTES;
}

// No file another program has just put at `to` is lost: that is a change, and the save starts again.
template <typename String>
int MoveToFreeName(const String& from, const String& to, const ReplaceCalls<String>& c) {
    if (c.move(from, to)) return 0;
    const int error = LastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FILEIO_CHANGED : error;
}

// ReplaceFile moved the old file to the backup name and could not move the new one in: the old one
// goes back; failing that the new one takes the name; failing both, the old one stays under the
// backup name, read-only, which no clean-up removes.
template <typename String>
int PutBack(const String& from, const String& to, const String& backup, int error, const ReplaceCalls<String>& c) {
    if (c.move(backup, to) || Exists(to, c)) return error;
    if (MoveToFreeName(from, to, c) == 0) {
        c.remove(backup);
        return 0;
    }
    const DWORD attributes = c.attributes(backup);
    if (attributes != INVALID_FILE_ATTRIBUTES) c.setAttributes(backup, attributes | FILE_ATTRIBUTE_READONLY);
    return error;
}

}  // namespace detail

// Puts `from` in the place of `to`. ReplaceFile keeps the old file's security descriptor, attributes
// and streams, and always gets a backup name, a free name of the save copies' form beside `to`, so a
// failure never leaves the profile deleted (without one, ERROR_UNABLE_TO_MOVE_REPLACEMENT means just
// that, and wine makes an rfXXXX.tmp of its own). Whatever it returns, the name `to` is looked at,
// not the code trusted: after a failure `from` may be removed only while `to` stands whole.
// ERROR_ACCESS_DENIED on an existing file is FILEIO_REPLACE_REFUSED.
template <typename String>
int ReplaceWithBackup(const String& from, const String& to, const ReplaceCalls<String>& c) {
    String backup = c.nameBeside(to);
    for (int attempt = 0; attempt < 100 && detail::Exists(backup, c); ++attempt) backup = c.nameBeside(to);
    if (c.replace(to, from, backup)) {
        // The old file, under a name of our form: if it will not go now, the clean-up takes it later.
        c.remove(backup);
        return 0;
    }
    const int error = LastError();
    // ERROR_UNABLE_TO_REMOVE_REPLACED, ERROR_UNABLE_TO_MOVE_REPLACEMENT with a backup name, and any
    // other refusal: the file is as it was.
    if (detail::Exists(to, c)) return error == ERROR_ACCESS_DENIED ? FILEIO_REPLACE_REFUSED : error;
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the old file is under the backup name.
    if (detail::Exists(backup, c)) return detail::PutBack(from, to, backup, error, c);
    // No file to replace (or one that went without a backup): the new copy is moved in.
    const int moved = detail::MoveToFreeName(from, to, c);
    return moved == 0 || moved == FILEIO_CHANGED ? moved : error;
}

}  // namespace platform::win32
