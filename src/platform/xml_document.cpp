// Loading and saving a document straight from and to a file, for the tools that set up profiles.
#include "platform/xml_document.h"

#include <cctype>
#include <fstream>

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

XmlEncoding EncodingOf(const std::string& bytes, const std::string& declared) {
    auto starts = [&](const char* prefix, size_t n) { return bytes.size() >= n && bytes.compare(0, n, prefix, n) == 0; };
    if (starts("\xFF\xFE", 2) || starts("<\0", 2)) return XmlEncoding::Utf16Le;
    if (starts("\xFE\xFF", 2) || starts("\0<", 2)) return XmlEncoding::Utf16Be;
    std::string name;
    for (char c : declared) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name.empty() || name == "UTF-8" || name == "UTF8" ? XmlEncoding::Utf8 : XmlEncoding::SingleByte;
}

}  // namespace platform
