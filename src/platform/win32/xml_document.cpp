// The profile document over MSXML, loaded from the host's file and written back in the file's own style.
#include "platform/xml_document.h"

#include "platform/file_io.h"

#include <windows.h>
#include <msxml2.h>
#include <oleauto.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <vector>


namespace platform {
namespace {

// Narrow strings are in the active ANSI code page; the document holds UTF-16.
std::wstring Widen(const std::string& text, UINT codePage = CP_ACP) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string Narrow(const wchar_t* text, size_t length, UINT codePage = CP_ACP) {
    if (length == 0) return {};
    const int n = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), narrow.data(), n, nullptr, nullptr);
    return narrow;
}

class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const std::wstring& text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR* out() {
        SysFreeString(value_);
        value_ = nullptr;
        return &value_;
    }
    BSTR get() const { return value_; }
    size_t size() const { return SysStringLen(value_); }
    const wchar_t* data() const { return value_ != nullptr ? value_ : L""; }

private:
    BSTR value_ = nullptr;
};

template <typename T>
class Com {
public:
    Com() = default;
    ~Com() { reset(); }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;
    void reset() {
        if (p_ != nullptr) p_->Release();
        p_ = nullptr;
    }
    T** out() {
        reset();
        return &p_;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T* release() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    T* p_ = nullptr;
};

bool IsBlankBytes(const std::string& bytes) {
    for (char c : bytes) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    }
    return true;
}

bool IsBlankText(const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != L' ' && text[i] != L'\t' && text[i] != L'\r' && text[i] != L'\n') return false;
    }
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// How the loaded file was written, so the save writes it the same way.
struct FileStyle {
    enum Encoding { Utf8, Utf16Le, CodePage } encoding = Utf8;
    UINT codePage = CP_UTF8;
    bool bom = false;
    bool crlf = false;
    bool finalNewline = false;  // white space after the root's end tag
    std::string declaration;    // the "<?xml ...?>" the file began with, if any
    std::string afterDeclaration;  // the white space that followed it
};

// Code pages of the encodings a host profile may name; 0 for one we would not write faithfully.
UINT CodePageOf(std::string name) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "UTF-8") return CP_UTF8;
    if (name == "US-ASCII" || name == "ASCII") return 20127;
    if (StartsWith(name, "WINDOWS-125") && name.size() == 12) return 1250 + (name[11] - '0');
    if (StartsWith(name, "ISO-8859-")) {
        const int part = std::atoi(name.c_str() + 9);
        if (part >= 1 && part <= 9) return 28590 + part;
        if (part == 15) return 28605;
    }
    return 0;
}

FileStyle StyleOf(const std::string& bytes) {
    FileStyle style;
    std::string text = bytes;
    if (StartsWith(bytes, "\xFF\xFE")) {
        style.encoding = FileStyle::Utf16Le;
        style.bom = true;
        // Only the ASCII structure matters here: the declaration and the line ends.
        text.clear();
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += bytes[i + 1] == 0 ? bytes[i] : '?';
    } else if (StartsWith(bytes, "\xEF\xBB\xBF")) {
        style.bom = true;
        text = bytes.substr(3);
    }
    if (StartsWith(text, "<?xml") && (text.size() == 5 || std::strchr(" \t\r\n", text[5]) != nullptr)) {
        const size_t end = text.find("?>");
        if (end != std::string::npos) {
            style.declaration = text.substr(0, end + 2);
            const size_t next = text.find_first_not_of(" \t\r\n", end + 2);
            style.afterDeclaration = text.substr(end + 2, (next == std::string::npos ? text.size() : next) - end - 2);
        }
        const size_t at = style.declaration.find("encoding");
        if (at != std::string::npos && style.encoding != FileStyle::Utf16Le) {
            const size_t open = style.declaration.find_first_of("\"'", at);
            const size_t close = open == std::string::npos ? open : style.declaration.find(style.declaration[open], open + 1);
            if (close != std::string::npos) {
                const std::string name = style.declaration.substr(open + 1, close - open - 1);
                const UINT codePage = CodePageOf(name);
                if (codePage != CP_UTF8) {
                    style.encoding = FileStyle::CodePage;
                    style.codePage = codePage;
                }
            }
        }
    }
    const size_t newline = text.find('\n');
    style.crlf = newline != std::string::npos && newline > 0 && text[newline - 1] == '\r';
    const size_t last = text.find_last_not_of(" \t\r\n");
    style.finalNewline = last != std::string::npos && last + 1 < text.size();
    return style;
}

