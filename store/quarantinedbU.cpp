#include "store/quarantinedbU.h"

#include "core/commonsU.h"
#include "core/errorsU.h"

namespace bm {

namespace {

constexpr std::string_view kStoredFormat = "yyyy-mm-dd hh:nn:ss.zzz";

constexpr const char* kMessageColumns =
    "SELECT ID, KeyID, Received, Account, UIDL, \"From\", Subject, Size, Sent FROM QuarantinedMessages";
constexpr const char* kKeyColumns = "SELECT ID, \"Key\", FromList, FromMD5, LastMail, MessageSent FROM Quarantine";

TQuarantinedMessage MessageFromRow(const TStatement& q)
{
    TQuarantinedMessage row;
    row.ID = q.Int(0);
    row.KeyID = q.Int(1);
    row.Received = DateTimeFromStored(q.OptText(2));
    row.Account = q.Text(3);
    row.UIDL = q.Text(4);
    row.From = q.Text(5);
    row.Subject = q.Text(6);
    row.Size = q.Int(7);
    row.Sent = DateTimeFromStored(q.OptText(8));
    return row;
}

TQuarantineKey KeyFromRow(const TStatement& q)
{
    TQuarantineKey row;
    row.ID = q.Int(0);
    row.Key = q.Text(1);
    row.FromList = q.Text(2);
    row.FromMD5 = q.Text(3);
    row.LastMail = DateTimeFromStored(q.OptText(4));
    row.MessageSent = q.Int64(5) != 0;
    return row;
}

std::optional<TQuarantineKey> FirstKey(TStatement& q)
{
    if (!q.Step())
        return std::nullopt;
    return KeyFromRow(q);
}

// Length of the UTF-8 sequence that starts with lead, or 1 for a byte that
// cannot start one.
std::size_t SequenceLength(unsigned char lead)
{
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2)
        return 2;
    return 1;
}

} // namespace

std::filesystem::path QuarantineDbPath()
{
    return GetDataFolder() / std::string(kQuarantineDbFileName);
}

std::string FitToField(std::string_view text, std::size_t maxBytes)
{
    std::size_t end = 0;
    while (end < text.size()) {
        std::size_t len = SequenceLength(static_cast<unsigned char>(text[end]));
        bool whole = end + len <= text.size();
        for (std::size_t i = 1; whole && i < len; ++i)
            whole = (static_cast<unsigned char>(text[end + i]) & 0xC0) == 0x80;
        if (!whole)
            len = 1; // a torn or malformed sequence: its lead byte stands alone
        if (end + len > maxBytes)
            break;
        end += len;
    }
    return std::string(text.substr(0, end));
}

std::string StoredDateTime(TDateTime value)
{
    return FormatDateTimeText(kStoredFormat, value);
}

TDateTime DateTimeFromStored(const std::optional<std::string>& text)
{
    if (!text)
        return 0;
    return ParseSqlDateTime(*text).value_or(0);
}

// --- Connection ------------------------------------------------------------

TQuarantineConnection::TQuarantineConnection(const std::filesystem::path& file) : db_(file) {}

TQuarantineConnection::~TQuarantineConnection() = default;

int TQuarantineConnection::CountMessagesOfKey(int keyId)
{
    auto q = db_.Prepare("SELECT COUNT(*) AS Num FROM QuarantinedMessages WHERE KeyID=:KeyID");
    q.Bind(":KeyID", keyId);
    q.Step();
    return q.Int(q.ColumnIndex("Num"));
}

std::vector<TMessageOfKey> TQuarantineConnection::MessagesWithKey(int keyId)
{
    auto q = db_.Prepare("SELECT ID, Account, UIDL FROM QuarantinedMessages WHERE KeyID=:KeyID ORDER BY ID");
    q.Bind(":KeyID", keyId);
    std::vector<TMessageOfKey> rows;
    while (q.Step())
        rows.push_back({q.Int(0), q.Text(1), q.Text(2)});
    return rows;
}

std::vector<TQueuedMessage> TQuarantineConnection::AcctQueue(std::string_view account)
{
    auto q = db_.Prepare("SELECT ID, KeyID, Message, Account FROM QuarantineQueue WHERE Account=:Acct ORDER BY ID");
    q.Bind(":Acct", account);
    std::vector<TQueuedMessage> rows;
    while (q.Step())
        rows.push_back({q.Int(0), q.Int(1), q.Text(3), q.Text(2)});
    return rows;
}

int TQuarantineConnection::AppendKey(std::string_view key, std::string_view senderText, bool messageSent)
{
    auto q = db_.Prepare("INSERT INTO Quarantine (\"Key\", FromList, FromMD5, LastMail, MessageSent) "
                         "VALUES (:Key, :FromList, :FromMD5, :LastMail, :MessageSent)");
    q.Bind(":Key", FitToField(key, kKeyFieldSize));
    q.Bind(":FromList", senderText);
    q.Bind(":FromMD5", MD5Hex(senderText));
    q.Bind(":LastMail", StoredDateTime(Now()));
    q.Bind(":MessageSent", messageSent ? 1 : 0);
    q.Run();
    return static_cast<int>(db_.LastInsertId());
}

