#pragma once
// The quarantine tables and the row-level work on them that the main
// connection (TFFData) and the per-thread connections (TThreadData) share.
//
// All four tables live in ONE database file in the data folder,
// "quarantine.db":
//   QuarantinedMessages  one row per held message (identity ID)
//   Quarantine           one row per key, i.e. per challenged sender set
//   QuarantineQueue      outgoing challenges and confirmations
//   AnsweredRequests     key requests already answered (no identity)
//   SentMessages         Message-IDs of what the user and the program sent
//                        (no identity; one row per recipient of a challenge)
// String columns and their indexes compare without regard to ASCII letter
// case (COLLATE NOCASE); Quarantine.Key is unique, and so is the pair
// AnsweredRequests (Key, FromMD5). Identities are AUTOINCREMENT: an ID once
// used is never given again in the table's life, even after deletes.
//
// Date-times are stored as the text "yyyy-mm-dd hh:nn:ss.zzz" of the local
// day count (StoredDateTime). Texts of that form order as the date-times do,
// so a column compared with a "yyyy-mm-dd hh:nn:ss" cut-off compares as a
// date-time, and milliseconds survive a round trip.
//
// Size-limited string fields (Account 80, UIDL 80, From 255, Subject 255,
// Key 32, FromMD5 32, MessageID 255) are cut on write to that many bytes, never inside a
// UTF-8 sequence.
//
// Threads: one TQuarantineConnection is used by one thread at a time; each
// thread that uses the store has a connection of its own. Rows committed by
// one connection are visible to every other at its next statement.
// Failures: engine failures throw EDatabaseError with the engine's message
// (a missing table, a broken unique index, a damaged file); nothing is caught.

#include "core/datetimeU.h"
#include "store/dbU.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// The database file's name in the data folder, and its full path.
inline constexpr std::string_view kQuarantineDbFileName = "quarantine.db";
std::filesystem::path QuarantineDbPath();

// Field capacities (bytes of UTF-8).
inline constexpr std::size_t kAccountFieldSize = 80;
inline constexpr std::size_t kUidlFieldSize = 80;
inline constexpr std::size_t kFromFieldSize = 255;
inline constexpr std::size_t kSubjectFieldSize = 255;
inline constexpr std::size_t kKeyFieldSize = 32;
inline constexpr std::size_t kMD5FieldSize = 32;
inline constexpr std::size_t kMessageIdFieldSize = 255;

// The longest prefix of text of at most maxBytes bytes that does not end
// inside a UTF-8 sequence (a malformed byte counts as a sequence of its own).
std::string FitToField(std::string_view text, std::size_t maxBytes);

// "yyyy-mm-dd hh:nn:ss.zzz" of a day count, and back (0 for NULL or a text
// that is not such a date-time).
std::string StoredDateTime(TDateTime value);
TDateTime DateTimeFromStored(const std::optional<std::string>& text);

struct TQuarantinedMessage {
    int ID = 0;
    int KeyID = 0;
    TDateTime Received = 0;
    std::string Account;
    std::string UIDL;
    std::string From;
    std::string Subject;
    int Size = 0;
    TDateTime Sent = 0;
};

struct TQuarantineKey {
    int ID = 0;
    std::string Key;
    std::string FromList;
    std::string FromMD5;
    TDateTime LastMail = 0;
    bool MessageSent = false;
};

struct TQueuedMessage {
    int ID = 0;
    int KeyID = -1;
    std::string Account;
    std::string Message; // the message text form
};

// What a SentMessages row records.
enum class TSentKind {
    Relayed = 0,      // a message of the user's, relayed by the local SMTP server
    Challenge = 1,    // one of our challenges (one row per recipient)
    Confirmation = 2, // one of our answers to a foreign challenge
};

// The message ids a Message-ID, In-Reply-To or References value names: the
// text between each "<" and its ">" (RFC 5322 §3.6.4), in order, without
// the brackets; the stored and compared form of an id.
std::vector<std::string> MessageIdsIn(std::string_view fieldValue);

// A row of MessagesWithKeyQry.
struct TMessageOfKey {
    int ID = 0;
    std::string Account;
    std::string UIDL;
};