// The serialiser's text in the file's line ends, with the file's own declaration and trailing line end.
std::wstring Restyle(std::wstring xml, const FileStyle& style) {
    std::wstring lf;
    lf.reserve(xml.size());
    for (size_t i = 0; i < xml.size(); ++i) {
        if (xml[i] == L'\r' && i + 1 < xml.size() && xml[i + 1] == L'\n') continue;
        lf += xml[i];
    }
    // The serialiser may write its own declaration, or none; the file keeps what it had.
    if (lf.rfind(L"<?xml", 0) == 0 && lf.size() > 5 && std::wcschr(L" \t\n?", lf[5]) != nullptr) {
        const size_t end = lf.find(L"?>");
        if (end != std::wstring::npos) {
            const size_t next = lf.find_first_not_of(L" \t\n", end + 2);
            lf.erase(0, next == std::wstring::npos ? lf.size() : next);
        }
    }
    if (!style.declaration.empty()) {
        std::string head = style.declaration + style.afterDeclaration;
        std::string lfHead;
        for (size_t i = 0; i < head.size(); ++i) {
            if (!(head[i] == '\r' && i + 1 < head.size() && head[i + 1] == '\n')) lfHead += head[i];
        }
        lf.insert(0, Widen(lfHead, CP_UTF8));
    }
    while (!lf.empty() && lf.back() == L'\n') lf.pop_back();
    if (style.finalNewline) lf += L'\n';
    if (!style.crlf) return lf;
    std::wstring crlf;
    crlf.reserve(lf.size() + lf.size() / 16);
    for (wchar_t c : lf) {
        if (c == L'\n') crlf += L'\r';
        crlf += c;
    }
    return crlf;
}

class MsxmlDocument : public XmlDocument {
public:
    explicit MsxmlDocument(IXMLDOMDocument* doc) : doc_(doc) { Prepare(); }

    ~MsxmlDocument() override {
        ReleaseHandles();
        if (doc_ != nullptr) doc_->Release();
    }

    XmlLoadResult Parse(const std::string& bytes) override {
        Clear();
        style_ = FileStyle{};
        if (IsBlankBytes(bytes)) return XmlLoadResult::Missing;
        // MSXML reads the bytes it is given, never the file again: what was checked is what is parsed.
        Com<IStream> stream;
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
        if (memory == nullptr) return XmlLoadResult::Unparseable;
        if (void* data = GlobalLock(memory)) {
            std::memcpy(data, bytes.data(), bytes.size());
            GlobalUnlock(memory);
        }
        if (FAILED(CreateStreamOnHGlobal(memory, TRUE, stream.out()))) {
            GlobalFree(memory);
            return XmlLoadResult::Unparseable;
        }
        VARIANT source;
        VariantInit(&source);
        source.vt = VT_UNKNOWN;
        source.punkVal = stream.get();
        VARIANT_BOOL ok = VARIANT_FALSE;
        const HRESULT hr = doc_->load(source, &ok);
        Com<IXMLDOMElement> root;
        if (FAILED(hr) || ok != VARIANT_TRUE || FAILED(doc_->get_documentElement(root.out())) || !root) {
            Clear();
            return XmlLoadResult::Unparseable;
        }
        style_ = StyleOf(bytes);
        return DeclaresEntities() ? XmlLoadResult::Unwritable : XmlLoadResult::Loaded;
    }

    bool Serialize(std::string& bytes) override {
        // MSXML's own writer, which keeps the document as it is (the xml property may indent);
        // then the file's own declaration, line ends and encoding.
        std::string written;
        if (!SaveThroughMsxml(written)) return false;
        const std::wstring text = Restyle(Decode(written), style_);
        bytes.clear();
        switch (style_.encoding) {
        case FileStyle::Utf16Le:
            bytes.assign("\xFF\xFE", 2);
            bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
            break;
        case FileStyle::CodePage:
            // MSXML wrote characters outside the code page as references, so none is lost here.
            bytes = Narrow(text.data(), text.size(), style_.codePage);
            break;
        case FileStyle::Utf8:
            if (style_.bom) bytes = "\xEF\xBB\xBF";
            bytes += Narrow(text.data(), text.size(), CP_UTF8);
            break;
        }
        return true;
    }

    XmlElement Root() override {
        Com<IXMLDOMElement> root;
        if (FAILED(doc_->get_documentElement(root.out())) || !root) return nullptr;
        return Keep(root.release());
    }

