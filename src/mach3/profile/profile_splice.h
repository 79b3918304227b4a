// The store's changes put into the profile's own bytes: only the edited sections are written anew.
#pragma once

#include <string>
#include <vector>

#include "platform/xml_document.h"

// One change the store made: a key written.
struct ProfileEdit {
    std::string section;
    std::string key;
    std::string value;
};

// The file's bytes with the edits applied, in order, to its sections as `map` found them. Every byte
// outside the edited sections stays; new text is in the file's encoding and indented like its
// neighbours. 0, or the reason the edits cannot be written into this file.
int SpliceProfile(const std::string& bytes, const platform::XmlMap& map, const std::vector<ProfileEdit>& edits,
                  std::string& out);
