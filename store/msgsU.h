#pragma once
// Message ids, message files and the known-message records.
//
// Message files: D/A/id.msg is an inbox message of account A, D/A/Bad/id.msg
// a quarantined one (D the data folder), each holding one message in the
// message text form (core/mailmsgU.h). A file is written whole or not at all
// and is on disk before SaveMessageFile returns. The Mail check writes through
// a TMessageFileBatch instead and makes the pass's files durable with one
// barrier before it deletes anything on the server.
//
// Known-message record: 833 bytes, the layout of knownmessages.dat, with the
// in-memory line lists and the matching filter beside it. The file
// "knownmessages.dat" in the data folder holds the marker "S_V_S_1.01", a
// record count and per record its 833 bytes, the text lines and the
// attachment names as counted blocks (lines ended by CR LF) and the filter's
// name as a zero-terminated string.
//
// Threads: the free functions may be called from any thread. InboxList and
// KnownList are process-wide; each serialises access to its items with its
// own mutex, so the Mail check thread and the main thread may add, find,
// move and remove records at the same time. A record that a thread holds a
// pointer to stays alive until it is removed from its list; changing one
// record's fields is the business of the thread that holds it (the Mail check
// fills a record before it hands it to the main thread).

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

class TMailMessage;

// --- Message ids and files -------------------------------------------------

inline constexpr std::size_t kMessageIdLength = 80;

// The id of a server unique id: blanks and control characters trimmed at
// both ends, each of \ / : * ? " < > | replaced by "_" (MakeSafeFileName),
// cut to its first 80 bytes without splitting a UTF-8 sequence.
std::string MakeMessageId(std::string_view uidl);

// The ids of one mailbox listing (the server's unique ids in listing order),
// unique within it and stable from check to check:
//  - a UIDL that is empty or appears more than once says nothing of its
//    message: its id is "" here and comes from the message itself
//    (MakeContentMessageId) once it is retrieved;
//  - a UIDL whose safe form is longer than 80 bytes, or that MakeSafeFileName
//    maps onto the id of another UIDL of the listing, gets MakeHashedMessageId;
//  - every other UIDL its MakeMessageId.
std::vector<std::string> MakeMailboxIds(const std::vector<std::string>& uidls);
// The first 63 bytes of the trimmed UIDL made safe, "-", and the first 16
// hexadecimal digits of the MD5 of the trimmed UIDL as the server wrote it.
std::string MakeHashedMessageId(std::string_view uidl);
// The same with the MD5 of the trimmed UIDL, a line feed and the message
// text as retrieved: two different messages that share a UIDL get two ids,
// and one message gets the same id at every check.
std::string MakeContentMessageId(std::string_view uidl, std::string_view text);

// D/account/id.msg, or D/account/Bad/id.msg when quarantined; creates that
// folder with its parents when missing. Throws std::runtime_error
// "Invalid account name: %s" for an account name that is empty, "." or ".."
// or holds a slash or a zero byte (it would name a folder outside D).
std::filesystem::path MessageFilePath(const std::string& account, const std::string& id, bool quarantined);

// Writes the message in the message text form to MessageFilePath, replacing
// any file of that name atomically (temporary, fsync, rename, fsync of the
// folder). Throws std::runtime_error with the file name and the system's
// reason; the old file, if any, is then untouched.
void SaveMessageFile(const std::string& account, const std::string& id, bool quarantined,
                     const TMailMessage& message);
// The same with the stored text itself.
void SaveMessageText(const std::string& account, const std::string& id, bool quarantined,
                     const std::string& storedText);

// A batch of message files whose durability is deferred to one barrier: the
// Mail check writes each message unsynced while it walks a mailbox and makes
// them all durable once, before the first DELE of the pass.
//
// Save writes the file whole as SaveMessageFile does (temporary in the same
// folder, rename), so a reader never sees a half-written file, but syncs
// neither the file nor its folder; it records both as pending. Sync is the
// barrier: when it returns, every file saved since the last barrier and its
// folder entry are on disk. Threads: one thread uses a batch.
class TMessageFileBatch {
public:
    TMessageFileBatch() = default;
    TMessageFileBatch(const TMessageFileBatch&) = delete;
    TMessageFileBatch& operator=(const TMessageFileBatch&) = delete;

    // Writes the message to MessageFilePath and adds it to the pending list.
    // Throws std::runtime_error like SaveMessageFile; the old file, if any,
    // is then untouched and nothing is added.
    void Save(const std::string& account, const std::string& id, bool quarantined, const TMailMessage& message);
    void SaveText(const std::string& account, const std::string& id, bool quarantined,
                  const std::string& storedText);