bool TQuarantineConnection::TouchKey(int keyId)
{
    auto q = db_.Prepare("UPDATE Quarantine SET LastMail=:LastMail WHERE ID=:ID");
    q.Bind(":LastMail", StoredDateTime(Now())).Bind(":ID", keyId);
    q.Run();
    return db_.Changes() > 0;
}

std::optional<TQuarantineKey> TQuarantineConnection::FindKeyByCode(std::string_view key)
{
    auto q = db_.Prepare(std::string(kKeyColumns) + " WHERE \"Key\"=:Key");
    q.Bind(":Key", key);
    return FirstKey(q);
}

std::optional<TQuarantineKey> TQuarantineConnection::FindKeyById(int keyId)
{
    auto q = db_.Prepare(std::string(kKeyColumns) + " WHERE ID=:ID");
    q.Bind(":ID", keyId);
    return FirstKey(q);
}

int TQuarantineConnection::FindKeyBySenders(std::string_view senderText)
{
    // FromIx holds equal digests in ID order, so its first match is the lowest ID.
    auto q = db_.Prepare("SELECT ID FROM Quarantine WHERE FromMD5=:MD5 ORDER BY FromMD5, ID LIMIT 1");
    q.Bind(":MD5", MD5Hex(senderText));
    return q.Step() ? q.Int(0) : -1;
}

bool TQuarantineConnection::MarkChallengeSent(int keyId)
{
    auto q = db_.Prepare("UPDATE Quarantine SET MessageSent=1 WHERE ID=:ID");
    q.Bind(":ID", keyId);
    q.Run();
    return db_.Changes() > 0;
}

bool TQuarantineConnection::DeleteKey(int keyId)
{
    auto q = db_.Prepare("DELETE FROM Quarantine WHERE ID=:ID");
    q.Bind(":ID", keyId);
    q.Run();
    return db_.Changes() > 0;
}

std::vector<TQuarantineKey> TQuarantineConnection::AllKeys()
{
    auto q = db_.Prepare(std::string(kKeyColumns) + " ORDER BY ID");
    std::vector<TQuarantineKey> rows;
    while (q.Step())
        rows.push_back(KeyFromRow(q));
    return rows;
}

int TQuarantineConnection::AppendQuarantinedMessage(const TQuarantinedMessage& row)
{
    auto q = db_.Prepare("INSERT INTO QuarantinedMessages (KeyID, Received, Account, UIDL, \"From\", Subject, Size, Sent) "
                         "VALUES (:KeyID, :Received, :Account, :UIDL, :From, :Subject, :Size, :Sent)");
    q.Bind(":KeyID", row.KeyID);
    q.Bind(":Received", StoredDateTime(Now()));
    q.Bind(":Account", FitToField(row.Account, kAccountFieldSize));
    q.Bind(":UIDL", FitToField(row.UIDL, kUidlFieldSize));
    q.Bind(":From", FitToField(row.From, kFromFieldSize));
    q.Bind(":Subject", FitToField(row.Subject, kSubjectFieldSize));
    q.Bind(":Size", row.Size);
    q.Bind(":Sent", StoredDateTime(row.Sent));
    q.Run();
    return static_cast<int>(db_.LastInsertId());
}

std::optional<TQuarantinedMessage> TQuarantineConnection::FindQuarantinedMessage(int id)
{
    auto q = db_.Prepare(std::string(kMessageColumns) + " WHERE ID=:ID");
    q.Bind(":ID", id);
    if (!q.Step())
        return std::nullopt;
    return MessageFromRow(q);
}

bool TQuarantineConnection::DeleteQuarantinedMessage(int id)
{
    auto q = db_.Prepare("DELETE FROM QuarantinedMessages WHERE ID=:ID");
    q.Bind(":ID", id);
    q.Run();
    return db_.Changes() > 0;
}

void TQuarantineConnection::ForEachQuarantinedMessage(const std::function<void(const TQuarantinedMessage&)>& fn)
{
    auto q = db_.Prepare(std::string(kMessageColumns) + " ORDER BY ID");
    while (q.Step())
        fn(MessageFromRow(q));
}

int TQuarantineConnection::QuarantinedMessageCount()
{
    auto q = db_.Prepare("SELECT COUNT(*) FROM QuarantinedMessages");
    q.Step();
    return q.Int(0);
}

int TQuarantineConnection::AppendQueueRow(std::string_view account, int keyId, std::string_view messageText)
{
    auto q = db_.Prepare("INSERT INTO QuarantineQueue (KeyID, Account, Message) VALUES (:KeyID, :Account, :Message)");
    q.Bind(":KeyID", keyId);
    q.Bind(":Account", FitToField(account, kAccountFieldSize));
    // A blob keeps the message's bytes exactly, whatever their encoding.
    q.BindBlob(":Message", messageText);
    q.Run();
    return static_cast<int>(db_.LastInsertId());
}

