#pragma once
// Message ids and message files.
//
// D/A/id.msg is an inbox message of account A, D/A/Bad/id.msg a quarantined
// one (D the data folder), each holding one message in the message text form
// (core/mailmsgU.h). A file is written whole or not at all and is on disk
// before SaveMessageFile returns. The Mail check writes through a
// TMessageFileBatch instead and makes the pass's files durable with one
// barrier before it deletes anything on the server.
//
// Threads: the free functions may be called from any thread.

#include <cstddef>
#include <filesystem>
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
} // namespace bm