    XmlElement AppendElement(XmlElement parent, const std::string& name) override {
        Com<IXMLDOMElement> element;
        const std::wstring wideName = Widen(name);
        if (FAILED(doc_->createElement(Bstr(wideName).get(), element.out())) || !element) return nullptr;
        if (parent == nullptr) return Adopt(doc_, element.get(), nullptr);
        IXMLDOMNode* node = NodeOf(parent);
        // In an indented file the new element goes before the closing line's white space, indented
        // like the element before it, so the file stays indented.
        Com<IXMLDOMNode> tail;
        if (SUCCEEDED(node->get_lastChild(tail.out())) && tail && IsBlankTextNode(tail.get())) {
            Com<IXMLDOMNode> previous;
            Com<IXMLDOMNode> indent;
            if (SUCCEEDED(tail->get_previousSibling(previous.out())) && previous && Type(previous.get()) == NODE_ELEMENT &&
                SUCCEEDED(previous->get_previousSibling(indent.out())) && indent && IsBlankTextNode(indent.get())) {
                Bstr indentText(NodeValue(indent.get()));
                Com<IXMLDOMText> copy;
                if (SUCCEEDED(doc_->createTextNode(indentText.get(), copy.out())) && copy) {
                    // Element first: some DOMs merge a text node inserted next to another one.
                    XmlElement inserted = Adopt(node, element.get(), tail.get());
                    if (inserted != nullptr) Adopt(node, copy.get(), NodeOf(inserted), false);
                    return inserted;
                }
            }
        }
        return Adopt(node, element.get(), nullptr);
    }

    XmlElement FirstChild(XmlElement parent, const std::string& name) override {
        if (parent == nullptr) return nullptr;
        // A walk with an exact name match: names are not XPath expressions.
        const std::wstring wanted = Widen(name);
        Com<IXMLDOMNode> child;
        if (FAILED(NodeOf(parent)->get_firstChild(child.out()))) return nullptr;
        while (child) {
            if (Type(child.get()) == NODE_ELEMENT) {
                Bstr childName;
                if (SUCCEEDED(child->get_nodeName(childName.out())) &&
                    std::wstring(childName.data(), childName.size()) == wanted) {
                    return Keep(child.release());
                }
            }
            Com<IXMLDOMNode> next;
            if (FAILED(child->get_nextSibling(next.out()))) return nullptr;
            child.reset();
            *child.out() = next.release();
        }
        return nullptr;
    }

    std::string Name(XmlElement element) override {
        Bstr name;
        if (element == nullptr || FAILED(NodeOf(element)->get_nodeName(name.out()))) return {};
        return Narrow(name.data(), name.size());
    }

    std::string Text(XmlElement element) override {
        Bstr text;
        if (element == nullptr || FAILED(NodeOf(element)->get_text(text.out()))) return {};
        return Narrow(text.data(), text.size());
    }

    void SetText(XmlElement element, const std::string& text) override {
        if (element == nullptr) return;
        NodeOf(element)->put_text(Bstr(Widen(text)).get());
    }

    void RemoveFromParent(XmlElement element) override {
        if (element == nullptr) return;
        IXMLDOMNode* node = NodeOf(element);
        Com<IXMLDOMNode> parent;
        if (FAILED(node->get_parentNode(parent.out())) || !parent) return;
        // Take the element's indentation with it, so no blank line is left behind.
        Com<IXMLDOMNode> before;
        Com<IXMLDOMNode> after;
        if (SUCCEEDED(node->get_previousSibling(before.out())) && before && IsBlankTextNode(before.get()) &&
            SUCCEEDED(node->get_nextSibling(after.out())) && after) {
            Com<IXMLDOMNode> removed;
            parent->removeChild(before.get(), removed.out());
        }
        Com<IXMLDOMNode> removed;
        parent->removeChild(node, removed.out());
    }

private:
    static IXMLDOMNode* NodeOf(XmlElement element) { return static_cast<IXMLDOMNode*>(element); }

    static DOMNodeType Type(IXMLDOMNode* node) {
        DOMNodeType type = NODE_INVALID;
        if (FAILED(node->get_nodeType(&type))) return NODE_INVALID;
        return type;
    }

