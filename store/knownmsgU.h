#pragma once
// The known-message record and its file, knownmessages.dat.
//
// Record: 833 bytes, the layout of knownmessages.dat, with the in-memory line
// lists and the matching filter's name beside it. The file
// "knownmessages.dat" in the data folder holds the marker "S_V_S_1.01", a
// record count and per record its 833 bytes, the text lines and the
// attachment names as counted blocks (lines ended by CR LF) and the filter's
// name as a zero-terminated string. The lists the records live in are in
// store/msgsU.h.
//
// Threads: changing one record's fields is the business of the thread that
// holds it (the Mail check fills a record before it hands it to the main
// thread).

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

class TMessageList;

// --- Known-message record --------------------------------------------------

inline constexpr std::size_t kKnownRecordSize = 833;

class TKnownMessage {
public:
    using TBytes = std::array<std::uint8_t, kKnownRecordSize>;

    // A new record: 833 zero bytes, no lines, no filter.
    TKnownMessage();

    // The 833 bytes as they go to the file; the three reference fields
    // (offsets 813, 822 and 826) are always zero.
    const TBytes& Bytes() const { return bytes_; }
    // Takes 833 bytes read from a file; the reference fields are cleared.
    void SetBytes(const TBytes& bytes);

    // Text fields: a length byte and a fixed capacity; a longer value is cut
    // to the capacity (bytes) without splitting a UTF-8 sequence.
    std::string SizeText() const;      // offset 3, capacity 20
    void SetSizeText(std::string_view value);
    std::string DateText() const;      // offset 24, capacity 20
    void SetDateText(std::string_view value);
    std::string Account() const;       // offset 45, capacity 80
    void SetAccount(std::string_view value);
    std::string Status() const;        // offset 126, capacity 11: "Friend", "Blacklisted" or ""
    void SetStatus(std::string_view value);
    std::string From() const;          // offset 207, capacity 255
    void SetFrom(std::string_view value);
    std::string Subject() const;       // offset 463, capacity 255
    void SetSubject(std::string_view value);
    std::string Id() const;            // offset 732, capacity 80
    void SetId(std::string_view value);

    std::int32_t Size() const;         // offset 719, little-endian
    void SetSize(std::int32_t value);
    double Date() const;               // offset 723, IEEE double, little-endian
    void SetDate(double value);

    // Flag bytes (true is written as 1, any non-zero reads as true).
    bool LegacyFilterFlag() const { return Flag(1); }
    void SetLegacyFilterFlag(bool v) { SetFlag(1, v); }
    bool DeleteVerdict() const { return Flag(2); }
    void SetDeleteVerdict(bool v) { SetFlag(2, v); }
    bool Seen() const { return Flag(731); }
    void SetSeen(bool v) { SetFlag(731, v); }
    bool Blacklisted() const { return Flag(820); }
    void SetBlacklisted(bool v) { SetFlag(820, v); }
    bool Whitelisted() const { return Flag(821); }
    void SetWhitelisted(bool v) { SetFlag(821, v); }
    bool ToBeDeleted() const { return Flag(830); }
    void SetToBeDeleted(bool v) { SetFlag(830, v); }
    bool KnownBefore() const { return Flag(831); }
    void SetKnownBefore(bool v) { SetFlag(831, v); }
    bool Quarantined() const { return Flag(832); }
    void SetQuarantined(bool v) { SetFlag(832, v); }

    // In memory beside the bytes: the message's readable text lines, its
    // attachment names, and the name of the matching filter ("" for none).
    // The filter is held by name, so a filter deleted meanwhile leaves no
    // dangling reference; the filter list's FindByName gives the filter itself.
    std::vector<std::string> TextLines;
    std::vector<std::string> AttachmentNames;
    std::string FilterName;

private:
    bool Flag(std::size_t offset) const { return bytes_[offset] != 0; }
    void SetFlag(std::size_t offset, bool v) { bytes_[offset] = v ? 1 : 0; }
    std::string Text(std::size_t offset, std::size_t capacity) const;
    void SetText(std::size_t offset, std::size_t capacity, std::string_view value);

    TBytes bytes_{};
};

// --- knownmessages.dat -----------------------------------------------------

inline constexpr std::string_view kKnownMessagesFileName = "knownmessages.dat";
inline constexpr std::string_view kKnownMessagesVersion = "1.01";

// True when a filter of that name exists (resolves a record's filter at load).
using TFilterExists = std::function<bool(const std::string& name)>;

// The records of a knownmessages.dat image. A file of another version (no
// marker: "1.0"; another marker) or with a count of 0 or less gives none. A
// file that ends inside a record is read up to its end and never past it:
// the record whose 833 bytes are whole is kept with whatever of its lines
// was there; a torn 833-byte record is dropped. A filter name that
// filterExists rejects reads as "" (no filter). Never throws.
std::vector<std::unique_ptr<TKnownMessage>> ReadKnownMessages(std::string_view bytes,
                                                              const TFilterExists& filterExists);
// The file image of the records: version marker, count, records.
std::string WriteKnownMessages(const TMessageList& list);

// Empties known (the program's KnownList), then reads the file (empty path:
// D/knownmessages.dat) into it when it exists, keeping the filter names that
// filterExists knows (the caller's filter list). Throws std::runtime_error
// naming the file when it exists but cannot be read.
void LoadKnownMessages(TMessageList& known, const TFilterExists& filterExists,
                       const std::filesystem::path& file = {});
// Writes inbox (the program's InboxList: the records of this run) to the
// file (empty path: D/knownmessages.dat), replacing it atomically. Throws
// std::runtime_error with the file name and reason.
void SaveKnownMessages(const TMessageList& inbox, const std::filesystem::path& file = {});

// The process-wide flag "a Mail check finished in this run": set by the main
// window when a check ends; the exit path saves the known messages only when
// it is set, so a run without a finished check leaves the file as it was.
void SetKnownMessagesChanged(bool changed);
bool KnownMessagesChanged();
// The exit path: SaveKnownMessages(inbox, file) when the flag is set; then
// frees every record of both lists.
void FinishKnownMessages(TMessageList& inbox, TMessageList& known, const std::filesystem::path& file = {});

} // namespace bm
