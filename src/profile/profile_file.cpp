// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#include "profile/profile_file.h"

#include <cinttypes>
#include <cstdio>

#include "log/log.h"
#include "platform/xml_document.h"

namespace {

using platform::FileIdentity;

constexpr char kJournalMagic[] = "TRELVO-40 profile journal 1\n";

#if defined(_WIN32)
constexpr char kSeparator = '\\';
constexpr char kSeparators[] = "\\/";
#else
constexpr char kSeparator = '/';
constexpr char kSeparators[] = "/";
#endif

size_t LastSeparator(const std::string& path) { return path.find_last_of(kSeparators); }

std::string FolderOf(const std::string& path) {
    const size_t at = LastSeparator(path);
    return at == std::string::npos ? "." : path.substr(0, at == 0 ? 1 : at);
}

std::string NameOf(const std::string& path) {
    const size_t at = LastSeparator(path);
    return at == std::string::npos ? path : path.substr(at + 1);
}

uint64_t Checksum(const std::string& bytes) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

std::string Hex(uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
}

// Where the journal of an in-place save of `target` lives: beside it when its folder takes new files,
// else in the user's temporary folder under a name made from the target's path, so a load finds it.
std::string JournalBeside(const std::string& target) {
    return FolderOf(target) + kSeparator + "." + NameOf(target) + ".trelvo-journal";
}

std::string JournalInTemp(const std::string& target) {
    std::string folder;
    if (platform::fileIo().tempFolder(folder) != 0 || folder.empty()) return {};
    if (LastSeparator(folder) != folder.size() - 1) folder += kSeparator;
    return folder + ".trelvo-journal-" + Hex(Checksum(target));
}

// The old bytes with what makes a torn or foreign journal unusable: the file they belong to, their
// length and checksum.
std::string JournalHead(const std::string& target, const FileIdentity& id) {
    return kJournalMagic + target + "\n" + std::to_string(id.device) + " " + std::to_string(id.index) + "\n";
}

std::string JournalText(const std::string& target, const FileIdentity& id, const std::string& old) {
    return JournalHead(target, id) + std::to_string(old.size()) + " " + Hex(Checksum(old)) + "\n" + old;
}

// The old bytes of a whole journal for this very file; false for anything else.
bool ParseJournal(const std::string& text, const std::string& target, const FileIdentity& id, std::string& old) {
    const std::string head = JournalHead(target, id);
    if (text.compare(0, head.size(), head) != 0) return false;
    const size_t line = text.find('\n', head.size());
    if (line == std::string::npos) return false;
    unsigned long long length = 0;
    char sum[17] = {};
    if (std::sscanf(text.c_str() + head.size(), "%llu %16[0-9a-f]", &length, sum) != 2) return false;
    if (text.size() - line - 1 != length) return false;
    old = text.substr(line + 1);
    return Hex(Checksum(old)) == sum;
}

struct JournalJob {
    std::string path;
    std::string text;
    bool written = false;
};

int WriteJournal(void* context) {
    auto* job = static_cast<JournalJob*>(context);
    const int error = platform::fileIo().writePrivate(job->path.c_str(), job->text.data(), job->text.size());
    job->written = error == 0;
    return error;
}

// The one save that keeps hard links, a folder we may not write and an owner a new file cannot
// have: the file itself is written, under a journal of its old bytes that the next load uses if the
// write was cut short. A shorter text is padded with blanks after the root, so the file never ends early.
int WriteInPlace(const std::string& path, const std::string& target, const platform::FileFacts& facts,
                 const ProfileRead& read, const std::string& bytes, const std::string& blank, const char* cause,
                 std::string& why) {
    auto& io = platform::fileIo();
    std::string padded = bytes;
    while (padded.size() < read.identity.size && !blank.empty()) padded += blank;
    JournalJob journal;
    journal.path = facts.folderWritable ? JournalBeside(target) : JournalInTemp(target);
    journal.text = JournalText(target, read.identity, read.bytes);
    int error = journal.path.empty() ? platform::FILEIO_NOT_REGULAR
                                     : io.rewrite(target.c_str(), padded.data(), padded.size(), read.identity,
                                                  WriteJournal, &journal);
    if (error != 0 && error != platform::FILEIO_CHANGED) {
        why = std::string("written in place because ") + cause;
        if (!journal.written) why += ", but no journal of the old text could be kept in " + journal.path;
    }
    if (journal.written && error != 0) {
        // Whatever reached the file goes; the journal stays until the old text is back whole.
        if (io.restore(target.c_str(), read.bytes.data(), read.bytes.size()) == 0) io.remove(journal.path.c_str());
    } else if (journal.written) {
        io.remove(journal.path.c_str());
        io.removeLeftovers(journal.path.c_str());
    }
    if (error == 0) {
        myLog(LOG_WARNING, "TRELVO-40/41 settings saved to " + path + " in place, not atomically: " + cause);
    }
    return error;
}

}  // namespace

