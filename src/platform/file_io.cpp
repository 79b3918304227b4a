// The texts of the file layer's own failure reasons; system errors keep the system's words.
#include "platform/file_io.h"

namespace platform {

namespace {
constexpr char kTempMark[] = ".trelvo-save-";
constexpr char kTempSuffix[] = ".tmp";
constexpr size_t kMaxName = 255;  // NAME_MAX; on Windows, UTF-16 units, never fewer than these bytes

#if defined(_WIN32)
constexpr char kSeparators[] = "\\/";
constexpr size_t kMaxPath = 259;  // MAX_PATH less its NUL
#else
constexpr char kSeparators[] = "/";
constexpr size_t kMaxPath = static_cast<size_t>(-1);
#endif

// The part of the copy's name before its letters.
std::string TempPrefix(const std::string& target) {
    std::string prefix = ".";  // appended piece by piece: GCC 12 misreads the chained + (-Wrestrict)
    prefix += FitName(target, 1 + sizeof kTempMark - 1 + kSaveTempLetters + sizeof kTempSuffix - 1);
    return prefix += kTempMark;
}
}  // namespace

std::string HashText(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int shift = 60; shift >= 0; shift -= 4) text += kHex[(hash >> shift) & 15];
    return text;
}

std::string FitName(const std::string& target, size_t extra) {
    const size_t slash = target.find_last_of(kSeparators);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const size_t folder = slash == std::string::npos ? 0 : slash + 1;
    const size_t path = folder < kMaxPath ? kMaxPath - folder : 0;
    const size_t room = path < kMaxName ? path : kMaxName;
    if (name.size() + extra <= room) return name;
    std::string tail = "~";  // and a hash of the whole path: one name per file
    tail += HashText(target);
    size_t keep = room > extra + tail.size() ? room - extra - tail.size() : 0;
    // Never half a UTF-8 character.
    while (keep > 0 && keep < name.size() && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
    return name.substr(0, keep < name.size() ? keep : name.size()) + tail;
}

std::string SaveTempName(const std::string& target, const unsigned char (&random)[kSaveTempLetters]) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string temp = TempPrefix(target);
    for (const unsigned char r : random) temp += kLetters[r % 52];
    return temp + kTempSuffix;
}

bool IsSaveTempName(const std::string& target, const std::string& candidate) {
    const std::string prefix = TempPrefix(target);
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
    case FILEIO_NOT_A_LOG: return "the file is not the plug-in's debug log, and is left as it is";
    case FILEIO_FOREIGN_LINK: return "a link another user may have planted, not followed";
    case FILEIO_CHANGED: return "another program changed the file meanwhile";
    case FILEIO_NOT_KEPT: return "a new file could not have the old one's owner, group, mode or ACL";
    case FILEIO_REPLACE_REFUSED: return "the replacement of the file was refused";
    case FILEIO_WOULD_BE_TOO_LARGE: return "the saved profile would be larger than the 64 MiB the plug-in reads";
    case FILEIO_NOT_OURS: return "the file belongs to another user or others may write it";
    case FILEIO_DANGLING_LINK: return "the path is a symbolic link to a file that does not exist";
    case FILEIO_BUSY: return "another save of ours (a plug-in or trelvo-sim) holds the profile's lock";
    case FILEIO_NAME_TAKEN: return "a file that is not the save's own has that name";
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
