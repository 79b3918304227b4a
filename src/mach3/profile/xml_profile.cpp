// The profile store: the host's XML profile read by section and key; a save rewrites only the edited sections.
#include "mach3/profile/xml_profile.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "mach3/log.h"
#include "mach3/settings.h"
#include "mach3/profile/profile_file.h"
#include "platform/file_io.h"

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsBlankBytes(const std::string& bytes) { return bytes.find_first_not_of(" \t\r\n") == std::string::npos; }

// What a file that is missing or holds nothing starts as.
const char kNewProfile[] = "<profile/>";

}  // namespace

int32_t LeadingInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    if (negative) return static_cast<int32_t>(-magnitude);
    return static_cast<int32_t>(magnitude < kLimit ? magnitude : kLimit - 1);
}

// Only the plug-in's own section is mapped at first: the keys of a large profile's other sections
// are checked by the parse but never held.
CXmlProfile::CXmlProfile(std::string path) : mapped_{kProfileSection}, path_(std::move(path)) { Load(); }

CXmlProfile::~CXmlProfile() {
    std::string reason;
    Save(reason);
}

// A file that cannot be read or parsed reads as an empty profile; the save finds it again as it is then.
// One that an interrupted save left torn is first put back from its journal.
void CXmlProfile::Load() noexcept {
    try {
        ProfileRead read;
        int error = path_.empty() ? 0
                                  : platform::fileIo().readIdentified(path_.c_str(), platform::kMaxXmlFileBytes, read.bytes,
                                                                      read.identity);
        bytes_ = read.bytes;
        existed_ = !path_.empty() && !platform::IsMissingFile(error);
        int mapped = error != 0 || IsBlankBytes(bytes_) ? -1 : platform::MapXml(bytes_, &mapped_, loaded_);
        if (existed_ && error == 0) {
            std::string ignored;
            const std::string repair = RepairFromJournal(path_, read, mapped != platform::FILEIO_NOT_WELL_FORMED, ignored);
            if (!ignored.empty()) LogLater(LOG_WARNING, ignored);
            if (!repair.empty()) {
                ReportLater(LOG_WARNING, repair);
                error = platform::fileIo().read(path_.c_str(), platform::kMaxXmlFileBytes, bytes_);
                mapped = error != 0 || IsBlankBytes(bytes_) ? -1 : platform::MapXml(bytes_, &mapped_, loaded_);
                tornReported_ = mapped == platform::FILEIO_NOT_WELL_FORMED;
            }
        }
        if (mapped != 0) {
            bytes_ = kNewProfile;
            platform::MapXml(bytes_, &mapped_, loaded_);
        }
    } catch (...) {
        bytes_.clear();
        loaded_ = platform::XmlMap{};
    }
}

bool CXmlProfile::Mapped(const std::string& section) const {
    return std::find(mapped_.begin(), mapped_.end(), section) != mapped_.end();
}

// The file as loaded, seen through this store's edits: the last edit of a key decides.
const std::string* CXmlProfile::FindText(const std::string& section, const std::string& key) {
    for (auto edit = edits_.rbegin(); edit != edits_.rend(); ++edit) {
        if (edit->section == section && edit->key == key) return &edit->value;
    }
    // Another section's keys are mapped when first asked for; the bytes as loaded mapped once already.
    if (!Mapped(section)) {
        try {
            std::vector<std::string> sections = mapped_;
            sections.push_back(section);
            platform::XmlMap map;
            if (platform::MapXml(bytes_, &sections, map) == 0) {
                loaded_ = std::move(map);
                mapped_ = std::move(sections);
            }
        } catch (...) {  // read as missing, as a file that cannot be mapped is
        }
    }
    for (const platform::XmlElementBytes& s : loaded_.root.children) {
        if (s.name != section) continue;
        for (const platform::XmlElementBytes& k : s.children) {
            if (k.name == key) return &k.text;
        }
        return nullptr;
    }
    return nullptr;
}

// The key's text; an empty key reads as missing and stays in the file as it is.
std::string CXmlProfile::ReadText(const std::string& section, const std::string& key, bool& found) {
    const std::string* text = FindText(section, key);
    found = text != nullptr && !text->empty();
    return found ? *text : std::string();
}