    // A text node's exact content: the text property trims white space.
    static std::wstring NodeValue(IXMLDOMNode* node) {
        VARIANT value;
        VariantInit(&value);
        std::wstring text;
        if (SUCCEEDED(node->get_nodeValue(&value)) && value.vt == VT_BSTR && value.bstrVal != nullptr) {
            text.assign(value.bstrVal, SysStringLen(value.bstrVal));
        }
        VariantClear(&value);
        return text;
    }

    static bool IsBlankTextNode(IXMLDOMNode* node) {
        if (Type(node) != NODE_TEXT) return false;
        const std::wstring text = NodeValue(node);
        return !text.empty() && IsBlankText(text.data(), text.size());
    }

    // A general entity of the file's own DTD is expanded on reading and would be written back as
    // its text, or as an escaped reference: such a file cannot be saved as it was.
    bool DeclaresEntities() {
        Com<IXMLDOMDocumentType> doctype;
        Com<IXMLDOMNamedNodeMap> entities;
        long count = 0;
        return SUCCEEDED(doc_->get_doctype(doctype.out())) && doctype &&
               SUCCEEDED(doctype->get_entities(entities.out())) && entities &&
               SUCCEEDED(entities->get_length(&count)) && count > 0;
    }

    void Prepare() {
        // The host's white space is part of its file; a synchronous load is complete on return;
        // nothing outside the file is fetched.
        doc_->put_async(VARIANT_FALSE);
        doc_->put_preserveWhiteSpace(VARIANT_TRUE);
        doc_->put_validateOnParse(VARIANT_FALSE);
        doc_->put_resolveExternals(VARIANT_FALSE);
    }

    // Handles stay valid for the document's life: it holds a reference for each one it gave out.
    XmlElement Keep(IXMLDOMNode* node) {
        try {
            handles_.push_back(node);
        } catch (...) {
            node->Release();
            return nullptr;
        }
        return node;
    }

    XmlElement Keep(IXMLDOMElement* element) { return Keep(static_cast<IXMLDOMNode*>(element)); }

    // Inserts `child` into `parent` before `before` (or last) and returns the inserted node's handle.
    XmlElement Adopt(IXMLDOMNode* parent, IXMLDOMNode* child, IXMLDOMNode* before, bool keep = true) {
        Com<IXMLDOMNode> inserted;
        HRESULT hr;
        if (before != nullptr) {
            VARIANT where;
            VariantInit(&where);
            where.vt = VT_UNKNOWN;
            where.punkVal = before;
            hr = parent->insertBefore(child, where, inserted.out());
        } else {
            hr = parent->appendChild(child, inserted.out());
        }
        if (FAILED(hr) || !inserted || !keep) return nullptr;
        return Keep(inserted.release());
    }

    XmlElement Adopt(IXMLDOMDocument* parent, IXMLDOMNode* child, IXMLDOMNode* before) {
        return Adopt(static_cast<IXMLDOMNode*>(parent), child, before);
    }

    // MSXML writes in the encoding the declaration names, UTF-8 without one.
    std::wstring Decode(const std::string& bytes) const {
        if (StartsWith(bytes, "\xFF\xFE")) {
            return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        }
        if (StartsWith(bytes, "\xEF\xBB\xBF")) return Widen(bytes.substr(3), CP_UTF8);
        // Some MSXML versions write UTF-8 whatever the declaration says; text in a single-byte
        // code page with letters beyond ASCII is almost never valid UTF-8.
        if (style_.encoding == FileStyle::CodePage &&
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0) == 0) {
            return Widen(bytes, style_.codePage);
        }
        return Widen(bytes, CP_UTF8);
    }

    // Writes the document as MSXML itself would, into `bytes`.
    bool SaveThroughMsxml(std::string& bytes) {
        Com<IStream> stream;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.out()))) return false;
        VARIANT target;
        VariantInit(&target);
        target.vt = VT_UNKNOWN;
        target.punkVal = stream.get();
        if (FAILED(doc_->save(target))) return false;
        HGLOBAL memory = nullptr;
        STATSTG stat{};
        if (FAILED(GetHGlobalFromStream(stream.get(), &memory)) || FAILED(stream->Stat(&stat, STATFLAG_NONAME))) {
            return false;
        }
        const char* data = static_cast<const char*>(GlobalLock(memory));
        if (data == nullptr) return false;
        bytes.assign(data, static_cast<size_t>(stat.cbSize.QuadPart));
        GlobalUnlock(memory);
        return true;
    }

    void ReleaseHandles() {
        for (IXMLDOMNode* node : handles_) node->Release();
        handles_.clear();
    }

    // Leaves the document empty: what a failed load must leave behind.
    void Clear() {
        ReleaseHandles();
        Com<IXMLDOMNode> child;
        while (SUCCEEDED(doc_->get_firstChild(child.out())) && child) {
            Com<IXMLDOMNode> removed;
            if (FAILED(doc_->removeChild(child.get(), removed.out()))) break;
        }
    }

    IXMLDOMDocument* doc_;
    std::vector<IXMLDOMNode*> handles_;
    FileStyle style_;
};

