// Loading and saving a document straight from and to a file, for the tools that set up profiles;
// what both platforms' maps share.
#include "platform/xml_document.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <initializer_list>
#include <utility>

#include "platform/file_io.h"

namespace platform {

XmlLoadResult XmlDocument::Load(const std::string& path) {
    std::string bytes;
    const int error = fileIo().read(path.c_str(), kMaxXmlFileBytes, bytes);
    if (error != 0) {
        Parse(std::string());
        return IsMissingFile(error) || path.empty() ? XmlLoadResult::Missing : XmlLoadResult::Unparseable;
    }
    return Parse(bytes);
}

bool XmlDocument::Save(const std::string& path) {
    std::string bytes;
    if (!Serialize(bytes)) return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

namespace {

struct RememberedMap {
    bool on = false;
    std::string bytes;
    bool all = false;  // every section's keys mapped
    std::vector<std::string> sections;
    XmlMap map;
};

RememberedMap& remembered() {
    static RememberedMap memo;
    return memo;
}

bool Named(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

void RememberXmlMaps(bool on) {
    remembered() = RememberedMap{};
    remembered().on = on;
}

int MapXml(const std::string& bytes, const std::vector<std::string>* sections, XmlMap& map) {
    RememberedMap& memo = remembered();
    const bool covered = memo.all || (sections != nullptr && std::all_of(sections->begin(), sections->end(), [&](const std::string& s) {
                                          return Named(memo.sections, s);
                                      }));
    if (memo.on && covered && memo.bytes.size() == bytes.size() && memo.bytes == bytes) {
        map = memo.map;
        // What a map of just these sections holds: the others' keys left out.
        for (XmlElementBytes& section : map.root.children) {
            if (sections != nullptr && !Named(*sections, section.name)) section.children.clear();
        }
        return 0;
    }
    const int result = ParseXmlMap(bytes, sections, map);
    if (memo.on && result == 0) {
        memo.bytes = bytes;
        memo.all = sections == nullptr;
        memo.sections = sections != nullptr ? *sections : std::vector<std::string>();
        memo.map = map;
    }
    return result;
}

XmlEncoding EncodingOf(const std::string& bytes, const std::string& declared) {
    auto starts = [&](const char* prefix, size_t n) { return bytes.size() >= n && bytes.compare(0, n, prefix, n) == 0; };
    if (starts("\xFF\xFE", 2) || starts("<\0", 2)) return XmlEncoding::Utf16Le;
    if (starts("\xFE\xFF", 2) || starts("\0<", 2)) return XmlEncoding::Utf16Be;
    std::string name;
    for (char c : declared) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.empty() || name == "UTF-8" || name == "UTF8") return XmlEncoding::Utf8;
    return MultibyteName(declared).empty() ? XmlEncoding::SingleByte : XmlEncoding::Multibyte;
}

bool MarkAgreesWithDeclaration(const std::string& bytes, const std::string& declared) {
    auto starts = [&](const char* prefix, size_t n) { return bytes.size() >= n && bytes.compare(0, n, prefix, n) == 0; };
    std::string name;
    for (char c : declared) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.empty()) return true;
    if (starts("\xEF\xBB\xBF", 3)) return name == "UTF-8" || name == "UTF8";
    if (starts("\xFF\xFE", 2) || starts("\xFE\xFF", 2)) return name.rfind("UTF-16", 0) == 0 || name == "UNICODE";
    return true;
}

std::string MultibyteName(const std::string& declared) {
    std::string name;
    for (char c : declared) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& [alias, canonical] : std::initializer_list<std::pair<const char*, const char*>>{
             {"SHIFT_JIS", "Shift_JIS"}, {"SHIFT-JIS", "Shift_JIS"}, {"SJIS", "Shift_JIS"}, {"MS_KANJI", "Shift_JIS"},
             {"WINDOWS-31J", "Shift_JIS"}, {"CP932", "Shift_JIS"}, {"GBK", "GBK"}, {"CP936", "GBK"}, {"WINDOWS-936", "GBK"},
             {"GB2312", "GB2312"}, {"EUC-CN", "GB2312"}, {"EUC-KR", "EUC-KR"}, {"KS_C_5601-1987", "EUC-KR"},
             {"CP949", "EUC-KR"}, {"BIG5", "Big5"}, {"BIG-5", "Big5"}, {"CP950", "Big5"}}) {
        if (name == alias) return canonical;
    }
    return {};
}

// A byte that starts no valid sequence stands for itself, as in Latin-1.
std::u32string Utf8Chars(const std::string& text) {
    std::u32string chars;
    chars.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned lead = byte(i);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length != 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (byte(i + k) & 0xC0) == 0x80;
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        if (!valid) {
            chars += static_cast<char32_t>(lead);
            ++i;
            continue;
        }
        chars += c;
        i += length;
    }
    return chars;
}

}  // namespace platform
