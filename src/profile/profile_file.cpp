// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#include "profile/profile_file.h"

#include "log/log.h"
#include "platform/file_io.h"

namespace {

// A folder we may not write, or other names of the same file, leave the file itself as the only
// thing to write: the one save that keeps them, at the cost of atomicity, which the log tells.
int RewriteInPlace(const std::string& path, const std::string& target, const platform::FileFacts& facts,
                   const std::string& bytes) {
    if (int error = platform::fileIo().rewrite(target.c_str(), bytes.data(), bytes.size())) return error;
    myLog(LOG_WARNING, "TRELVO-40/41 settings saved to " + path + " in place, not atomically: " +
                           (facts.links > 1 ? "the file has more than one hard link" : "its folder is not writable"));
    return 0;
}

}  // namespace

// The new profile is written beside the final target of the path and renamed over it, so the
// host's file is either the old one or the new one, never a part of either, and keeps its symbolic
// links, permissions, attributes and owner. A file this process may not write, or that the user
// marked read-only, is never replaced.
int ReplaceProfileFile(const std::string& path, const std::string& bytes) {
    auto& io = platform::fileIo();
    std::string target;
    platform::FileFacts facts;
    if (int error = io.resolve(path.c_str(), target)) return error;
    if (int error = io.inspect(target.c_str(), facts)) return error;
    if (facts.readOnly) return platform::FILEIO_READ_ONLY;
    int error = 0;
    if (facts.exists && (facts.links > 1 || !facts.folderWritable)) {
        error = RewriteInPlace(path, target, facts, bytes);
    } else {
        std::string temp;
        void* file = nullptr;
        if ((error = io.createTemp(target.c_str(), temp, &file))) return error;
        const bool whole = io.write(file, bytes.data(), bytes.size()) == bytes.size();
        error = io.commit(file, facts);
        if (error == 0 && !whole) error = platform::FILEIO_SHORT_WRITE;
        if (error == 0) error = io.replace(temp.c_str(), target.c_str());
        if (error != 0) io.remove(temp.c_str());
    }
    // Copies of older profiles, of no use once a save has worked.
    if (error == 0 && io.removeLeftovers(target.c_str()) != 0) {
        myLog(LOG_WARNING, "TRELVO-40/41 temporary files of earlier saves beside " + path + " could not be removed");
    }
    return error;
}
