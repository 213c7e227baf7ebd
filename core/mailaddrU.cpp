// Address items and lists in header form, and the header-line list.

#include "core/mailmsgimpl.h"

#include <cstring>

namespace bm {

using mailimpl::EqualsNoCase;
using mailimpl::TrimBlanks;

namespace {

// Characters a display name may hold without quotes: ASCII letters, digits,
// blank and the atom specials of RFC 5322 section 3.2.3 except "^".
bool IsPlainNameChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ')
        return true;
    return c != '\0' && std::strchr("!#$%&'*+-/=?_`{|}~", c) != nullptr;
}

std::string QuoteName(std::string_view name) {
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

// Scans text keeping track of quoted strings, comments and backslash
// escapes (RFC 5322 section 3.2); calls fn(index, char) for every character
// that stands at the top level, outside quotes and comments.
template <typename Fn>
void ForEachTopLevel(std::string_view text, Fn fn) {
    bool quoted = false;
    int depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++i; // the next character is quoted, whatever it is
            continue;
        }
        if (quoted) {
            quoted = c != '"';
        } else if (c == '"' && depth == 0) {
            quoted = true;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && depth > 0) {
            --depth;
        } else if (depth == 0) {
            if (!fn(i, c)) return;
        }
    }
}

// The text with the quote marks of quoted strings removed and backslash
// escapes undone.
std::string Unquote(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size()) out += text[++i];
        else if (c != '"') out += c;
    }
    return out;
}

// Drops a group name "name:" that stands before the address (RFC 5322
// section 3.4), so "Friends: a@b" reads as a@b.
std::string_view DropGroupName(std::string_view text) {
    std::size_t colon = std::string_view::npos;
    ForEachTopLevel(text, [&](std::size_t i, char c) {
        if (c == '<' || c == '@') return false;
        if (c == ':') {
            colon = i;
            return false;
        }
        return true;
    });
    return colon == std::string_view::npos ? text : TrimBlanks(text.substr(colon + 1));
}

std::size_t FindTopLevel(std::string_view text, char wanted) {
    std::size_t found = std::string_view::npos;
    ForEachTopLevel(text, [&](std::size_t i, char c) {
        if (c != wanted) return true;
        found = i;
        return false;
    });
    return found;
}

} // namespace

std::string TMailAddress::GetText() const {
    // A bare address holding a colon would read back as a group name and
    // its member; in angle brackets it reads back whole.
    if (Name.empty()) return DropGroupName(Address).size() == Address.size() ? Address : "<" + Address + ">";
    bool plain = true;
    for (const char c : Name) plain = plain && IsPlainNameChar(c);
    return (plain ? Name : QuoteName(Name)) + " <" + Address + ">";
}

void TMailAddress::SetText(std::string_view text) {
    Name.clear();
    Address.clear();
    text = DropGroupName(TrimBlanks(text));
    const std::size_t open = FindTopLevel(text, '<');
    if (open != std::string_view::npos) {
        Name = TrimBlanks(Unquote(TrimBlanks(text.substr(0, open))));
        std::string_view rest = text.substr(open + 1);
        rest = rest.substr(0, rest.find('>'));
        Address = TrimBlanks(rest);
        return;
    }
    // "addr (Name)": the trailing comment is the display name.
    if (!text.empty() && text.back() == ')') {
        const std::size_t paren = text.find('(');
        if (paren != std::string_view::npos && paren > 0) {
            Address = TrimBlanks(text.substr(0, paren));
            Name = TrimBlanks(Unquote(text.substr(paren + 1, text.size() - paren - 2)));
            return;
        }
    }
    Address = text;
}

TMailAddress& TMailAddressList::Add() {
    items_.emplace_back();
    return items_.back();
}

void TMailAddressList::Add(const TMailAddress& item) { items_.push_back(item); }

void TMailAddressList::Delete(std::size_t index) {
    if (index < items_.size()) items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
}

namespace {

void AddItem(std::vector<TMailAddress>& items, std::string_view text) {
    text = TrimBlanks(text);
    if (text.empty() || text == "<>") return;
    TMailAddress item;
    item.SetText(text);
    if (item.Name.empty() && item.Address.empty()) return;
    items.push_back(std::move(item));
}

} // namespace

void TMailAddressList::SetFromText(std::string_view text) {
    items_.clear();
    if (text.find_first_of(":;()\",\t ") == std::string_view::npos) {
        AddItem(items_, text);
        return;
    }
    std::size_t start = 0;
    ForEachTopLevel(text, [&](std::size_t i, char c) {
        if (c == ',' || c == ';') {
            AddItem(items_, text.substr(start, i - start));
            start = i + 1;
        }
        return true;
    });
    if (start < text.size()) AddItem(items_, text.substr(start));
}

std::string TMailAddressList::GetListText() const {
    std::string out;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (i > 0) out += ", ";
        out += items_[i].GetText();
    }
    return out;
}

// --- Header lines ----------------------------------------------------------------

std::vector<std::string> THeaderList::Values(std::string_view name) const {
    std::vector<std::string> values;
    for (const THeaderLine& line : Lines)
        if (EqualsNoCase(line.Name, name)) values.push_back(line.Value);
    return values;
}

std::string THeaderList::Value(std::string_view name) const {
    for (const THeaderLine& line : Lines)
        if (EqualsNoCase(line.Name, name)) return line.Value;
    return {};
}

std::string THeaderList::Text() const {
    std::string out;
    for (const THeaderLine& line : Lines) {
        out += line.Name;
        out += ": ";
        out += line.Value;
        out += "\r\n";
    }
    return out;
}

void THeaderList::Add(std::string name, std::string value) {
    Lines.push_back({std::move(name), std::move(value)});
}

} // namespace bm
