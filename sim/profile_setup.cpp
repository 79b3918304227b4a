// The profile around a run: the private copy, settings through the plug-in's own store, the host's wiring.
#include "profile_setup.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "mach3/plugin_state.h"
#include "mach3/settings.h"
#include "host_os.h"
#include "mach3/profile/xml_profile.h"
#include "platform/file_io.h"
#include "platform/xml_document.h"

#ifdef _WIN32
#include <windows.h>
#include <msxml2.h>
#include <oleauto.h>

#include <cstring>
#include <cwchar>
#else
#include <expat.h>

#include <pugixml.hpp>
#endif

namespace sim {
namespace {

using mach3::machine::KeyIndex;

#ifdef _WIN32

std::unique_ptr<platform::XmlDocument> NewDocument() {
    std::unique_ptr<platform::XmlDocument> doc = platform::CreateXmlDocument();
    if (!doc) throw std::runtime_error("cannot create an XML document (is COM initialised?)");
    return doc;
}

// A section's keys from the map where it tells them, else from the document.
class Section : public mach3::machine::KeySource {
public:
    Section(platform::XmlDocument& doc, platform::XmlElement section, const KeyIndex& index)
        : doc_(doc), section_(section), index_(index) {}
    explicit operator bool() const { return section_ != nullptr; }
    std::optional<std::string> Text(const std::string& name) const override {
        if (index_.Tells(name)) {
            const std::string* text = index_.Find(name);
            return text ? std::optional<std::string>(*text) : std::nullopt;
        }
        const platform::XmlElement node = doc_.FirstChild(section_, name);
        return node ? std::optional<std::string>(doc_.Text(node)) : std::nullopt;
    }

private:
    platform::XmlDocument& doc_;
    platform::XmlElement section_;
    const KeyIndex& index_;
};

#else

// The host saves a missing key as nothing at all; such a field stays 0. Without a document, the map
// tells every key.
class Section : public mach3::machine::KeySource {
public:
    Section(pugi::xml_node section, const KeyIndex& index) : section_(section), index_(index) {}
    explicit operator bool() const { return section_ || index_.Complete(); }
    std::optional<std::string> Text(const std::string& name) const override {
        if (index_.Tells(name)) {
            const std::string* text = index_.Find(name);
            return text ? std::optional<std::string>(*text) : std::nullopt;
        }
        const pugi::xml_node node = section_.child(name.c_str());
        return node ? std::optional<std::string>(node.text().get()) : std::nullopt;
    }

private:
    pugi::xml_node section_;
    const KeyIndex& index_;
};

#endif

}  // namespace

std::string ReadUserFile(const std::string& what, const std::string& path) {
    std::string bytes;
    const int error = ReadFileBytes(path, platform::kMaxXmlFileBytes, bytes);
    if (error == 0) return bytes;
    std::string reason = ReadErrorText(error);
    if (error == platform::FILEIO_TOO_LARGE)
        reason += " (over " + std::to_string(platform::kMaxXmlFileBytes >> 20) + " MiB, the most the plug-in reads)";
    throw std::runtime_error("cannot read " + what + " " + path + ": " + reason);
}

ProfileCopy::ProfileCopy(const std::string& source) {
    namespace fs = std::filesystem;
    // Read once, through the plug-in's own file layer: the copy is what the plug-in would have read.
    const std::string bytes = source.empty() ? std::string() : ReadUserFile("profile", source);
    empty_ = !source.empty() && bytes.empty();
    folder_ = CreateTempFolder();
    // The plug-in is given the copy's path in the code page (HostPath): a name it cannot hold is not kept.
    const std::string name = source.empty() ? "profile.xml" : PathText(FilePath(source).filename());
    path_ = PathText(FilePath(folder_) / FilePath(HostCanName(name) ? name : "profile.xml"));
    std::ofstream out(FilePath(path_), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::error_code ec;
        std::filesystem::remove_all(FilePath(folder_), ec);
        throw std::runtime_error("cannot write the copy of the profile to " + path_);
    }
}

ProfileCopy::~ProfileCopy() {
    std::error_code ec;
    std::filesystem::remove_all(FilePath(folder_), ec);
}

void ProfileCopy::WriteSettings(const SettingList& settings) const {
    if (settings.empty()) return;
    CXmlProfile store(HostPath(path_));  // saved when it goes, as the plug-in's stores are
    for (const auto& [key, value] : settings) store.WriteString(kProfileSection, key, value);
}

int ProfileCopy::ReadSetting(const std::string& key, int defaultValue) const {
    CXmlProfile store(HostPath(path_));
    return store.ReadInt(kProfileSection, key, defaultValue);
}

std::vector<int> ProfileCopy::ReadSettings(const std::vector<std::pair<std::string, int>>& keys) const {
    CXmlProfile store(HostPath(path_));
    std::vector<int> values;
    for (const auto& [key, defaultValue] : keys) values.push_back(store.ReadInt(kProfileSection, key, defaultValue));
    return values;
}

std::string ProfileCopy::ReadString(const std::string& key) const {
    CXmlProfile store(path_);
    return store.ReadString(kProfileSection, key, "");
}

void ProfileCopy::RedirectDebugLog(bool always) {
    namedLog_ = ReadString("DebugLogFile");
    if (namedLog_.empty() && !always) return;
    SettingList redirect{{"DebugLogFile", DebugLogPath()}};
    if (always && ReadSetting("DebugLogLevel", 0) == 0) redirect.emplace_back("DebugLogLevel", "4");
    WriteSettings(redirect);
    // The store saves nothing over a file it cannot rewrite; the plug-in would then read the user's path.
    if (ReadString("DebugLogFile") != DebugLogPath())
        throw std::runtime_error("cannot point the debug log that the profile names (" + namedLog_ +
                                 ") into the temporary folder: the plug-in's store would not rewrite the copy, "
                                 "and the plug-in would write that file; nothing has run");
}

// Saved as the plug-in's store saves: a failure leaves the old file whole, a read-only one is refused.
void ProfileCopy::SaveAs(const std::string& target) const {
    if (!namedLog_.empty()) WriteSettings({{"DebugLogFile", namedLog_}});
    ReplaceUserFile(target, ReadUserFile("the profile as the plug-in left it", path_));
}

namespace {

// Where a file the plug-in's store refuses as not well-formed breaks, as the system's parser
// reports it: "line L, column C: reason"; empty when the parser finds nothing wrong.
std::string WhereNotWellFormed(const std::string& bytes);

// The store checks a profile strictly and never writes one that is not well-formed; the host's
// profile in that state is damaged, and the machinist should have it back before anything else.
// Returns the map's result: 0 when `map` holds the file, its Preferences keys mapped.
int RequireWellFormed(const std::string& path, const std::string& shownAs, platform::XmlMap& map) {
    const std::string bytes = ReadUserFile("profile", path);
    // The plug-in's section too: the simulator's own reads of it then take this map again.
    const std::vector<std::string> sections = {"Preferences", kProfileSection};
    const int mapped = platform::MapXml(bytes, &sections, map);
    if (mapped != platform::FILEIO_NOT_WELL_FORMED) return mapped;
    const std::string where = WhereNotWellFormed(bytes);
    throw std::runtime_error(shownAs + " is not well-formed XML" + (where.empty() ? "" : ": " + where) +
                             ". The profile is damaged: restore it from the copy Mach3 keeps or from a backup, "
                             "then check it again");
}

// A well-formed file that is not the host's profile would read as a machine with nothing wired.
void RequireHostProfile(const std::string& shownAs, const std::string& root, bool hasPreferences) {
    if (root != "profile")
        throw std::runtime_error(shownAs + " is not a host profile: its root element is <" + root + ">, not <profile>");
    if (!hasPreferences)
        throw std::runtime_error(shownAs + " is not a host profile: it has no Preferences element");
}

}  // namespace

#ifdef _WIN32

namespace {

// MSXML's SAX reader stops at the first error and says where through its locator.
class ErrorPlace : public ISAXErrorHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        static const IID kErrorHandlerIid = {0xa60511c4, 0xccf5, 0x479e, {0x98, 0xa3, 0xdc, 0x8d, 0xc5, 0x45, 0xb7, 0xd0}};
        if (riid == IID_IUnknown || riid == kErrorHandlerIid) {
            *object = static_cast<ISAXErrorHandler*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack for the one parse that uses it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE error(ISAXLocator* at, const wchar_t* message, HRESULT) override { return Take(at, message); }
    HRESULT STDMETHODCALLTYPE fatalError(ISAXLocator* at, const wchar_t* message, HRESULT) override {
        return Take(at, message);
    }
    HRESULT STDMETHODCALLTYPE ignorableWarning(ISAXLocator*, const wchar_t*, HRESULT) override { return S_OK; }

    std::string where;

private:
    HRESULT Take(ISAXLocator* at, const wchar_t* message) {
        int line = 0, column = 0;
        if (where.empty() && at != nullptr && SUCCEEDED(at->getLineNumber(&line)) && line > 0) {
            at->getColumnNumber(&column);
            std::string text;
            const int length = message != nullptr ? static_cast<int>(std::wcslen(message)) : 0;
            const int n = WideCharToMultiByte(CP_ACP, 0, message, length, nullptr, 0, nullptr, nullptr);
            text.resize(n > 0 ? n : 0);
            if (n > 0) WideCharToMultiByte(CP_ACP, 0, message, length, text.data(), n, nullptr, nullptr);
            while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
            where = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + text;
        }
        return E_FAIL;  // no further events
    }
};

// One of MSXML 3's objects, by its name and interface; null when there is none.
template <typename Interface>
Interface* NewMsxml(const wchar_t* progId, const IID& iid) {
    CLSID objectClass;
    Interface* object = nullptr;
    if (FAILED(CLSIDFromProgID(progId, &objectClass)) ||
        FAILED(CoCreateInstance(objectClass, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&object))))
        return nullptr;
    return object;
}

std::string WhereNotWellFormed(const std::string& bytes) {
    const IID kReaderIid = {0xa4f96ed0, 0xf829, 0x476e, {0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a, 0x08, 0x02}};
    ISAXXMLReader* reader = NewMsxml<ISAXXMLReader>(L"Msxml2.SAXXMLReader.3.0", kReaderIid);
    if (reader == nullptr) return "";
    reader->putFeature(L"external-general-entities", VARIANT_FALSE);
    reader->putFeature(L"external-parameter-entities", VARIANT_FALSE);
    ErrorPlace place;
    IStream* stream = nullptr;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (memory != nullptr) {
        if (void* data = GlobalLock(memory)) {
            std::memcpy(data, bytes.data(), bytes.size());
            GlobalUnlock(memory);
        }
        if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) GlobalFree(memory);
    }
    if (stream != nullptr && SUCCEEDED(reader->putErrorHandler(&place))) {
        VARIANT source;
        VariantInit(&source);
        source.vt = VT_UNKNOWN;
        source.punkVal = stream;
        reader->parse(source);
        reader->putErrorHandler(nullptr);  // the handler lives on this stack
    }
    if (stream != nullptr) stream->Release();
    reader->Release();
    return place.where;
}

