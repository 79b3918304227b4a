// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#include "mach3/profile/profile_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "mach3/log.h"
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

std::string JournalBeside(const std::string& target) {
    return FolderOf(target) + kSeparator + "." + NameOf(target) + ".trelvo-journal";
}

// In this user's own journal folder, named after the target's path: no one else writes there.
std::string JournalOfUser(const std::string& target, bool create, int* error = nullptr) {
    std::string folder;
    const int failed = platform::fileIo().journalFolder(folder, create);
    if (error != nullptr) *error = failed;
    return failed != 0 || folder.empty() ? std::string() : folder + kSeparator + ".trelvo-journal-" + Hex(Checksum(target));
}

// Beside the profile only when the profile is the saver's own and its folder takes new files: a
// journal is a full copy of the profile, and never lies where another user could plant one.
std::string JournalPlace(const std::string& target, const platform::FileFacts& facts, int& error) {
    error = 0;
    return facts.folderWritable && facts.mine ? JournalBeside(target) : JournalOfUser(target, true, &error);
}

// The old bytes with what makes a torn or foreign journal unusable: the file they belong to, their
// length and checksum.
std::string JournalHead(const std::string& target, const FileIdentity& id) {
    return kJournalMagic + target + "\n" + std::to_string(id.device) + " " + std::to_string(id.index) + "\n";
}

std::string JournalText(const std::string& target, const FileIdentity& id, const std::string& old) {
    return JournalHead(target, id) + std::to_string(old.size()) + " " + Hex(Checksum(old)) + "\n" + old;
}

enum class Journal { Foreign, Stale, Usable };

