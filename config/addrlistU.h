#pragma once
// The Friends list (TWhiteList) and the blacklist (TBlackList): sorted lists of
// entries, each an exact address or a wildcard expression, each active or not.
//
// Stored as base name + ".txt" in the data folder (whitelist.txt,
// blacklist.txt): one entry per line, CR LF line ends, list order, each line a
// marker ("+" active, " " inactive) followed by the entry's text. An older
// base name + ".dat" (binary record encoding) is read once, converted and
// deleted.
//
// Threads: the process-wide lists are read by the checker thread and changed
// by the main thread, the checker thread, the local SMTP server and the
// cleaner. Every member takes the list's own lock; Matches holds it for the
// whole walk. Indexes are only stable while the caller holds Mutex().

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace bm {

class TMailMessage;

struct TAddressEntry {
    std::string Text;
    bool Active = true;
    bool operator==(const TAddressEntry&) const = default;
};

class TAddressList {
public:
    TAddressList() = default;
    virtual ~TAddressList() = default;
    TAddressList(const TAddressList&) = delete;
    TAddressList& operator=(const TAddressList&) = delete;

    // "whitelist" or "blacklist": the base name of the list's files.
    virtual std::string BaseName() const = 0;
    // BaseName() + ".txt" in the data folder.
    std::filesystem::path DefaultFileName() const;

    // Loads the list; an empty name means DefaultFileName(). The ".dat" file
    // of the same base name, when it exists, wins: it is read (up to its end,
    // never past it), the text file is written and the ".dat" deleted.
    // Otherwise the text file is read, or the list left empty. Texts read from
    // the text file keep their letter case. Clears Modified.
    // Throws std::runtime_error when the converted text file cannot be written.
    void LoadFromFile(const std::filesystem::path& fileName = {});
    // Replaces the text file atomically (temporary, fsync, rename) and clears
    // Modified. Throws std::runtime_error naming the file when it cannot be
    // written; the old file is then unchanged.
    void SaveToFile(const std::filesystem::path& fileName = {});
    // SaveToFile(fileName) when Modified is set; the program's exit path.
    void SaveIfModified(const std::filesystem::path& fileName = {});

    int Count() const;
    // The entry at `index`; throws std::out_of_range when there is none.
    TAddressEntry Item(int index) const;
    std::string Text(int index) const { return Item(index).Text; }
    bool Active(int index) const { return Item(index).Active; }
    // A copy of every entry in list order.
    std::vector<TAddressEntry> Entries() const;

    // Inserts `text` at its sorted place and sets Modified; a text already
    // present in any letter case adds nothing. The text is stored as given:
    // callers that add an address lower-case it first (AddAddress does).
    // Returns true when an entry was added.
    bool Add(const std::string& text, bool active = true);
    // Add(lower-cased address, active): the form every part of the program
    // that adds a sender or recipient uses.
    bool AddAddress(const std::string& address);
    // Removes the entry at `index` and sets Modified; ignored when out of range.
    void Delete(int index);
    // Removes every entry and sets Modified.
    void Clear();
    // Index of the entry equal to `text` ignoring letter case, or -1.
    int IndexOf(const std::string& text) const;
    // Sets Modified only when the flag changes.
    void SetActive(int index, bool active);
    // When `text` differs from the entry's text (case-sensitive), replaces the
    // entry by one with the new text and the same flag, keeping the list sorted
    // (a text present elsewhere in any case adds nothing), and sets Modified.
    void SetText(int index, const std::string& text);

    // True when an active entry matches (WildcardMatch) the Address of any
    // From item, the Sender or any Reply-To item of the message.
    bool Matches(const TMailMessage& message) const;
    // The same walk over the given addresses, in the order given.
    bool MatchesAny(const std::vector<std::string>& addresses) const;

    bool Modified() const;
    void SetModified(bool modified);

    std::recursive_mutex& Mutex() const { return mutex_; }

    // The wildcard rule. The address is lower-cased, the pattern used as given.
    // "?" takes one character; "*" as the pattern's last character takes the
    // rest; otherwise "*" (and "+", which needs at least one character before
    // the occurrence, else the match fails) jumps to the FIRST occurrence of
    // the next pattern character, or another wildcard follows at once; "?"
    // and the occurrence are whole UTF-8 characters. Any other character ends
    // the walk, and the result is whether the remaining address equals the
    // remaining pattern exactly. There is no backtracking: "*.com" does not
    // match "a.b.com".
    static bool WildcardMatch(const std::string& address, const std::string& pattern);
    // 0 when the text is acceptable as an address or expression ("*" alone
    // is), 1 "Must contain an @ sign", 2 "Must have a . to the right of the @".
    static int CheckAddressForm(const std::string& text);
    // The message text of a CheckAddressForm result ("" for 0).
    static std::string AddressFormMessage(int result);
    // True when the text holds "?", "+" or "*".
    static bool HasWildcards(const std::string& text);

private:
    void ReadText(const std::string& bytes);
    void ReadLegacy(const std::string& bytes);
    std::string WriteText() const;
    std::size_t FindSlot(const std::string& key, bool& found) const;
    bool InsertSorted(TAddressEntry entry);

    // Each entry with its lower-cased text, the sort and duplicate key.
    struct TSlot {
        std::string Key;
        TAddressEntry Entry;
    };

    mutable std::recursive_mutex mutex_;
    std::vector<TSlot> entries_;
    bool modified_ = false;
};

class TWhiteList final : public TAddressList {
public:
    std::string BaseName() const override { return "whitelist"; }
};

class TBlackList final : public TAddressList {
public:
    std::string BaseName() const override { return "blacklist"; }
};

// The process-wide lists (created on first use, never freed before exit).
TWhiteList& WhiteList();
TBlackList& BlackList();

} // namespace bm