// Why MSXML's DOM, the one that loads the profile, refuses a file its SAX reader may pass (an
// encoding it lacks): "line L, column C: reason", or empty when it says nothing.
std::string WhyMsxmlRefuses(const std::string& path) {
    const IID kDocumentIid = {0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
    IXMLDOMDocument* doc = NewMsxml<IXMLDOMDocument>(L"Msxml2.DOMDocument.3.0", kDocumentIid);
    if (doc == nullptr) return "";
    doc->put_async(VARIANT_FALSE);
    doc->put_resolveExternals(VARIANT_FALSE);
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    const std::wstring wide = FilePath(path).wstring();
    source.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    doc->load(source, &loaded);
    VariantClear(&source);
    std::string why;
    IXMLDOMParseError* error = nullptr;
    if (loaded != VARIANT_TRUE && SUCCEEDED(doc->get_parseError(&error)) && error != nullptr) {
        long line = 0, column = 0;
        BSTR reason = nullptr;
        error->get_line(&line);
        error->get_linepos(&column);
        if (SUCCEEDED(error->get_reason(&reason)) && reason != nullptr) {
            const int length = static_cast<int>(SysStringLen(reason));
            std::string text(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, reason, length, nullptr, 0, nullptr, nullptr)), '\0');
            WideCharToMultiByte(CP_UTF8, 0, reason, length, text.data(), static_cast<int>(text.size()), nullptr, nullptr);
            while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
            if (!text.empty()) why = (line > 0 ? "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " : "") + text;
            SysFreeString(reason);
        }
        error->Release();
    }
    doc->Release();
    return why;
}

}  // namespace

