#include "core/myxml.h"

#include "platform/atomicfile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace bm {

namespace {

// The characters the reader keeps outside CDATA sections: 32 to 127 and the
// Latin-1 letters that the stored files have always been able to carry. Everything else
// (CR, LF, TAB, most of Latin-1) is dropped, which is why writers wrap texts
// that may hold such bytes in CDATA.
constexpr std::array<bool, 256> MakeCharSet()
{
    std::array<bool, 256> set{};
    for (int c = 32; c <= 127; ++c)
        set[c] = true;
    constexpr int latin1[] = {193, 194, 195, 199, 201, 202, 205, 206, 211, 212, 213, 218, 219,
                              225, 226, 227, 231, 233, 234, 237, 238, 243, 244, 245, 250, 251};
    for (int c : latin1)
        set[c] = true;
    return set;
}

constexpr std::array<bool, 256> CharSet = MakeCharSet();

constexpr std::string_view CDataOpen = "<![CDATA[";
constexpr std::string_view CDataClose = "]]>";

// Length of the valid UTF-8 sequence of two or more bytes at `pos`, with its
// code point; 0 when the bytes there are not one (a Latin-1 byte, for example).
std::size_t Utf8Sequence(std::string_view text, std::size_t pos, std::uint32_t& cp)
{
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2, cp = lead & 0x1Fu, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3, cp = lead & 0x0Fu, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4, cp = lead & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - pos < len)
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        const unsigned char c = static_cast<unsigned char>(text[pos + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// The character at `pos`: its length in bytes, and whether the reader keeps it.
// The set is one of characters, so a UTF-8 sequence (what this program writes)
// is kept or dropped whole by its code point, never cut in half; any other byte
// is judged as the Latin-1 character it has always stood for.
std::size_t NextChar(std::string_view text, std::size_t pos, bool& keep)
{
    std::uint32_t cp = 0;
    if (const std::size_t len = Utf8Sequence(text, pos, cp)) {
        keep = cp < CharSet.size() && CharSet[cp];
        return len;
    }
    keep = CharSet[static_cast<unsigned char>(text[pos])];
    return 1;
}

struct Token {
    bool isTag;
    std::string text;
};

bool IsBlankOrControl(unsigned char ch) { return ch <= 32; }

// A token counts only if, trimmed of blanks and control characters, it is not
// empty and is not the "<?xml ...?>" declaration; it is kept untrimmed.
void Emit(std::vector<Token>& tokens, bool isTag, std::string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlankOrControl(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && IsBlankOrControl(static_cast<unsigned char>(text[last - 1])))
        --last;
    const std::string_view trimmed(text.data() + first, last - first);
    if (!trimmed.empty() && !trimmed.starts_with("?xml"))
        tokens.push_back({isTag, std::move(text)});
    text.clear();
}

bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view prefix)
{
    if (text.size() - pos < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const unsigned char a = static_cast<unsigned char>(text[pos + i]);
        const unsigned char b = static_cast<unsigned char>(prefix[i]);
        if (std::tolower(a) != std::tolower(b))
            return false;
    }
    return true;
}

// Splits the document into tag and text tokens. An unterminated CDATA section
// takes the rest of the input; no closing tag can follow it, so it can only
// succeed after the document element has been closed.
void Tokenise(std::string_view input, std::vector<Token>& tokens)
{
    std::string pending;
    bool inTag = false;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const char ch = input[i];
        if (static_cast<unsigned char>(ch) >= 0x80) {
            bool keep = false;
            const std::size_t len = NextChar(input, i, keep);
            if (keep)
                pending.append(input.substr(i, len));
            i += len - 1;
            continue;
        }
        if (!CharSet[static_cast<unsigned char>(ch)])
            continue;
        if (inTag) {
            if (ch == '>') {
                Emit(tokens, true, pending);
                inTag = false;
            } else {
                pending += ch;
            }
        } else if (ch != '<') {
            pending += ch;
        } else if (StartsWithNoCase(input, i, CDataOpen)) {
            const std::size_t start = i + CDataOpen.size();
            const std::size_t end = std::min(input.find(CDataClose, start), input.size());
            pending.append(input.substr(start, end - start));
            i = std::min(end + CDataClose.size(), input.size()) - 1;
        } else {
            Emit(tokens, false, pending);
            inTag = true;
        }
    }
    if (!inTag)
        Emit(tokens, false, pending);
}

// Builds the document element under `root` from the tokens, without recursion.
// False when the tokens run out before the document element is closed, or when
// nesting exceeds maxDepth.
bool BuildTree(std::vector<Token>& tokens, TElementDocXML& root, std::size_t maxDepth)
{
    std::vector<TElementDocXML*> path{&root};
    std::size_t i = 0;
    while (i < tokens.size() && !tokens[i].isTag)
        ++i; // building starts at the first tag
    for (; i < tokens.size(); ++i) {
        Token& token = tokens[i];
        TElementDocXML* current = path.back();
        if (!token.isTag) {
            current->Text = std::move(token.text);
        } else if (path.size() > 1 && token.text.size() == current->Name.size() + 1 &&
                   token.text[0] == '/' && token.text.compare(1, std::string::npos, current->Name) == 0) {
            path.pop_back();
            if (path.size() == 1)
                return true; // only the document element is read
        } else {
            if (path.size() > maxDepth)
                return false;
            path.push_back(TSimploXML::AddChild(current, token.text));
        }
    }
    return false;
}

void WriteElements(const TElementDocXML& top, std::string& out)
{
    // Explicit stack: (element, depth, closing?) so that a deep tree built in code
    // cannot exhaust the call stack.
    struct Step {
        const TElementDocXML* element;
        std::size_t depth;
        bool closing;
    };
    std::vector<Step> stack{{&top, 0, false}};
    while (!stack.empty()) {
        const Step step = stack.back();
        stack.pop_back();
        const TElementDocXML& e = *step.element;
        out.append(step.depth, '\t');
        if (step.closing) {
            out += "</" + e.Name + ">\r\n";
            continue;
        }
        out += "<" + e.Name + ">";
        if (!e.Text.empty()) {
            out += e.Text + "</" + e.Name + ">\r\n";
            continue;
        }
        out += "\r\n";
        stack.push_back({&e, step.depth, true});
        for (auto it = e.Children.rbegin(); it != e.Children.rend(); ++it)
            stack.push_back({it->get(), step.depth + 1, false});
    }
}

} // namespace