// The encoding a declaration names, or empty; only its ASCII matters, so UTF-16 files need none.
std::string DeclaredEncoding(const std::string& bytes) {
    const std::string text = StartsWith(bytes, "\xEF\xBB\xBF") ? bytes.substr(3, 200) : bytes.substr(0, 200);
    if (!StartsWith(text, "<?xml")) return {};
    const size_t end = text.find("?>");
    const size_t at = text.find("encoding");
    if (end == std::string::npos || at == std::string::npos || at > end) return {};
    const size_t open = text.find_first_of("\"'", at);
    const size_t close = open == std::string::npos ? open : text.find(text[open], open + 1);
    return close == std::string::npos || close > end ? std::string() : text.substr(open + 1, close - open - 1);
}

// The Windows code page of an East Asian encoding; it may be missing (XP without East Asian support).
UINT MultibyteCodePage(const std::string& canonical) {
    if (canonical == "Shift_JIS") return 932;
    if (canonical == "GBK" || canonical == "GB2312") return 936;
    if (canonical == "EUC-KR") return 949;
    return canonical == "Big5" ? 950 : 0;
}

// The file decoded to UTF-16, each unit with the byte offset it starts at.
struct Decoded {
    std::wstring text;
    std::vector<size_t> offset;  // of each unit, and one past the end
};

bool Decode(const std::string& bytes, const XmlMap& map, Decoded& out) {
    size_t i = 0;
    const auto push = [&](wchar_t unit, size_t at) {
        out.text += unit;
        out.offset.push_back(at);
    };
    switch (map.encoding) {
    case XmlEncoding::Utf16Le:
    case XmlEncoding::Utf16Be: {
        const bool le = map.encoding == XmlEncoding::Utf16Le;
        for (i = StartsWith(bytes, le ? "\xFF\xFE" : "\xFE\xFF") ? 2 : 0; i + 1 < bytes.size(); i += 2) {
            const unsigned lo = static_cast<unsigned char>(bytes[i + (le ? 0 : 1)]);
            const unsigned hi = static_cast<unsigned char>(bytes[i + (le ? 1 : 0)]);
            push(static_cast<wchar_t>(hi << 8 | lo), i);
        }
        break;
    }
    case XmlEncoding::Multibyte: {
        const UINT page = MultibyteCodePage(map.multibyte);
        while (i < bytes.size()) {
            const int length = IsDBCSLeadByteEx(page, static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size() ? 2 : 1;
            wchar_t unit = 0;
            if (MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data() + i, length, &unit, 1) != 1) return false;
            push(unit, i);
            i += static_cast<size_t>(length);
        }
        break;
    }
    case XmlEncoding::SingleByte:
        for (; i < bytes.size(); ++i) {
            const int32_t c = map.charOfByte[static_cast<unsigned char>(bytes[i])];
            if (c < 0 || c > 0xFFFF) return false;
            push(static_cast<wchar_t>(c), i);
        }
        break;
    case XmlEncoding::Utf8:
        i = StartsWith(bytes, "\xEF\xBB\xBF") ? 3 : 0;
        for (char32_t c : Utf8Chars(bytes.substr(i))) {
            if (c >= 0x10000) {
                push(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)), i);
                push(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)), i);
            } else {
                push(static_cast<wchar_t>(c), i);
            }
            i += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        }
        break;
    }
    out.offset.push_back(bytes.size());
    return true;
}

// One element event of the SAX reader, in document order.
struct SaxEvent {
    bool start;
    std::wstring name;
    int depth;
};

// The reader has checked the file and reports its elements in order; each element's tags are then
// found in the text from where the tag before ended. Text and attribute values hold no '<', so the
// next '<' that opens no comment, instruction or CDATA section is the next tag, and it must be the
// one the reader reported (an element out of an entity's replacement text is not: no map then).
class Walk {
public:
    explicit Walk(const std::wstring& text) : t_(text) {}