bool TQuarantineConnection::DeleteQueueRow(int id)
{
    auto q = db_.Prepare("DELETE FROM QuarantineQueue WHERE ID=:ID");
    q.Bind(":ID", id);
    q.Run();
    return db_.Changes() > 0;
}

std::optional<TQueuedMessage> TQuarantineConnection::FirstQueueRowOfKey(int keyId)
{
    auto q = db_.Prepare("SELECT ID, KeyID, Message, Account FROM QuarantineQueue WHERE KeyID=:KeyID "
                         "ORDER BY KeyID, ID LIMIT 1");
    q.Bind(":KeyID", keyId);
    if (!q.Step())
        return std::nullopt;
    return TQueuedMessage{q.Int(0), q.Int(1), q.Text(3), q.Text(2)};
}

bool TQuarantineConnection::FindAnsweredRequest(std::string_view key, std::string_view fromMD5)
{
    auto q = db_.Prepare("SELECT 1 FROM AnsweredRequests WHERE \"Key\"=:Key AND FromMD5=:FromMD5");
    q.Bind(":Key", key).Bind(":FromMD5", fromMD5);
    return q.Step();
}

void TQuarantineConnection::AppendAnsweredRequest(std::string_view key, std::string_view senderText)
{
    auto q = db_.Prepare("INSERT INTO AnsweredRequests (\"Key\", \"From\", FromMD5, \"Time\") "
                         "VALUES (:Key, :From, :FromMD5, :Time)");
    q.Bind(":Key", FitToField(key, kKeyFieldSize));
    q.Bind(":From", senderText);
    q.Bind(":FromMD5", MD5Hex(senderText));
    q.Bind(":Time", StoredDateTime(Now()));
    q.Run();
}

int TQuarantineConnection::AnsweredRequestCount()
{
    auto q = db_.Prepare("SELECT COUNT(*) FROM AnsweredRequests");
    q.Step();
    return q.Int(0);
}

std::vector<std::string> MessageIdsIn(std::string_view fieldValue)
{
    std::vector<std::string> ids;
    std::size_t at = 0;
    while ((at = fieldValue.find('<', at)) != std::string_view::npos) {
        const std::size_t end = fieldValue.find('>', at + 1);
        if (end == std::string_view::npos)
            break;
        std::string id = TrimText(fieldValue.substr(at + 1, end - at - 1));
        if (!id.empty())
            ids.push_back(FitToField(id, kMessageIdFieldSize));
        at = end + 1;
    }
    return ids;
}

void TQuarantineConnection::AppendSentMessage(std::string_view messageId, TSentKind kind, std::string_view account,
                                              std::string_view address)
{
    auto q = db_.Prepare("INSERT INTO SentMessages (MessageID, Kind, Account, Address, \"Time\") "
                         "VALUES (:MessageID, :Kind, :Account, :Address, :Time)");
    q.Bind(":MessageID", FitToField(messageId, kMessageIdFieldSize));
    q.Bind(":Kind", static_cast<std::int64_t>(kind));
    q.Bind(":Account", FitToField(account, kAccountFieldSize));
    q.Bind(":Address", FitToField(address, kFromFieldSize));
    q.Bind(":Time", StoredDateTime(Now()));
    q.Run();
}

bool TQuarantineConnection::AnySentMessage(const std::vector<std::string>& messageIds,
                                           std::initializer_list<TSentKind> kinds)
{
    auto q = db_.Prepare("SELECT Kind FROM SentMessages WHERE MessageID=:MessageID");
    for (const std::string& id : messageIds) {
        q.Bind(":MessageID", FitToField(id, kMessageIdFieldSize));
        while (q.Step()) {
            for (const TSentKind kind : kinds)
                if (q.Int(0) == static_cast<int>(kind))
                    return true;
        }
    }
    return false;
}

int TQuarantineConnection::ChallengesOfAccountSince(std::string_view account, TDateTime cutOff)
{
    auto q = db_.Prepare("SELECT COUNT(DISTINCT MessageID) FROM SentMessages"
                         " WHERE Kind=:Kind AND Account=:Account AND \"Time\">=:Cutoff");
    q.Bind(":Kind", static_cast<std::int64_t>(TSentKind::Challenge));
    q.Bind(":Account", FitToField(account, kAccountFieldSize));
    q.Bind(":Cutoff", StoredDateTime(cutOff));
    q.Step();
    return q.Int(0);
}

int TQuarantineConnection::ChallengesToAddressSince(std::string_view address, TDateTime cutOff)
{
    auto q = db_.Prepare("SELECT COUNT(*) FROM SentMessages"
                         " WHERE Kind=:Kind AND Address=:Address AND \"Time\">=:Cutoff");
    q.Bind(":Kind", static_cast<std::int64_t>(TSentKind::Challenge));
    q.Bind(":Address", FitToField(address, kFromFieldSize));
    q.Bind(":Cutoff", StoredDateTime(cutOff));
    q.Step();
    return q.Int(0);
}

} // namespace bm