TSimploXML::TSimploXML() : root_(std::make_unique<TElementDocXML>()) {}

TSimploXML::~TSimploXML()
{
    Clear();
}

void TSimploXML::Clear()
{
    // Children are taken out level by level so that freeing a deep tree does not
    // recurse once per level through the unique_ptr destructors.
    std::vector<std::unique_ptr<TElementDocXML>> pending = std::move(root_->Children);
    root_->Children.clear();
    root_->Text.clear();
    while (!pending.empty()) {
        std::unique_ptr<TElementDocXML> e = std::move(pending.back());
        pending.pop_back();
        for (auto& child : e->Children)
            pending.push_back(std::move(child));
    }
}

TElementDocXML* TSimploXML::New(const std::string& name)
{
    Clear();
    return AddChild(root_.get(), name);
}

TElementDocXML* TSimploXML::DocumentElement() const
{
    return root_->Children.empty() ? nullptr : root_->Children.front().get();
}

TElementDocXML* TSimploXML::AddChild(TElementDocXML* element, const std::string& name)
{
    auto child = std::make_unique<TElementDocXML>();
    child->Name = name;
    element->Children.push_back(std::move(child));
    return element->Children.back().get();
}

std::vector<TElementDocXML*> TSimploXML::FindChildren(const TElementDocXML* element,
                                                      const std::string& name)
{
    std::vector<TElementDocXML*> found;
    if (element == nullptr)
        return found;
    for (const auto& child : element->Children)
        if (child->Name == name)
            found.push_back(child.get());
    return found;
}

void TSimploXML::Fail()
{
    Clear();
    if (OnXMLError)
        OnXMLError(*this);
}

bool TSimploXML::LoadFromFile(const std::filesystem::path& fileName)
{
    std::string bytes;
    bool read = false;
    try {
        read = ReadWholeFile(fileName, bytes);
    } catch (const std::exception&) {
        read = false; // out of memory on a huge file
    }
    if (!read) {
        Fail();
        return false;
    }
    return LoadFromString(bytes);
}

bool TSimploXML::LoadFromString(const std::string& text)
{
    Clear();
    bool ok = false;
    try {
        std::vector<Token> tokens;
        Tokenise(text, tokens);
        ok = BuildTree(tokens, *root_, MaxDepth);
    } catch (const std::exception&) {
        ok = false; // out of memory on a huge document: fail like any bad document
    }
    if (!ok)
        Fail();
    return ok;
}

std::string TMyXML::SaveToString() const
{
    std::string out = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n";
    if (const TElementDocXML* doc = DocumentElement())
        WriteElements(*doc, out);
    return out;
}

void TMyXML::SaveToFile(const std::filesystem::path& fileName) const
{
    WriteFileAtomic(fileName, SaveToString());
}

TElementDocXML* TMyXML::FindChild(const TElementDocXML* element, const std::string& name)
{
    if (element == nullptr)
        return nullptr;
    for (const auto& child : element->Children)
        if (child->Name == name)
            return child.get();
    return nullptr;
}

std::string TMyXML::ChildText(const TElementDocXML* element, const std::string& name)
{
    const TElementDocXML* child = FindChild(element, name);
    return child ? child->Text : std::string();
}

bool TMyXML::ChildIsYes(const TElementDocXML* element, const std::string& name)
{
    const TElementDocXML* child = FindChild(element, name);
    return child != nullptr && child->Text == "Yes";
}

TElementDocXML* TMyXML::AddTextChild(TElementDocXML* element, const std::string& name,
                                     const std::string& text)
{
    TElementDocXML* child = AddChild(element, name);
    child->Text = text;
    return child;
}

TElementDocXML* TMyXML::AddBoolChild(TElementDocXML* element, const std::string& name, bool value)
{
    return AddTextChild(element, name, value ? "Yes" : "No");
}

std::string TMyXML::CData(const std::string& text)
{
    std::string out(CDataOpen);
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(CDataClose, from)) != std::string::npos; from = at + 2) {
        out.append(text, from, at + 2 - from); // up to and including "]]"
        out += "]]><![CDATA[";
    }
    out.append(text, from, std::string::npos);
    out += CDataClose;
    return out;
}

} // namespace bm