    // The '<' of the element's next tag and just past its '>'; false when it is not there.
    bool Next(const SaxEvent& e, size_t& begin, size_t& end) {
        if (!SkipToTag(e.depth == 1 && e.start)) return false;
        const std::wstring open = (e.start ? L"<" : L"</") + e.name;
        begin = at_;
        if (t_.compare(begin, open.size(), open) != 0 || begin + open.size() >= t_.size() ||
            !NameEnds(t_[begin + open.size()])) {
            return false;
        }
        end = Close(begin + open.size());
        return end != npos;
    }

private:
    static bool NameEnds(wchar_t c) { return c == L'>' || c == L'/' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
    bool At(size_t k, const wchar_t* s) const { return t_.compare(k, std::wcslen(s), s) == 0; }

    // Past comments, instructions, CDATA and, before the root, the declaration and the DOCTYPE.
    bool SkipToTag(bool prolog) {
        for (;;) {
            at_ = t_.find(L'<', at_);
            if (at_ == npos) return false;
            const wchar_t* close = At(at_, L"<!--") ? L"-->" : At(at_, L"<?") ? L"?>" : At(at_, L"<![CDATA[") ? L"]]>" : nullptr;
            if (close != nullptr) {
                at_ = t_.find(close, at_ + 2);
                if (at_ == npos) return false;
                at_ += std::wcslen(close);
            } else if (prolog && At(at_, L"<!DOCTYPE")) {
                if (!SkipDoctype()) return false;
            } else {
                return true;
            }
        }
    }

    // Past the '>' that ends the tag, outside quoted values.
    size_t Close(size_t from) {
        wchar_t quote = 0;
        for (size_t k = from; k < t_.size(); ++k) {
            if (quote != 0) {
                if (t_[k] == quote) quote = 0;
            } else if (t_[k] == L'"' || t_[k] == L'\'') {
                quote = t_[k];
            } else if (t_[k] == L'>') {
                return at_ = k + 1;
            }
        }
        return npos;
    }

    // The declarations in brackets hold literals, comments and instructions, any of which may hold ']'.
    bool SkipDoctype() {
        wchar_t quote = 0;
        bool subset = false;
        for (size_t k = at_ + 9; k < t_.size(); ++k) {
            const wchar_t c = t_[k];
            if (quote != 0) {
                if (c == quote) quote = 0;
            } else if (c == L'"' || c == L'\'') {
                quote = c;
            } else if (subset && (At(k, L"<!--") || At(k, L"<?"))) {
                k = t_.find(At(k, L"<?") ? L"?>" : L"-->", k + 2);
                if (k == npos) return false;
            } else if (c == L'[') {
                subset = true;
            } else if (c == L']') {
                subset = false;
            } else if (c == L'>' && !subset) {
                at_ = k + 1;
                return true;
            }
        }
        return false;
    }

    static constexpr size_t npos = std::wstring::npos;
    const std::wstring& t_;
    size_t at_ = 0;
};

// The SAX reader's events, and the keys' text.
class SaxMapper : public ISAXContentHandler {
public:
    SaxMapper(const std::vector<std::string>* sections, XmlMap& map) : sections_(sections), map_(map) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (riid == IID_IUnknown || riid == kContentHandlerIid) {
            *object = static_cast<ISAXContentHandler*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack for the one parse that uses it.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endDocument() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const wchar_t*, int) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qname, int length,
                                           ISAXAttributes*) override {
        return Guard([&] {
            const int depth = ++depth_;
            if (depth == 2) inSection_ = Wanted(Narrow(qname, static_cast<size_t>(length)));
            events_.push_back({true, std::wstring(qname, static_cast<size_t>(length)), depth});
            if (depth == 3 && inSection_) {
                key_ = events_.size() - 1;
                texts_[key_];
            }
        });
    }