// The new profile is written beside the final target of the path and renamed over it, so the
// host's file is either the old one or the new one, never a part of either, and keeps its symbolic
// links, owner, group, permissions, attributes and ACL. A file this process may not write, or that
// the user marked read-only, is never replaced; one that is no longer the file read, neither.
int ReplaceProfileFile(const std::string& path, const ProfileRead& read, const std::string& bytes,
                       const std::string& blank, std::string& why) {
    auto& io = platform::fileIo();
    if (read.identity.exists && bytes == read.bytes) return 0;
    std::string target;
    platform::FileFacts facts;
    if (int error = io.resolve(path.c_str(), target)) return error;
    if (int error = io.inspect(target.c_str(), facts)) return error;
    if (facts.exists && !read.identity.exists) return platform::FILEIO_CHANGED;
    if (facts.readOnly) return platform::FILEIO_READ_ONLY;
    const char* cause = facts.links > 1          ? "the file has more than one hard link"
                        : !facts.folderWritable   ? "its folder is not writable"
                        : !facts.ownerKeepable    ? "a new file could not have its owner"
                                                  : nullptr;
    int error = 0;
    if (facts.exists && cause != nullptr) {
        error = WriteInPlace(path, target, facts, read, bytes, blank, cause, why);
    } else {
        std::string temp;
        void* file = nullptr;
        if ((error = io.createTemp(target.c_str(), temp, &file))) return error;
        const bool whole = io.write(file, bytes.data(), bytes.size()) == bytes.size();
        error = io.commit(file, facts);
        if (error == 0 && !whole) error = platform::FILEIO_SHORT_WRITE;
        // Just before the rename: the file there must still be the one the splice read.
        FileIdentity now;
        if (error == 0 && (error = io.identify(target.c_str(), now)) == 0 && !(now == read.identity)) {
            error = platform::FILEIO_CHANGED;
        }
        if (error == 0) error = io.replace(temp.c_str(), target.c_str());
        if (error != 0) io.remove(temp.c_str());
        // A new file that could not be made like the old one, or a rename the folder refuses (a
        // sticky folder and another's file): the file itself is written instead.
        const bool refused = error == platform::FILEIO_NOT_KEPT || (facts.exists && error == platform::FILEIO_REPLACE_REFUSED);
        if (refused) {
            error = WriteInPlace(path, target, facts, read, bytes, blank,
                                 error == platform::FILEIO_NOT_KEPT
                                     ? "a new file could not have its owner, group, mode or ACL"
                                     : "its folder refuses the rename",
                                 why);
        } else if (error == 0) {
            if (const int unsynced = io.syncFolder(target.c_str())) {
                myLog(LOG_WARNING, "TRELVO-40/41 settings saved to " + path + ", but its folder could not be flushed to disk (" +
                                       platform::FileErrorText(unsynced) + "): a power cut may bring the old profile back");
            }
        }
    }
    // Copies of older profiles, of no use once a save has worked.
    if (error == 0 && io.removeLeftovers(target.c_str()) != 0) {
        myLog(LOG_WARNING, "TRELVO-40/41 temporary files of earlier saves beside " + path + " could not be removed");
    }
    return error;
}

std::string RepairFromJournal(const std::string& path, bool wellFormed) {
    auto& io = platform::fileIo();
    std::string target;
    FileIdentity id;
    if (path.empty() || io.resolve(path.c_str(), target) != 0 || io.identify(target.c_str(), id) != 0 || !id.exists) {
        return {};
    }
    for (const std::string& journal : {JournalBeside(target), JournalInTemp(target)}) {
        FileIdentity found;
        if (journal.empty() || io.identify(journal.c_str(), found) != 0 || !found.exists) continue;
        if (wellFormed) {
            io.remove(journal.c_str());
            continue;
        }
        std::string text, old;
        if (io.read(journal.c_str(), platform::kMaxXmlFileBytes + 4096, text) != 0 || !ParseJournal(text, target, id, old)) {
            continue;
        }
        if (const int error = io.restore(target.c_str(), old.data(), old.size())) {
            return "TRELVO-40/41 profile " + path + " was left cut short by an interrupted save and could not be put back from " +
                   journal + ": " + platform::FileErrorText(error);
        }
        io.remove(journal.c_str());
        return "TRELVO-40/41 profile " + path + " was left cut short by an interrupted save; put back as it was before it, from " +
               journal + " (restart Mach3 if it could not read its profile)";
    }
    return {};
}