    // Adds a file that is already there (stored by an earlier pass) to the
    // pending list, so that the barrier proves it is on disk too.
    void Adopt(const std::filesystem::path& file);

    // The barrier. Empties the pending list whatever happens (after a failed
    // fsync the kernel may already have dropped the dirty pages, so a retry
    // would prove nothing). Throws std::runtime_error "Cannot sync <file>:
    // <reason>" for the first file or folder that could not be made durable
    // (a pending file that vanished counts): the caller must then delete
    // nothing on the server.
    void Sync();

    // The files saved since the last barrier, in order.
    const std::vector<std::filesystem::path>& Pending() const { return files_; }

private:
    std::vector<std::filesystem::path> files_;
    std::vector<std::filesystem::path> folders_; // distinct, in order of first use
};

// True when the file holds a whole message in the message text form (it
// ends in the line "."). False when it is missing or cut off.
bool IsWholeMessageFile(const std::filesystem::path& file);

// Moves D/account/Bad/id.msg to D/account/id.msg (replacing an inbox file of
// that name). A failed move is ignored: the file stays in quarantine.
void ReleaseMessageFile(const std::string& account, const std::string& id);

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
    // dangling reference; FilterList().FindByName gives the filter itself.
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

// --- Lists ------------------------------------------------------------------

// An ordered list of known-message records that owns them.
class TMessageList {
public:
    TMessageList() = default;
    TMessageList(const TMessageList&) = delete;
    TMessageList& operator=(const TMessageList&) = delete;

    // Appends the record and returns it (it stays where it is in memory).
    TKnownMessage* Add(std::unique_ptr<TKnownMessage> record);
    // Takes the record out of the list and gives it to the caller (to move it
    // to the other list); null when it is not in this list.
    std::unique_ptr<TKnownMessage> Extract(const TKnownMessage* record);
    // Frees the record when it is in the list; true when it was.
    bool Remove(const TKnownMessage* record);
    // Frees every record.
    void Clear();
    int Count() const;
    // The record at index, or null when out of range.
    TKnownMessage* Item(int index) const;
    // The first record whose id equals id exactly (case matters), or null.
    TKnownMessage* Find(std::string_view id) const;
    // The first record of that account (cut to its field as SetAccount
    // does) whose id equals id exactly, or null.
    TKnownMessage* Find(std::string_view account, std::string_view id) const;
    // Calls fn for each record in order, holding the list's lock.
    void ForEach(const std::function<void(const TKnownMessage&)>& fn) const;
    // Replaces the whole content at once.
    void Assign(std::vector<std::unique_ptr<TKnownMessage>> records);

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TKnownMessage>> items_;
};

// The process-wide lists: this run's inbox records, and the records read from
// knownmessages.dat at start.
TMessageList& InboxList();
TMessageList& KnownList();

// The first record of the list whose id equals id exactly, or null. Only the
// id is compared, not the account.
TKnownMessage* FindKnownMessage(const TMessageList& list, std::string_view id);
// The same for one account: servers number their UIDLs alike ("1", "2"...),
// so the Mail check tells messages apart by account and id together.
TKnownMessage* FindKnownMessage(const TMessageList& list, std::string_view account, std::string_view id);
// A new record with the same 833 bytes, its own copies of the lines, and the
// same filter.
std::unique_ptr<TKnownMessage> CloneKnownMessage(const TKnownMessage& record);

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

// Empties KnownList, then reads the file (empty path: D/knownmessages.dat)
// into it when it exists, resolving filter names against FilterList().
// Throws std::runtime_error naming the file when it exists but cannot be read.
void LoadKnownMessages(const std::filesystem::path& file = {});
// Writes InboxList to the file (empty path: D/knownmessages.dat), replacing
// it atomically. Throws std::runtime_error with the file name and reason.
void SaveKnownMessages(const std::filesystem::path& file = {});

// The process-wide flag "a Mail check finished in this run": set by the main
// window when a check ends; the exit path saves the known messages only when
// it is set, so a run without a finished check leaves the file as it was.
void SetKnownMessagesChanged(bool changed);
bool KnownMessagesChanged();
// The exit path: SaveKnownMessages(file) when the flag is set; then frees
// every record of both lists.
void FinishKnownMessages(const std::filesystem::path& file = {});

} // namespace bm
