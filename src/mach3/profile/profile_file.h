// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#pragma once

#include <string>

#include "platform/file_io.h"
#include "platform/xml_document.h"

// "at the <step> of <path>", which ends a failed save's reason.
std::string AtStep(platform::FileStep step, const std::string& path);

// Tries of a save: the first, and three more when the file changed under it.
inline constexpr int kSaveTries = 4;

// The file as a save's splice read it.
struct ProfileRead {
    std::string bytes;
    platform::FileIdentity identity;
};

// Writes `bytes` as the file `path` names (links followed), unless they are the bytes read. 0;
// FILEIO_CHANGED when the file is no longer the one read (nothing was written); or the reason the
// file was left as it was, with `why` saying more where there is more to say. `encoding` is the
// file's, in which a shorter text written in place is padded with blanks.
int ReplaceProfileFile(const std::string& path, const ProfileRead& read, const std::string& bytes,
                       platform::XmlEncoding encoding, std::string& why);

// Puts `bytes` in the place of the file `path` names as a save of the store does (a new file renamed
// over it keeping its owner, mode and ACL, or in place under a journal; a read-only file refused;
// read again while another program changes it), creating it when there is none. 0, or the reason.
int SaveWholeProfile(const std::string& path, const std::string& bytes, std::string& why);

// Keeps our other savers off the file `path` finally names while this one reads, splices and writes.
int LockProfile(const std::string& path, void** lock);

// At a load, with the file as the load read it: a journal of this user's own decides by the file's
// bytes. Those a write in place cut short left are put back to the old text; the old or the new text
// whole lets the journal go; any other content sets the journal aside (".stale"), never used. A
// journal that is not ours is never used nor removed: named in `ignored` beside a well-formed
// profile, in the text for the user beside a torn one. The text for the user, or empty.
std::string RepairFromJournal(const std::string& path, const ProfileRead& read, bool wellFormed, std::string& ignored);