mach3::machine::Machine LoadMachine(const std::string& path, const std::string& shownAs) {
    platform::XmlMap map;
    const bool mapped = RequireWellFormed(path, shownAs, map) == 0;
    const KeyIndex index(mapped ? &map : nullptr, "Preferences");
    const KeyIndex pluginIndex(mapped ? &map : nullptr, kProfileSection);
    const std::unique_ptr<platform::XmlDocument> doc = NewDocument();
    const platform::XmlLoadResult loaded = doc->Load(HostPath(path));
    if (loaded == platform::XmlLoadResult::Unparseable) {
        const std::string bytes = ReadUserFile("profile", path);
        std::string where = WhyMsxmlRefuses(path);
        if (where.empty()) where = WhereNotWellFormed(bytes);
        // The usual cause: an encoding the system has no table for, which only the declaration names.
        const std::string head = bytes.substr(0, bytes.find("?>") == std::string::npos ? 0 : bytes.find("?>"));
        const size_t named = head.find("encoding=");
        const std::string encoding =
            named == std::string::npos || named + 10 >= head.size()
                ? ""
                : head.substr(named + 10, head.find(head[named + 9], named + 10) - named - 10);
        throw std::runtime_error(shownAs + " cannot be loaded by Windows' XML service (MSXML): " +
                                 (where.empty() ? std::string("it gives no reason") : where) +
                                 (encoding.empty() ? "" : " (its declaration names the encoding " + encoding + ")") +
                                 ". Save the profile again as UTF-8 (Notepad: File > Save As, Encoding UTF-8), or "
                                 "restore it from the copy Mach3 keeps or from a backup, then check it again");
    }
    const Section prefs(*doc, doc->FirstChild(doc->Root(), "Preferences"), index);
    RequireHostProfile(shownAs, doc->Name(doc->Root()), static_cast<bool>(prefs));
    const Section plugin(*doc, doc->FirstChild(doc->Root(), kProfileSection), pluginIndex);
    return mach3::machine::Decode(prefs, plugin ? &plugin : nullptr);
}

