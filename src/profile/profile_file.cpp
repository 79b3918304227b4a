// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#include "profile/profile_file.h"

#include "platform/file_io.h"

// The new profile is written beside the final target of the path and renamed over it, so the
// host's file is either the old one or the new one, never a part of either, and keeps its links,
// permissions and owner. A read-only file is the user's decision and is never replaced.
int ReplaceProfileFile(const std::string& path, const std::string& bytes) {
    auto& io = platform::fileIo();
    std::string target;
    platform::FileFacts facts;
    if (int error = io.resolve(path.c_str(), target)) return error;
    if (int error = io.inspect(target.c_str(), facts)) return error;
    if (facts.readOnly) return platform::FILEIO_READ_ONLY;
    std::string temp;
    void* file = nullptr;
    if (int error = io.createTemp(target.c_str(), temp, &file)) return error;
    const bool whole = io.write(file, bytes.data(), bytes.size()) == bytes.size();
    int error = io.commit(file, facts);
    if (error == 0 && !whole) error = platform::FILEIO_SHORT_WRITE;
    if (error == 0) error = io.replace(temp.c_str(), target.c_str());
    if (error != 0) io.remove(temp.c_str());
    return error;
}
