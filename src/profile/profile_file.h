// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#pragma once

#include <string>

#include "platform/file_io.h"

// The file as a save's splice read it.
struct ProfileRead {
    std::string bytes;
    platform::FileIdentity identity;
};

// Writes `bytes` as the file `path` names (links followed), unless they are the bytes read. 0;
// FILEIO_CHANGED when the file is no longer the one read (nothing was written); or the reason the
// file was left as it was, with `why` saying more where there is more to say. `blank` is one space
// in the file's encoding, to pad a shorter text written in place.
int ReplaceProfileFile(const std::string& path, const ProfileRead& read, const std::string& bytes,
                       const std::string& blank, std::string& why);

// At a load: a profile that an interrupted in-place save left torn is put back from its journal;
// a journal beside a well-formed profile goes. The text of a repair for the user, or empty.
std::string RepairFromJournal(const std::string& path, bool wellFormed);