#else

namespace {

std::string WhereNotWellFormed(const std::string& bytes) {
    const XML_Parser parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) return "";
    // Encodings expat does not know (windows-1252) are taken byte for byte: only the place matters here.
    XML_SetUnknownEncodingHandler(
        parser,
        [](void*, const XML_Char*, XML_Encoding* info) {
            for (int i = 0; i < 256; ++i) info->map[i] = i;
            info->data = nullptr;
            info->convert = nullptr;
            info->release = nullptr;
            return static_cast<int>(XML_STATUS_OK);
        },
        nullptr);
    std::string where;
    if (XML_Parse(parser, bytes.data(), static_cast<int>(bytes.size()), XML_TRUE) != XML_STATUS_OK) {
        where = "line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ", column " +
                std::to_string(XML_GetCurrentColumnNumber(parser) + 1) + ": " + XML_ErrorString(XML_GetErrorCode(parser));
    }
    XML_ParserFree(parser);
    return where;
}

}  // namespace

mach3::machine::Machine LoadMachine(const std::string& path, const std::string& shownAs) {
    platform::XmlMap map;
    const bool mapped = RequireWellFormed(path, shownAs, map) == 0;
    const KeyIndex index(mapped ? &map : nullptr, "Preferences");
    const KeyIndex pluginIndex(mapped ? &map : nullptr, kProfileSection);
    // The whole document is built only when the map cannot tell every key: a large profile's other
    // sections would cost several times its size in memory.
    pugi::xml_document doc;
    std::string root = map.root.name;
    pugi::xml_node node, pluginNode;
    if (!index.Complete() || (pluginIndex.Mapped() && !pluginIndex.Complete())) {
        const pugi::xml_parse_result parsed = doc.load_file(path.c_str());
        if (!parsed) throw std::runtime_error("cannot parse profile " + shownAs + ": " + parsed.description());
        root = doc.document_element().name();
        node = doc.document_element().child("Preferences");
        pluginNode = doc.document_element().child(kProfileSection);
    }
    const Section prefs(node, index);
    RequireHostProfile(shownAs, root, static_cast<bool>(prefs));
    const Section plugin(pluginNode, pluginIndex);
    return mach3::machine::Decode(prefs, plugin ? &plugin : nullptr);
}

#endif

}  // namespace sim
