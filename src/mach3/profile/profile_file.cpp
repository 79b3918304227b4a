// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#include "mach3/profile/profile_file.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include "mach3/log.h"
#include "platform/xml_document.h"

namespace {

using platform::FileIdentity;

// Every journal's first bytes, then its version; a journal of another version is not used.
constexpr char kJournalHeader[] = "TRELVO-40 profile journal ";
constexpr char kJournalVersion[] = "2\n";
constexpr char kJournalSuffix[] = ".trelvo-journal";
// Room kept in a journal's name for the suffix that sets it aside: ".stale" or ".<digit>.stale".
constexpr char kStaleSuffix[] = ".stale";
constexpr size_t kStaleRoom = 2 + sizeof kStaleSuffix - 1;

#if defined(_WIN32)
constexpr char kSeparator = '\\';
constexpr char kSeparators[] = "\\/";
#else
constexpr char kSeparator = '/';
constexpr char kSeparators[] = "/";
#endif

std::string FolderOf(const std::string& path) {
    const size_t at = path.find_last_of(kSeparators);
    return at == std::string::npos ? "." : path.substr(0, at == 0 ? 1 : at);
}

std::string JournalBeside(const std::string& target) {
    return FolderOf(target) + kSeparator + "." + platform::FitName(target, 1 + sizeof kJournalSuffix - 1 + kStaleRoom) +
           kJournalSuffix;
}

// In this user's own journal folder, named after the target's path: no one else writes there. Empty
// when there is none, with `error` saying why and `folder` naming the folder at fault.
std::string JournalOfUser(const std::string& target, bool create, int* error = nullptr, std::string* atFault = nullptr) {
    std::string folder;
    const int failed = platform::fileIo().journalFolder(folder, create);
    if (error != nullptr) *error = failed;
    if (atFault != nullptr && failed != 0) *atFault = folder;
    return failed != 0 || folder.empty() ? std::string() : folder + kSeparator + ".trelvo-journal-" + platform::HashText(target);
}

std::string JournalHead(const std::string& target) { return kJournalHeader + std::string(kJournalVersion) + target + "\n"; }

// The old text and the new one as the write puts it down, with their lengths and checksums; the
// file's identity at the save only tells the user which file it was, since the write changes it.
std::string JournalText(const std::string& target, const FileIdentity& id, const std::string& old, const std::string& fresh) {
    return JournalHead(target) + std::to_string(id.device) + " " + std::to_string(id.index) + " " + std::to_string(id.size) + "\n" +
           std::to_string(old.size()) + " " + platform::HashText(old) + " " + std::to_string(fresh.size()) + " " +
           platform::HashText(fresh) + "\n" + old + fresh;
}

enum class Journal { Foreign, Damaged, Whole };

struct JournalTexts {
    std::string old, fresh;
    std::string identity;  // "device inode size" of the file at the save
};

// Whole: a journal of ours for this path, both texts right. Damaged: ours for this path, but cut or
// changed. Foreign: anything else, whatever its name.
Journal ParseJournal(const std::string& text, const std::string& target, JournalTexts& texts) {
    const std::string head = JournalHead(target);
    if (text.compare(0, head.size(), head) != 0) return Journal::Foreign;
    const size_t line = text.find('\n', head.size());
    const size_t sizes = line == std::string::npos ? line : text.find('\n', line + 1);
    if (sizes == std::string::npos) return Journal::Damaged;
    texts.identity = text.substr(head.size(), line - head.size());
    unsigned long long oldSize = 0, freshSize = 0;
    char oldSum[17] = {}, freshSum[17] = {};
    if (std::sscanf(text.c_str() + line + 1, "%llu %16[0-9a-f] %llu %16[0-9a-f]", &oldSize, oldSum, &freshSize, freshSum) != 4 ||
        text.size() - sizes - 1 != oldSize + freshSize) {
        return Journal::Damaged;
    }
    texts.old = text.substr(sizes + 1, oldSize);
    texts.fresh = text.substr(sizes + 1 + oldSize);
    return platform::HashText(texts.old) == oldSum && platform::HashText(texts.fresh) == freshSum ? Journal::Whole : Journal::Damaged;
}

// What a write of `fresh` from the first byte over `old` (never longer) leaves when it is cut short
// anywhere, or done, or never begun: a start of `fresh` over the rest of `old`.
bool LeftByTheWrite(const std::string& now, const std::string& old, const std::string& fresh) {
    if (now.size() < old.size() || now.size() > fresh.size()) return false;
    size_t same = 0;
    while (same < now.size() && now[same] == fresh[same]) ++same;
    return now.size() > old.size() ? same == now.size() : now.compare(same, std::string::npos, old, same, std::string::npos) == 0;
}

// Beside the profile only when the profile is the saver's own and its folder takes new files, and
// no file has that name: a journal is a full copy of the profile, and never lies where another user
// could plant one. Else in the user's own folder.
struct JournalJob {
    std::string target;
    bool beside = false;
    std::string text;
    std::string path;
    FileIdentity created;
    bool written = false;
    std::string atFault;  // the folder that kept the journal out of the user's own folder
};

int WriteJournal(void* context) {
    auto* job = static_cast<JournalJob*>(context);
    auto& io = platform::fileIo();
    int error = platform::FILEIO_NAME_TAKEN;
    if (job->beside) {
        job->path = JournalBeside(job->target);
        error = io.writePrivate(job->path.c_str(), job->text.data(), job->text.size(), job->created);
    }
    if (error == platform::FILEIO_NAME_TAKEN) {
        int unplaced = 0;
        job->path = JournalOfUser(job->target, true, &unplaced, &job->atFault);
        error = job->path.empty() ? (unplaced != 0 ? unplaced : ENOENT)
                                  : io.writePrivate(job->path.c_str(), job->text.data(), job->text.size(), job->created);
    }
    job->written = error == 0;
    return error;
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
    while (padded.size() < read.identity.size) padded += blank;
    JournalJob journal;
    journal.target = target;
    journal.beside = facts.folderWritable && facts.mine;
    journal.text = JournalText(target, read.identity, read.bytes, padded);
    platform::InPlaceWrite job;
    job.bytes = &padded;
    job.old = &read.bytes;
    job.expected = read.identity;
    job.journal = WriteJournal;
    job.context = &journal;
    const int error = io.rewrite(target.c_str(), job);
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
            why += ", but no journal of the old text could be kept in this user's own folder" +
                   (journal.atFault.empty() ? "" : " (" + journal.atFault + ")");
        } else if (!journal.written) {
            why += ", but no journal of the old text could be kept in " + journal.path;
        }
    }
    // The journal goes once the file is whole: the new text, the old one put back, or never touched.
    if (journal.written && (error == 0 || job.restored || !job.touched)) io.remove(journal.path.c_str(), journal.created);
    if (error == 0) {
        myLog(LOG_WARNING, "TRELVO-40/41 settings saved to " + path + " in place, not atomically: " + cause);
    }
    return error;
}