// Usable: a whole journal for this very file, with the old bytes. Stale: ours for this path, but for
// another file there or damaged. Foreign: anything else, whatever its name.
Journal ParseJournal(const std::string& text, const std::string& target, const FileIdentity& id, std::string& old) {
    const std::string ours = kJournalMagic + target + "\n";
    if (text.compare(0, ours.size(), ours) != 0) return Journal::Foreign;
    const std::string head = JournalHead(target, id);
    if (text.compare(0, head.size(), head) != 0) return Journal::Stale;
    const size_t line = text.find('\n', head.size());
    if (line == std::string::npos) return Journal::Stale;
    unsigned long long length = 0;
    char sum[17] = {};
    if (std::sscanf(text.c_str() + head.size(), "%llu %16[0-9a-f]", &length, sum) != 2) return Journal::Stale;
    if (text.size() - line - 1 != length) return Journal::Stale;
    old = text.substr(line + 1);
    return Hex(Checksum(old)) == sum ? Journal::Usable : Journal::Stale;
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

// What a failed save's log line says of where it failed.
std::string AtStep(platform::FileStep step, const std::string& target) {
    return "at the " + std::string(platform::FileStepName(step)) + " of " + target;
}

void Join(std::string& why, const std::string& more) {
    if (!more.empty()) why += (why.empty() ? "" : "; ") + more;
}

// The one save that keeps hard links, a folder we may not write and an owner a new file cannot
// have: the file itself is written, under a journal of its old bytes that the next load uses if the
// write was cut short. A shorter text is padded with blanks after the root, so the file never ends early.
int WriteInPlace(const std::string& path, const std::string& target, const platform::FileFacts& facts,
                 const ProfileRead& read, const std::string& bytes, platform::XmlEncoding encoding, const char* cause,
                 std::string& why) {
    auto& io = platform::fileIo();
    const std::string blank = encoding == platform::XmlEncoding::Utf16Le   ? std::string(" \0", 2)
                              : encoding == platform::XmlEncoding::Utf16Be ? std::string("\0 ", 2)
                                                                           : std::string(" ");
    std::string padded = bytes;
    while (padded.size() < read.identity.size && !blank.empty()) padded += blank;
    JournalJob journal;
    int unplaced = 0;
    journal.path = JournalPlace(target, facts, unplaced);
    journal.text = JournalText(target, read.identity, read.bytes);
    platform::InPlaceWrite job;
    job.bytes = &padded;
    job.old = &read.bytes;
    job.expected = read.identity;
    job.journal = WriteJournal;
    job.context = &journal;
    if (journal.path.empty()) job.step = platform::FileStep::Write;
    const int error = journal.path.empty() ? (unplaced != 0 ? unplaced : ENOENT) : io.rewrite(target.c_str(), job);
    if (error != 0 && error != platform::FILEIO_CHANGED) {
        why.clear();
        if (job.touched && !job.restored) {
            Join(why, AtStep(job.step, target) + ", and the old text could not be put back" +
                          (journal.written ? " (the journal " + journal.path + " keeps it)" : ""));
        } else {
            Join(why, AtStep(job.step, target) + (job.restored ? ", the old text put back" : ""));
        }
        Join(why, std::string("written in place because ") + cause);
        if (!journal.written && journal.path.empty()) {
            std::string folder;  // the folder at fault
            io.journalFolder(folder, true);  // nothing is made below the folder at fault
            why += ", but no journal of the old text could be kept in this user's own folder" + (folder.empty() ? "" : " (" + folder + ")");
        } else if (!journal.written) {
            why += ", but no journal of the old text could be kept in " + journal.path;
        }
    }
    // The journal goes once the file is whole: the new text, the old one put back, or never touched.
    if (journal.written && (error == 0 || job.restored || !job.touched)) io.remove(journal.path.c_str());
    if (error == 0) {
        myLog(LOG_WARNING, "TRELVO-40/41 settings saved to " + path + " in place, not atomically: " + cause);
    }
    return error;
}

// Copies of older profiles and journals that interrupted saves left, of no use once a save has worked.
void RemoveLeftovers(const std::string& path, const std::string& target) {
    auto& io = platform::fileIo();
    bool kept = io.removeLeftovers(target.c_str(), std::string()) != 0;
    kept = io.removeLeftovers(JournalBeside(target).c_str(), kJournalMagic) != 0 || kept;
    const std::string own = JournalOfUser(target, false);
    if (!own.empty()) kept = io.removeLeftovers(own.c_str(), kJournalMagic) != 0 || kept;
    if (kept) myLog(LOG_WARNING, "TRELVO-40/41 temporary files of earlier saves beside " + path + " could not be removed");
}

// The new copy, flushed; then the last look at the file before the rename: still the file the splice
// read, holding the very bytes read.
int ReplaceByRename(const ProfileRead& read, const std::string& bytes, const std::string& target,
                    const platform::FileFacts& facts, std::string& why) {
    auto& io = platform::fileIo();
    std::string temp;
    void* file = nullptr;
    platform::FileStep step = platform::FileStep::Write;
    int error = io.createTemp(target.c_str(), temp, &file);
    if (error != 0) {
        why = AtStep(step, target);
        return error;
    }
    const bool whole = io.write(file, bytes.data(), bytes.size()) == bytes.size();
    error = io.commit(file, facts);
    if (!whole) {
        if (error == 0) error = platform::FILEIO_SHORT_WRITE;
    } else if (error != 0) {
        step = platform::FileStep::Sync;
    }
    if (error == 0) {
        step = platform::FileStep::Read;
        if (read.identity.exists) {
            error = io.verify(target.c_str(), read.identity, read.bytes);
        } else {
            FileIdentity now;
            if ((error = io.identify(target.c_str(), now)) == 0 && now.exists) error = platform::FILEIO_CHANGED;
        }
    }
    if (error == 0) {
        step = platform::FileStep::Rename;
        error = io.replace(temp.c_str(), target.c_str());
    }
    if (error != 0) {
        io.remove(temp.c_str());
        if (error != platform::FILEIO_CHANGED && error != platform::FILEIO_NOT_KEPT) why = AtStep(step, target);
    }
    return error;
}

}  // namespace

