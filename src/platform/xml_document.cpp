// Loading and saving a document straight from and to a file, for the tools that set up profiles.
#include "platform/xml_document.h"

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

}  // namespace platform