class TQuarantineConnection {
public:
    // Opens a connection on the database file (the tables must exist; the
    // main connection creates them). Throws EDatabaseError.
    explicit TQuarantineConnection(const std::filesystem::path& file);
    virtual ~TQuarantineConnection();
    TQuarantineConnection(const TQuarantineConnection&) = delete;
    TQuarantineConnection& operator=(const TQuarantineConnection&) = delete;

    TDatabase& Database() { return db_; }

    // --- Fixed queries ---
    // AnyLeftQry: the number of quarantined messages under the key.
    int CountMessagesOfKey(int keyId);
    // MessagesWithKeyQry: ID, Account, UIDL of the key's messages, by ID.
    std::vector<TMessageOfKey> MessagesWithKey(int keyId);
    // AcctQueueQuery: the account's queued messages in table (ID) order.
    std::vector<TQueuedMessage> AcctQueue(std::string_view account);

    // --- Quarantine (keys) ---
    // New key: appends Key, FromList = senderText, FromMD5 = MD5Hex of it,
    // LastMail = now, MessageSent; returns the new ID. A Key already present
    // (in any letter case) throws EDatabaseError.
    int AppendKey(std::string_view key, std::string_view senderText, bool messageSent);
    // Key seen again: LastMail = now. False when there is no such key.
    bool TouchKey(int keyId);
    // Exact lookup of a key code, without regard to case.
    std::optional<TQuarantineKey> FindKeyByCode(std::string_view key);
    std::optional<TQuarantineKey> FindKeyById(int keyId);
    // The ID of the first key (in FromMD5, then ID order) whose FromMD5 is
    // MD5Hex(senderText), or -1.
    int FindKeyBySenders(std::string_view senderText);
    // Mark challenge sent: MessageSent = true. False when there is no such key.
    bool MarkChallengeSent(int keyId);
    // Deletes the key row; false when there was none.
    bool DeleteKey(int keyId);
    // Every key, by ID.
    std::vector<TQuarantineKey> AllKeys();

    // --- QuarantinedMessages ---
    // Quarantined message: appends the row with Received = now (the row's
    // ID and Received are ignored); returns the new ID.
    int AppendQuarantinedMessage(const TQuarantinedMessage& row);
    std::optional<TQuarantinedMessage> FindQuarantinedMessage(int id);
    // Remove released message: false when there was no such row.
    bool DeleteQuarantinedMessage(int id);
    // Calls fn for every row in ID order (the quarantine list's load).
    void ForEachQuarantinedMessage(const std::function<void(const TQuarantinedMessage&)>& fn);
    int QuarantinedMessageCount();

    // --- QuarantineQueue ---
    // Appends KeyID (-1 for none), Account and the stored message text;
    // returns the new ID.
    int AppendQueueRow(std::string_view account, int keyId, std::string_view messageText);
    // Remove sent queue row: false when there was none.
    bool DeleteQueueRow(int id);
    // The first queue row of the key in KeyID, ID order, or nullopt.
    std::optional<TQueuedMessage> FirstQueueRowOfKey(int keyId);

    // --- AnsweredRequests ---
    // Exact lookup of the pair (without regard to case).
    bool FindAnsweredRequest(std::string_view key, std::string_view fromMD5);
    // Appends Key, From = senderText, FromMD5 = MD5Hex of it, Time = now.
    // The same (Key, FromMD5) pair twice throws EDatabaseError.
    void AppendAnsweredRequest(std::string_view key, std::string_view senderText);
    int AnsweredRequestCount();

    // --- SentMessages ---
    // Records one sent message (Time = now): messageId in the form
    // MessageIdsIn gives, the sending account, and for a challenge the
    // recipient address ("" otherwise).
    void AppendSentMessage(std::string_view messageId, TSentKind kind, std::string_view account,
                           std::string_view address = {});
    // True when one of the ids is recorded with one of the kinds.
    bool AnySentMessage(const std::vector<std::string>& messageIds, std::initializer_list<TSentKind> kinds);
    // Challenges sent since the cut-off: of the account (distinct messages),
    // and to the address (any account).
    int ChallengesOfAccountSince(std::string_view account, TDateTime cutOff);
    int ChallengesToAddressSince(std::string_view address, TDateTime cutOff);

protected:
    TDatabase db_;
};

} // namespace bm