// The new profile is written beside the final target of the path and renamed over it, so the
// host's file is either the old one or the new one, never a part of either, and keeps its symbolic
// links, owner, group, permissions, attributes and ACL. A file this process may not write, or that
// the user marked read-only, is never replaced; one that is no longer the file read, neither.
int ReplaceProfileFile(const std::string& path, const ProfileRead& read, const std::string& bytes,
                       platform::XmlEncoding encoding, std::string& why) {
    auto& io = platform::fileIo();
    if (read.identity.exists && bytes == read.bytes) return 0;
    std::string target;
    platform::FileFacts facts;
    if (int error = io.resolve(path.c_str(), target)) return error;
    if (int error = io.inspect(target.c_str(), facts)) return error;
    // A link to nothing is never followed to make a file there.
    if (!facts.exists && target != path) return platform::FILEIO_DANGLING_LINK;
    if (facts.exists && !read.identity.exists) return platform::FILEIO_CHANGED;
    if (facts.readOnly) return platform::FILEIO_READ_ONLY;
    const char* cause = facts.links > 1          ? "the file has more than one hard link"
                        : !facts.folderWritable   ? "its folder is not writable"
                        : !facts.ownerKeepable    ? "a new file could not have its owner"
                                                  : nullptr;
    int error = 0;
    if (facts.exists && cause != nullptr) {
        error = WriteInPlace(path, target, facts, read, bytes, encoding, cause, why);
    } else {
        error = ReplaceByRename(read, bytes, target, facts, why);
        // A new file that could not be made like the old one, or a rename the folder refuses (a
        // sticky folder and another's file): the file itself is written instead.
        const bool refused = error == platform::FILEIO_NOT_KEPT || (facts.exists && error == platform::FILEIO_REPLACE_REFUSED);
        if (refused) {
            why.clear();
            error = WriteInPlace(path, target, facts, read, bytes, encoding,
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
    if (error == 0) RemoveLeftovers(path, target);
    return error;
}

int SaveWholeProfile(const std::string& path, const std::string& bytes, std::string& why) {
    auto& io = platform::fileIo();
    platform::XmlMap map;
    const std::vector<std::string> noSections;
    const bool mapped = platform::MapXml(bytes, &noSections, map) == 0;
    const platform::XmlEncoding encoding = mapped ? map.encoding : platform::XmlEncoding::Utf8;
    void* lock = nullptr;
    int error = LockProfile(path, &lock);
    if (error == 0) error = platform::FILEIO_CHANGED;
    for (int attempt = 0; attempt < kSaveTries && error == platform::FILEIO_CHANGED; ++attempt) {
        ProfileRead read;
        error = io.readIdentified(path.c_str(), platform::kMaxXmlFileBytes, read.bytes, read.identity);
        if (error != 0 && !platform::IsMissingFile(error)) {
            why = AtStep(platform::FileStep::Read, path);
            break;
        }
        why.clear();
        error = ReplaceProfileFile(path, read, bytes, encoding, why);
    }
    io.unlock(lock);
    return error;
}

// The lock only keeps our savers from crossing; the comparisons before every write keep the file
// safe without it, so a lock that cannot be had (another program's doing, or an unsafe state
// folder) is logged and the save goes on. Only a busy saver of ours stops it.
int LockProfile(const std::string& path, void** lock) {
    *lock = nullptr;
    std::string target, where;
    if (const int error = platform::fileIo().resolve(path.c_str(), target)) return error;
    const int error = platform::fileIo().lock(target.c_str(), lock, where);
    if (error == 0 || error == platform::FILEIO_BUSY) return error;
    myLog(LOG_WARNING, "TRELVO-40/41 saving " + path + " without the lock that orders our own saves: " +
                           platform::FileErrorText(error) + (where.empty() ? "" : " (" + where + ")"));
    return 0;
}

std::string RepairFromJournal(const std::string& path, const ProfileRead& read, bool wellFormed, std::string& ignored) {
    auto& io = platform::fileIo();
    std::string target;
    if (path.empty() || !read.identity.exists || io.resolve(path.c_str(), target) != 0) return {};
    std::string report;
    for (const std::string& journal : {JournalBeside(target), JournalOfUser(target, false)}) {
        std::string text, old;
        const int error = journal.empty() ? ENOENT : io.readPrivate(journal.c_str(), platform::kMaxXmlFileBytes + 4096, text);
        // A journal that cannot even be opened (a name too long, a folder shut) is no journal.
        if (error != 0 && error != platform::FILEIO_NOT_OURS) continue;
        const Journal kind = error != 0 ? Journal::Foreign : ParseJournal(text, target, read.identity, old);
        if (kind != Journal::Usable && !wellFormed) {
            // Another user's interrupted save, or a file that only has a journal's name: never used.
            Join(report, "TRELVO-40/41 profile " + path + " is cut short, and " + journal + " was not used to put it back: " +
                             (error != 0 ? platform::FileErrorText(error) : "it is not a whole journal of this profile"));
            continue;
        }
        if (kind == Journal::Foreign) {
            Join(ignored, "TRELVO-40/41 ignored " + journal + ": " +
                             (error != 0 ? platform::FileErrorText(error) : "it is not a journal of this profile"));
            continue;
        }
        if (wellFormed) {
            io.remove(journal.c_str());  // ours, of a save that ended
            continue;
        }
        if (const int failed = io.restore(target.c_str(), old, read.identity, read.bytes)) {
            Join(report, "TRELVO-40/41 profile " + path + " was left cut short by an interrupted save and could not be put back from " +
                             journal + ": " + platform::FileErrorText(failed));
            continue;
        }
        io.remove(journal.c_str());
        Join(report, "TRELVO-40/41 profile " + path + " was left cut short by an interrupted save; put back as it was before it, from " +
                         journal + " (restart Mach3 if it could not read its profile)");
        break;
    }
    return report;
}