// Copies of older profiles and journals that interrupted saves left, of no use once a save has worked.
void RemoveLeftovers(const std::string& path, const std::string& target) {
    auto& io = platform::fileIo();
    bool kept = io.removeLeftovers(target.c_str(), std::string()) != 0;
    kept = io.removeLeftovers(JournalBeside(target).c_str(), kJournalHeader) != 0 || kept;
    const std::string own = JournalOfUser(target, false);
    if (!own.empty()) kept = io.removeLeftovers(own.c_str(), kJournalHeader) != 0 || kept;
    if (kept) myLog(LOG_WARNING, "TRELVO-40/41 temporary files of earlier saves beside " + path + " could not be removed");
}

// The new copy, flushed; then the last look at the file before the rename: still the file the splice
// read, holding the very bytes read.
int ReplaceByRename(const ProfileRead& read, const std::string& bytes, const std::string& target,
                    const platform::FileFacts& facts, std::string& why) {
    auto& io = platform::fileIo();
    std::string temp;
    FileIdentity created;
    void* file = nullptr;
    platform::FileStep step = platform::FileStep::Write;
    int error = io.createTemp(target.c_str(), temp, created, &file);
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
        io.remove(temp.c_str(), created);
        if (error != platform::FILEIO_CHANGED && error != platform::FILEIO_NOT_KEPT) why = AtStep(step, target);
    }
    return error;
}