int32_t CXmlProfile::ReadInt(const std::string& section, const std::string& key, int32_t defaultValue) {
    bool found = false;
    const std::string text = ReadText(section, key, found);
    return found ? LeadingInt(text) : defaultValue;
}

std::string CXmlProfile::ReadString(const std::string& section, const std::string& key, std::string defaultValue) {
    bool found = false;
    std::string text = ReadText(section, key, found);
    return found ? text : defaultValue;
}

bool CXmlProfile::WriteInt(const std::string& section, const std::string& key, int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

bool CXmlProfile::WriteString(const std::string& section, const std::string& key, std::string value) {
    try {
        edits_.push_back({section, key, std::move(value)});
        written_ = true;
    } catch (...) {
    }
    return true;
}

bool CXmlProfile::Save(std::string& reason) noexcept {
    if (saved_) return true;
    saved_ = true;
    if (path_.empty() || (tornReported_ && edits_.empty())) return true;
    try {
        std::string why;
        const int error = Write(why);
        if (error == 0) return true;
        reason = error == platform::FILEIO_CHANGED && why.empty()
                     ? "another program is writing the profile: it changed during each of " + std::to_string(kSaveTries) + " tries"
                     : platform::FileErrorText(error);
        if (!why.empty()) reason += " (" + why + ")";
    } catch (...) {
        reason = platform::FileErrorText(platform::FILEIO_OUT_OF_MEMORY);
    }
    return false;
}

// The file is read again: what another program changed since the load is kept. A file that changes
// between that read and its replacement is read and spliced again. Our other savers wait on a lock
// from the first read that has something to write until the file is written.
int CXmlProfile::Write(std::string& why) {
    void* lock = nullptr;
    bool locked = false;
    int error = platform::FILEIO_CHANGED;
    for (int attempt = 0; attempt < kSaveTries && error == platform::FILEIO_CHANGED; ++attempt) {
        ProfileRead read;
        error = platform::fileIo().readIdentified(path_.c_str(), platform::kMaxXmlFileBytes, read.bytes, read.identity);
        if (error != 0 && (existed_ || !platform::IsMissingFile(error))) {
            why = AtStep(platform::FileStep::Read, path_);
            break;
        }
        error = 0;
        // Made since the load by another program: these settings were never read from it.
        if (!existed_ && read.identity.exists && !edits_.empty()) {
            error = platform::FILEIO_CHANGED;
            why = "it did not exist when the settings were read";
            break;
        }
        const std::string bytes = IsBlankBytes(read.bytes) ? std::string(kNewProfile) : read.bytes;
        // Bytes as loaded were checked and mapped then, with the edited sections' keys if they were
        // read; others are mapped now.
        std::vector<std::string> sections;
        for (const ProfileEdit& edit : edits_) {
            if (std::find(sections.begin(), sections.end(), edit.section) == sections.end()) sections.push_back(edit.section);
        }
        const platform::XmlMap* map = &loaded_;
        platform::XmlMap current;
        if (bytes != bytes_ || !std::all_of(sections.begin(), sections.end(), [this](const std::string& s) { return Mapped(s); })) {
            if ((error = platform::MapXml(bytes, &sections, current)) != 0) break;
            map = &current;
        }
        std::string spliced;
        if ((error = SpliceProfile(bytes, *map, edits_, spliced)) != 0) break;
        // Nothing to change: nothing is opened for writing, nothing created, nothing cleaned up.
        if (spliced == bytes) break;
        // Past the limit, the next load would refuse the file: it stays as it was.
        if (spliced.size() > platform::kMaxXmlFileBytes) {
            error = platform::FILEIO_WOULD_BE_TOO_LARGE;
            break;
        }
        if (!locked) {
            locked = true;
            if ((error = LockProfile(path_, &lock)) != 0) break;
            error = platform::FILEIO_CHANGED;  // read again under the lock, as a try of its own
            --attempt;
            continue;
        }
        why.clear();
        error = ReplaceProfileFile(path_, read, spliced, map->encoding, why);
    }
    platform::fileIo().unlock(lock);
    return error;
}
