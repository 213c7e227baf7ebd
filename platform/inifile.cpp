#include "platform/inifile.h"

#include "platform/atomicfile.h"

#include <charconv>
#include <cstdint>

namespace bm {

namespace {

const std::string kBlanks = " \t";

std::string Trim(const std::string& s)
{
    std::size_t b = s.find_first_not_of(kBlanks);
    if (b == std::string::npos)
        return {};
    std::size_t e = s.find_last_not_of(kBlanks);
    return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// The section name of a header line "[name]", or false for any other line.
bool HeaderName(const std::string& line, std::string& name)
{
    std::string t = Trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    std::size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

// The key name and raw value of a key line; false for comments and lines
// without "=".
bool KeyLine(const std::string& line, std::string& key, std::string& value)
{
    std::string t = Trim(line);
    if (t.empty() || t.front() == ';')
        return false;
    std::size_t eq = t.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

// GetPrivateProfileString drops one pair of enclosing quotes.
std::string Unquote(const std::string& v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

std::string OneLine(std::string s)
{
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return s;
}

bool IsBlank(const std::string& line)
{
    return Trim(line).empty();
}

// Delphi's StrToIntDef as TIniFile.ReadInteger uses it: decimal, "$hex" or "0xhex".
bool ParseInt(const std::string& text, int& out)
{
    std::string s = Trim(text);
    bool negative = !s.empty() && (s[0] == '-' || s[0] == '+');
    bool minus = negative && s[0] == '-';
    if (negative)
        s.erase(0, 1);
    int base = 10;
    if (!s.empty() && s[0] == '$') {
        base = 16;
        s.erase(0, 1);
    } else if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.erase(0, 2);
    }
    if (s.empty())
        return false;
    std::uint64_t magnitude = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size())
        return false;
    // Hexadecimal spells the 32-bit pattern ($FFFFFFFF is -1), as in Delphi.
    if (base == 16 && !minus && magnitude <= 0xFFFFFFFFull) {
        out = static_cast<int>(static_cast<std::uint32_t>(magnitude));
        return true;
    }
    std::int64_t v = minus ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    if (magnitude > 0x80000000ull || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

TIniFile::TIniFile(std::filesystem::path file)
    : file_(std::move(file))
{
    Reload();
}

void TIniFile::Reload()
{
    lines_.clear();
    modified_ = false;
    std::string bytes;
    if (!ReadWholeFile(file_, bytes))
        return;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t nl = bytes.find('\n', start);
        std::string line = bytes.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines_.push_back(line);
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
}

bool TIniFile::FindSection(const std::string& section, std::size_t& header, std::size_t& end) const
{
    std::string name;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (!HeaderName(lines_[i], name) || !SameName(name, Trim(section)))
            continue;
        header = i;
        end = i + 1;
        while (end < lines_.size() && !HeaderName(lines_[end], name))
            ++end;
        return true;
    }
    return false;
}

std::size_t TIniFile::FindKey(std::size_t header, std::size_t end, const std::string& key) const
{
    std::string k, v;
    for (std::size_t i = header + 1; i < end; ++i)
        if (KeyLine(lines_[i], k, v) && SameName(k, Trim(key)))
            return i;
    return std::string::npos;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const
{
    std::size_t header, end;
    if (!FindSection(section, header, end))
        return def;
    std::size_t at = FindKey(header, end, key);
    if (at == std::string::npos)
        return def;
    std::string k, v;
    KeyLine(lines_[at], k, v);
    return Unquote(v);
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const
{
    int value = def;
    return ParseInt(ReadString(section, key, std::string()), value) ? value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const
{
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    std::string sec = OneLine(Trim(section)), name = OneLine(Trim(key)), val = OneLine(value);
    std::size_t header, end;
    if (!FindSection(sec, header, end)) {
        if (!lines_.empty() && !IsBlank(lines_.back()))
            lines_.push_back(std::string());
        lines_.push_back("[" + sec + "]");
        lines_.push_back(name + "=" + val);
        modified_ = true;
        return;
    }
    std::size_t at = FindKey(header, end, name);
    if (at != std::string::npos) {
        std::string k, v;
        KeyLine(lines_[at], k, v);
        std::string line = k + "=" + val;
        if (line != lines_[at]) {
            lines_[at] = line;
            modified_ = true;
        }
        return;
    }
    // After the section's last non-blank line, so the blank line that
    // separates it from the next section stays a separator.
    std::size_t insert = end;
    while (insert > header + 1 && IsBlank(lines_[insert - 1]))
        --insert;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert), name + "=" + val);
    modified_ = true;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(const std::string& section) const
{
    std::size_t header, end;
    return FindSection(section, header, end);
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const
{
    std::size_t header, end;
    return FindSection(section, header, end) && FindKey(header, end, key) != std::string::npos;
}

std::vector<std::string> TIniFile::ReadSections() const
{
    std::vector<std::string> names;
    std::string name;
    for (const auto& line : lines_) {
        if (!HeaderName(line, name))
            continue;
        bool seen = false;
        for (const auto& n : names)
            seen = seen || SameName(n, name);
        if (!seen)
            names.push_back(name);
    }
    return names;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(const std::string& section) const
{
    std::vector<std::pair<std::string, std::string>> pairs;
    std::size_t header, end;
    if (!FindSection(section, header, end))
        return pairs;
    std::string k, v;
    for (std::size_t i = header + 1; i < end; ++i) {
        if (!KeyLine(lines_[i], k, v))
            continue;
        bool seen = false;
        for (const auto& p : pairs)
            seen = seen || SameName(p.first, k);
        if (!seen)
            pairs.emplace_back(k, Unquote(v));
    }
    return pairs;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const
{
    std::vector<std::string> keys;
    for (auto& p : ReadSectionValues(section))
        keys.push_back(p.first);
    return keys;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key)
{
    std::size_t header, end;
    if (!FindSection(section, header, end))
        return;
    std::size_t at = FindKey(header, end, key);
    if (at == std::string::npos)
        return;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(at));
    modified_ = true;
}

void TIniFile::EraseSection(const std::string& section)
{
    std::size_t header, end;
    if (!FindSection(section, header, end))
        return;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
    modified_ = true;
}

void TIniFile::UpdateFile()
{
    if (!modified_)
        return;
    std::string bytes;
    for (const auto& line : lines_)
        bytes += line + "\r\n";
    try {
        WriteFileAtomic(file_, bytes);
    } catch (const EAtomicWriteError& e) {
        throw EIniFileError(e.what());
    }
    modified_ = false;
}

std::string IniReadString(const std::filesystem::path& file, const std::string& section,
                          const std::string& key, const std::string& def)
{
    return TIniFile(file).ReadString(section, key, def);
}

void IniWriteString(const std::filesystem::path& file, const std::string& section,
                    const std::string& key, const std::string& value)
{
    TIniFile ini(file);
    ini.WriteString(section, key, value);
    ini.UpdateFile();
}

} // namespace bm