// A journal that does not fit the file as it is: renamed beside itself, never over another file, and
// left for the user to remove. The new name, or empty.
std::string SetAside(const std::string& journal) {
    std::string aside = journal + kStaleSuffix;
    for (char n = '1'; n <= '9' + 1; ++n) {
        const int error = platform::fileIo().renameFree(journal.c_str(), aside.c_str());
        if (error == 0) return aside;
        if (error != platform::FILEIO_NAME_TAKEN || n > '9') break;
        aside = journal + "." + n + kStaleSuffix;
    }
    return {};
}

}  // namespace

// The new profile is written beside the final target of the path and renamed over it, so the
// host's file is either the old one or the new one, never a part of either, and keeps its symbolic
// links, owner, group, permissions, attributes and ACL. A file this process may not write, or that
// the user marked read-only, is never replaced; one that is no longer the file read, neither.
int ReplaceProfileFile(const std::string& path, const ProfileRead& read, const std::string& bytes,
                       platform::XmlEncoding encoding, std::string& why) {
    auto& io = platform::fileIo();
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
        if (read.identity.exists && bytes == read.bytes) break;
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
        if (journal.empty()) continue;
        std::string text;
        FileIdentity identity;
        const int error = io.readPrivate(journal.c_str(), platform::kMaxXmlFileBytes * 2 + 4096, text, identity);
        // A journal that cannot even be opened (a name too long, a folder shut) is no journal.
        if (error != 0 && error != platform::FILEIO_NOT_OURS) continue;
        JournalTexts texts;
        const Journal kind = error != 0 ? Journal::Foreign : ParseJournal(text, target, texts);
        if (kind == Journal::Foreign) {
            // Another user's interrupted save, or a file that only has a journal's name: never used.
            const std::string reason = error != 0 ? platform::FileErrorText(error) : "it is not a journal of this profile";
            if (wellFormed) {
                Join(ignored, "TRELVO-40/41 ignored " + journal + ": " + reason);
            } else {
                Join(report, "TRELVO-40/41 profile " + path + " is cut short, and " + journal + " was not used to put it back: " + reason);
            }
            continue;
        }
        // Only the bytes a write between these two texts can leave are put back; whatever the file's
        // inode, any other content is not the file the journal was written for.
        if (kind == Journal::Whole && LeftByTheWrite(read.bytes, texts.old, texts.fresh)) {
            const bool torn = read.bytes != texts.old && read.bytes != texts.fresh;
            if (torn) {
                if (const int failed = io.restore(target.c_str(), texts.old, read.identity, read.bytes)) {
                    Join(report, "TRELVO-40/41 profile " + path + " was left cut short by an interrupted save and could not be put back from " +
                                     journal + ": " + platform::FileErrorText(failed) + " (" +
                                     AtStep(platform::FileStep::Restore, target) + ")");
                    continue;
                }
            }
            io.remove(journal.c_str(), identity);  // ours, of a save that ended or is now undone
            if (!torn) continue;
            Join(report, "TRELVO-40/41 profile " + path + " was left cut short by an interrupted save; put back as it was before it, from " +
                             journal + " (restart Mach3 if it could not read its profile)");
            break;
        }
        const std::string aside = SetAside(journal);
        Join(report, "TRELVO-40/41 profile " + path + " is not the file " + journal + " was written for (device, inode, size " +
                         (texts.identity.empty() ? std::string("unknown") : texts.identity) + "): the journal was not used, " +
                         (aside.empty() ? std::string("and could not be set aside") : "and is set aside as " + aside) +
                         "; remove it once the profile is as it should be");
    }
    return report;
}

std::string AtStep(platform::FileStep step, const std::string& path) {
    return "at the " + std::string(platform::FileStepName(step)) + " of " + path;
}