    HRESULT STDMETHODCALLTYPE endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qname, int length) override {
        return Guard([&] {
            const int depth = depth_--;
            events_.push_back({false, std::wstring(qname, static_cast<size_t>(length)), depth});
            if (depth == 3) key_ = kNone;
        });
    }

    HRESULT STDMETHODCALLTYPE characters(const wchar_t* text, int length) override {
        return Guard([&] {
            if (key_ != kNone) texts_[key_].first.append(text, static_cast<size_t>(length));
        });
    }
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const wchar_t* text, int length) override { return characters(text, length); }
    HRESULT STDMETHODCALLTYPE processingInstruction(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    // An entity the reader could not see stays in the key's text as written: the key is not empty.
    HRESULT STDMETHODCALLTYPE skippedEntity(const wchar_t* name, int length) override {
        return Guard([&] {
            if (key_ == kNone || (length > 0 && name[0] == L'%')) return;
            texts_[key_].first += L"&" + std::wstring(name, static_cast<size_t>(length)) + L";";
            texts_[key_].second = true;
        });
    }

    // The elements' byte ranges, from the events and the file's text.
    int Build(const std::string& bytes) {
        Decoded decoded;
        if (!Decode(bytes, map_, decoded)) return FILEIO_NOT_REWRITABLE;
        Walk walk(decoded.text);
        std::vector<std::pair<XmlElementBytes*, bool>> open;  // each open element (null when not mapped), and
                                                              // whether it was an empty-element tag
        for (size_t i = 0; i < events_.size(); ++i) {
            const SaxEvent& e = events_[i];
            if (!e.start && !open.empty() && open.back().second) {
                open.pop_back();
                continue;
            }
            size_t begin = 0, end = 0;
            if (!walk.Next(e, begin, end)) return FILEIO_NOT_REWRITABLE;
            if (e.start) {
                const bool emptyTag = decoded.text[end - 2] == L'/';
                XmlElementBytes* element = nullptr;
                if (e.depth == 1) element = &map_.root;
                if (e.depth == 2) element = &map_.root.children.emplace_back();
                if (e.depth == 3 && texts_.count(i) != 0 && open.back().first != nullptr) {
                    element = &open.back().first->children.emplace_back();
                    element->text = Narrow(texts_[i].first.data(), texts_[i].first.size());
                    element->opaque = texts_[i].second;
                }
                if (element != nullptr) {
                    element->name = Narrow(e.name.data(), e.name.size());
                    element->begin = decoded.offset[begin];
                    element->contentBegin = element->contentEnd = element->end = decoded.offset[end];
                    element->emptyTag = emptyTag;
                }
                open.push_back({element, emptyTag});
            } else {
                if (open.empty()) return FILEIO_NOT_WELL_FORMED;
                if (XmlElementBytes* element = open.back().first) {
                    element->contentEnd = decoded.offset[begin];
                    element->end = decoded.offset[end];
                }
                open.pop_back();
            }
        }
        return open.empty() ? 0 : FILEIO_NOT_WELL_FORMED;
    }

    static const IID kContentHandlerIid;

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);
    static constexpr size_t npos = std::wstring::npos;

    template <typename F>
    static HRESULT Guard(F&& f) {
        try {
            f();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    bool Wanted(const std::string& name) const {
        return sections_ == nullptr || std::find(sections_->begin(), sections_->end(), name) != sections_->end();
    }

    const std::vector<std::string>* sections_;
    XmlMap& map_;
    std::vector<SaxEvent> events_;
    std::map<size_t, std::pair<std::wstring, bool>> texts_;  // each mapped key's text, by its start event
    int depth_ = 0;
    bool inSection_ = false;
    size_t key_ = kNone;
};

const IID SaxMapper::kContentHandlerIid = {0x1545cdfa, 0x9e4e, 0x4497, {0xa8, 0xa4, 0x2b, 0xf7, 0xd0, 0x11, 0x2c, 0x44}};
const IID kSaxReaderIid = {0xa4f96ed0, 0xf829, 0x476e, {0x81, 0xc0, 0xcd, 0xc7, 0xbd, 0x2a, 0x08, 0x02}};

}  // namespace

std::unique_ptr<XmlDocument> CreateXmlDocument() {
    IXMLDOMDocument* doc = nullptr;
    // The DOM document's own class, not the newer one the SAX reader's header maps its name to.
    const CLSID domDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
    if (FAILED(CoCreateInstance(domDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                reinterpret_cast<void**>(&doc))) ||
        doc == nullptr) {
        return nullptr;
    }
    auto* document = new (std::nothrow) MsxmlDocument(doc);
    if (document == nullptr) doc->Release();
    return std::unique_ptr<XmlDocument>(document);
}

}  // namespace platform

