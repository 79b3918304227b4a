// Putting new profile bytes in the place of the host's file, keeping what the file system holds of it.
#pragma once

#include <string>

// Writes `bytes` as the file `path` names (links followed); 0, or the reason the file was left as it was.
int ReplaceProfileFile(const std::string& path, const std::string& bytes);
