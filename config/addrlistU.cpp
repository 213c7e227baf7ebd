#include "config/addrlistU.h"

#include "config/legacyreadU.h"
#include "config/textcaseU.h"
#include "core/commonsU.h"
#include "core/mailmsgU.h"
#include "core/streamU.h"
#include "platform/atomicfile.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace bm {

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Byte length of the UTF-8 sequence that starts s, never beyond the end of
// s; a stray continuation or invalid lead byte counts as one character.
std::size_t CharLength(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t len = 1;
    if (lead >= 0xF0 && lead < 0xF8)
        len = 4;
    else if (lead >= 0xE0)
        len = lead < 0xF0 ? 3 : 1;
    else if (lead >= 0xC0)
        len = 2;
    return std::min(len, s.size());
}

bool IsWildcard(char c) {
    return c == '?' || c == '+' || c == '*';
}

// The wildcard walk on an address that is already lower case.
bool WildcardMatchLowered(std::string_view address, std::string_view pattern) {
    while (!pattern.empty() && !address.empty()) {
        const char c = pattern[0];
        if (c == '?') {
            pattern.remove_prefix(1);
            address.remove_prefix(CharLength(address));
            continue;
        }
        if (c != '*' && c != '+')
            break;
        if (pattern.size() == 1)
            return true; // the rest matches
        pattern.remove_prefix(1);
        if (IsWildcard(pattern[0]))
            continue;
        const std::string_view next = pattern.substr(0, CharLength(pattern));
        const std::size_t at = address.find(next);
        if (at == std::string_view::npos)
            break;
        // "+" wants at least one character before the occurrence. Stopping here
        // would compare "@example.com" with itself and let "+@example.com"
        // match an empty local part, so this stop is a failure outright.
        if (c == '+' && at == 0)
            return false;
        pattern.remove_prefix(next.size());
        address.remove_prefix(at + next.size());
    }
    return address == pattern;
}

// A stored entry is one line of the text file: line breaks cannot be kept.
std::string WithoutLineBreaks(std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

std::string ReadFileOrThrow(const std::filesystem::path& file) {
    std::string bytes;
    if (!ReadWholeFile(file, bytes))
        throw std::runtime_error("Cannot read file " + file.string());
    return bytes;
}

std::vector<std::string> Split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start)
            pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

} // namespace

// --- Matching rules ------------------------------------------------------------

bool TAddressList::WildcardMatch(const std::string& address, const std::string& pattern) {
    return WildcardMatchLowered(LowerText(address), pattern);
}

int TAddressList::CheckAddressForm(const std::string& text) {
    if (text == "*")
        return 0;
    const std::vector<std::string> parts = Split(text, '@');
    if (parts.size() != 2)
        return 1;
    if (Split(parts[1], '.').size() < 2)
        return 2;
    return 0;
}

std::string TAddressList::AddressFormMessage(int result) {
    switch (result) {
    case 1:
        return "Must contain an @ sign";
    case 2:
        return "Must have a . to the right of the @";
    default:
        return "";
    }
}

bool TAddressList::HasWildcards(const std::string& text) {
    return text.find_first_of("?+*") != std::string::npos;
}

// --- Files ---------------------------------------------------------------------

std::filesystem::path TAddressList::DefaultFileName() const {
    return GetDataFolder() / (BaseName() + ".txt");
}

void TAddressList::LoadFromFile(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    const std::filesystem::path legacy = LegacyFileName(file);
    entries_.clear();
    std::error_code ec;
    if (std::filesystem::exists(legacy, ec)) {
        ReadLegacy(ReadFileOrThrow(legacy));
        SaveToFile(file);
        std::filesystem::remove(legacy, ec);
    } else if (std::filesystem::exists(file, ec)) {
        ReadText(ReadFileOrThrow(file));
    }
    modified_ = false;
}

void TAddressList::ReadText(const std::string& bytes) {
    // Lines end in CR LF; a hand-edited file with bare LF or CR reads the same.
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        const std::string line = bytes.substr(start, end - start);
        start = end + 1;
        if (end + 1 < bytes.size() && bytes[end] == '\r' && bytes[end + 1] == '\n')
            ++start;
        if (line.empty())
            continue;
        if (line[0] == '+')
            InsertSorted({line.substr(1), true});
        else if (line[0] == ' ')
            InsertSorted({line.substr(1), false});
        else
            InsertSorted({line, false});
    }
}

void TAddressList::ReadLegacy(const std::string& bytes) {
    TByteReader reader(bytes);
    const bool lowerCase = CompareVersions(ReadVersion(reader), "1.0") <= 0;
    ReadLegacyRecords(reader, [&] {
        std::string text = ReadRecordString(reader, bytes);
        const bool active = ReadBool(reader);
        InsertSorted({WithoutLineBreaks(lowerCase ? LowerText(text) : text), active});
    });
}