namespace platform {

// MSXML's SAX reader checks the bytes and reports the elements in order; the file's decoded text
// gives each its byte range (see Walk). Its locator is not used: readers differ in what its columns
// count, and some count from where their buffer begins rather than the line.
int ParseXmlMap(const std::string& bytes, const std::vector<std::string>* sections, XmlMap& map) {
    map = XmlMap{};
    const std::string declared = DeclaredEncoding(bytes);
    if (!MarkAgreesWithDeclaration(bytes, declared)) return FILEIO_NOT_REWRITABLE;
    map.encoding = EncodingOf(bytes, declared);
    if (map.encoding == XmlEncoding::Multibyte) {
        map.multibyte = MultibyteName(declared);
        if (!IsValidCodePage(MultibyteCodePage(map.multibyte))) return FILEIO_NOT_REWRITABLE;
    }
    if (map.encoding == XmlEncoding::SingleByte) {
        const UINT codePage = CodePageOf(declared);
        if (codePage == 0) return FILEIO_NOT_REWRITABLE;
        for (int byte = 0; byte < 256; ++byte) {
            const char in = static_cast<char>(byte);
            wchar_t out = 0;
            map.charOfByte[byte] = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &in, 1, &out, 1) == 1 ? out : -1;
        }
    }
    CLSID readerClass;
    Com<ISAXXMLReader> reader;
    if (FAILED(CLSIDFromProgID(L"Msxml2.SAXXMLReader.3.0", &readerClass)) ||
        FAILED(CoCreateInstance(readerClass, nullptr, CLSCTX_INPROC_SERVER, kSaxReaderIid,
                                reinterpret_cast<void**>(reader.out()))) || !reader) {
        return FILEIO_OUT_OF_MEMORY;
    }
    // Nothing outside the file is fetched.
    reader->putFeature(L"external-general-entities", VARIANT_FALSE);
    reader->putFeature(L"external-parameter-entities", VARIANT_FALSE);
    SaxMapper mapper(sections, map);
    if (FAILED(reader->putContentHandler(&mapper))) return FILEIO_OUT_OF_MEMORY;
    Com<IStream> stream;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (memory == nullptr) return FILEIO_OUT_OF_MEMORY;
    if (void* data = GlobalLock(memory)) {
        std::memcpy(data, bytes.data(), bytes.size());
        GlobalUnlock(memory);
    }
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, stream.out()))) {
        GlobalFree(memory);
        return FILEIO_OUT_OF_MEMORY;
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_UNKNOWN;
    source.punkVal = stream.get();
    // An East Asian file goes to the reader as the text its code page gives: readers without that
    // encoding of their own (wine's) read it too, and a string's declared encoding is not looked at.
    Bstr text;
    if (map.encoding == XmlEncoding::Multibyte) {
        Decoded decoded;
        if (!Decode(bytes, map, decoded)) return FILEIO_NOT_WELL_FORMED;
        // Readers that look at the declaration of a string anyway are told what it now is.
        const size_t end = decoded.text.find(L"?>");
        const size_t name = decoded.text.find(L"encoding", 0);
        const size_t open = name < end ? decoded.text.find_first_of(L"\"'", name) : std::wstring::npos;
        const size_t close = open < end ? decoded.text.find(decoded.text[open], open + 1) : std::wstring::npos;
        if (close < end) decoded.text.replace(open + 1, close - open - 1, L"UTF-16");
        *text.out() = SysAllocStringLen(decoded.text.data(), static_cast<UINT>(decoded.text.size()));
        if (text.get() == nullptr) return FILEIO_OUT_OF_MEMORY;
        source.vt = VT_BSTR;
        source.bstrVal = text.get();
    }
    const HRESULT hr = reader->parse(source);
    reader->putContentHandler(nullptr);  // the handler lives on this stack
    if (FAILED(hr)) return hr == E_OUTOFMEMORY ? FILEIO_OUT_OF_MEMORY : FILEIO_NOT_WELL_FORMED;
    return mapper.Build(bytes);
}

bool EncodeMultibyte(const XmlMap& map, char32_t c, std::string& out) {
    if (c >= 0x10000) return false;
    const UINT page = MultibyteCodePage(map.multibyte);
    const wchar_t wide = static_cast<wchar_t>(c);
    char bytes[4];
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, &wide, 1, bytes, sizeof bytes, nullptr, &lossy);
    wchar_t back = 0;
    if (n <= 0 || lossy || MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes, n, &back, 1) != 1 || back != wide) return false;
    out.append(bytes, static_cast<size_t>(n));
    return true;
}

std::u32string NarrowChars(const std::string& text) {
    const std::wstring wide = Widen(text);
    std::u32string chars;
    for (size_t i = 0; i < wide.size(); ++i) {
        const char32_t c = wide[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide.size()) {
            chars += 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        } else {
            chars += c;
        }
    }
    return chars;
}

}  // namespace platform
