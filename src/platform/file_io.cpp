// The texts of the file layer's own failure reasons; system errors keep the system's words.
#include "platform/file_io.h"

namespace platform {

namespace {
constexpr char kTempMark[] = ".trelvo-save-";
constexpr char kTempSuffix[] = ".tmp";
}  // namespace

std::string SaveTempName(const std::string& name, const unsigned char (&random)[kSaveTempLetters]) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string temp = "." + name + kTempMark;
    for (const unsigned char r : random) temp += kLetters[r % 52];
    return temp + kTempSuffix;
}

bool IsSaveTempName(const std::string& name, const std::string& candidate) {
    const std::string prefix = "." + name + kTempMark;
    const size_t suffix = sizeof kTempSuffix - 1;
    if (candidate.size() != prefix.size() + kSaveTempLetters + suffix || candidate.compare(0, prefix.size(), prefix) != 0 ||
        candidate.compare(candidate.size() - suffix, suffix, kTempSuffix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < prefix.size() + kSaveTempLetters; ++i) {
        const char c = candidate[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

std::string FileErrorText(int error) {
    switch (error) {
    case FILEIO_NOT_REGULAR: return "not a regular file";
    case FILEIO_TOO_LARGE: return "file too large";
    case FILEIO_READ_ONLY: return "the file is read-only";
    case FILEIO_NOT_WELL_FORMED: return "not well-formed XML";
    case FILEIO_NOT_REWRITABLE: return "its encoding or markup cannot be written back unchanged";
    case FILEIO_SHORT_WRITE: return "the file was written only in part";
    case FILEIO_OUT_OF_MEMORY: return "out of memory";
    case FILEIO_IS_PROFILE: return "the file is the profile itself";
    case FILEIO_CHANGED: return "another program changed the file meanwhile";
    case FILEIO_NOT_KEPT: return "a new file could not have the old one's owner, group, mode or ACL";
    case FILEIO_REPLACE_REFUSED: return "the replacement of the file was refused";
    case FILEIO_WOULD_BE_TOO_LARGE: return "the saved profile would be larger than the 64 MiB the plug-in reads";
    case FILEIO_NOT_OURS: return "the file belongs to another user or others may write it";
    case FILEIO_DANGLING_LINK: return "the path is a symbolic link to a file that does not exist";
    case FILEIO_BUSY: return "another save of ours (a plug-in or trelvo-sim) holds the profile's lock";
    case FILEIO_UNSAFE_FOLDER: return "the state folder or one above it belongs to another user or others may write it";
    case FILEIO_KEPT_CHANGING: return "the file changed while it was read, each time";
    default: return SystemErrorText(error);
    }
}

const char* FileStepName(FileStep step) noexcept {
    switch (step) {
    case FileStep::Read: return "read";
    case FileStep::Write: return "write";
    case FileStep::Sync: return "sync";
    case FileStep::Rename: return "rename";
    case FileStep::Restore: return "restore";
    case FileStep::None: break;
    }
    return "";
}

}  // namespace platform