std::string TAddressList::WriteText() const {
    std::string out;
    for (const TSlot& slot : entries_) {
        out += slot.Entry.Active ? '+' : ' ';
        out += slot.Entry.Text;
        out += "\r\n";
    }
    return out;
}

void TAddressList::SaveToFile(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    WriteFileAtomic(file, WriteText());
    modified_ = false;
}

void TAddressList::SaveIfModified(const std::filesystem::path& fileName) {
    Lock lock(mutex_);
    if (modified_)
        SaveToFile(fileName);
}

// --- Entries -------------------------------------------------------------------

std::size_t TAddressList::FindSlot(const std::string& key, bool& found) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                     [](const TSlot& s, const std::string& k) { return s.Key < k; });
    found = it != entries_.end() && it->Key == key;
    return static_cast<std::size_t>(it - entries_.begin());
}

bool TAddressList::InsertSorted(TAddressEntry entry) {
    std::string key = LowerText(entry.Text);
    bool found = false;
    const std::size_t at = FindSlot(key, found);
    if (found)
        return false;
    entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(at),
                    TSlot{std::move(key), std::move(entry)});
    return true;
}

int TAddressList::Count() const {
    Lock lock(mutex_);
    return static_cast<int>(entries_.size());
}

TAddressEntry TAddressList::Item(int index) const {
    Lock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size())
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    return entries_[static_cast<std::size_t>(index)].Entry;
}

std::vector<TAddressEntry> TAddressList::Entries() const {
    Lock lock(mutex_);
    std::vector<TAddressEntry> out;
    out.reserve(entries_.size());
    for (const TSlot& slot : entries_)
        out.push_back(slot.Entry);
    return out;
}

bool TAddressList::Add(const std::string& text, bool active) {
    Lock lock(mutex_);
    if (!InsertSorted({WithoutLineBreaks(text), active}))
        return false;
    modified_ = true;
    return true;
}

bool TAddressList::AddAddress(const std::string& address) {
    return Add(LowerText(address), true);
}

void TAddressList::Delete(int index) {
    Lock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size())
        return;
    entries_.erase(entries_.begin() + index);
    modified_ = true;
}

void TAddressList::Clear() {
    Lock lock(mutex_);
    entries_.clear();
    modified_ = true;
}

int TAddressList::IndexOf(const std::string& text) const {
    Lock lock(mutex_);
    bool found = false;
    const std::size_t at = FindSlot(LowerText(text), found);
    return found ? static_cast<int>(at) : -1;
}

void TAddressList::SetActive(int index, bool active) {
    Lock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size())
        return;
    TAddressEntry& entry = entries_[static_cast<std::size_t>(index)].Entry;
    if (entry.Active == active)
        return;
    entry.Active = active;
    modified_ = true;
}

void TAddressList::SetText(int index, const std::string& text) {
    Lock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= entries_.size())
        return;
    const std::string clean = WithoutLineBreaks(text);
    TAddressEntry& entry = entries_[static_cast<std::size_t>(index)].Entry;
    if (entry.Text == clean)
        return;
    const bool active = entry.Active;
    entries_.erase(entries_.begin() + index);
    InsertSorted({clean, active});
    modified_ = true;
}

bool TAddressList::Modified() const {
    Lock lock(mutex_);
    return modified_;
}

void TAddressList::SetModified(bool modified) {
    Lock lock(mutex_);
    modified_ = modified;
}

// --- Matching a message --------------------------------------------------------

bool TAddressList::MatchesAny(const std::vector<std::string>& addresses) const {
    // An absent address (an empty Sender) is no address and matches nothing.
    std::vector<std::string> lowered;
    for (const std::string& a : addresses)
        if (!a.empty())
            lowered.push_back(LowerText(a));
    Lock lock(mutex_);
    for (const TSlot& slot : entries_) {
        if (!slot.Entry.Active)
            continue;
        for (const std::string& a : lowered)
            if (WildcardMatchLowered(a, slot.Entry.Text))
                return true;
    }
    return false;
}

bool TAddressList::Matches(const TMailMessage& message) const {
    std::vector<std::string> addresses;
    for (const TMailAddress& item : message.FromList)
        addresses.push_back(item.Address);
    addresses.push_back(message.Sender.Address);
    for (const TMailAddress& item : message.ReplyTo)
        addresses.push_back(item.Address);
    return MatchesAny(addresses);
}

// --- Process-wide lists --------------------------------------------------------

TWhiteList& WhiteList() {
    static TWhiteList list;
    return list;
}

TBlackList& BlackList() {
    static TBlackList list;
    return list;
}

} // namespace bm
