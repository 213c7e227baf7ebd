#include "store/ffdatamdl.h"

namespace bm {

namespace {

struct TTableDefinition {
    const char* Name;
    const char* Create;
};

// Index names are global to a database file (and matched without case), so
// each carries its table's name: the KeyIx of Quarantine and the KeyIX of
// QuarantineQueue would otherwise be one name. The IDIX of the tables with an
// identity is the row identity itself, which the engine keeps ordered.
const TTableDefinition kTables[] = {
    {"QuarantinedMessages",
     "CREATE TABLE QuarantinedMessages ("
     " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
     " KeyID INTEGER NOT NULL DEFAULT 0,"
     " Received TEXT,"
     " Account TEXT COLLATE NOCASE,"
     " UIDL TEXT COLLATE NOCASE,"
     " \"From\" TEXT COLLATE NOCASE,"
     " Subject TEXT COLLATE NOCASE,"
     " Size INTEGER NOT NULL DEFAULT 0,"
     " Sent TEXT)"},
    {"Quarantine",
     "CREATE TABLE Quarantine ("
     " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
     " \"Key\" TEXT COLLATE NOCASE,"
     " FromList TEXT COLLATE NOCASE,"
     " FromMD5 TEXT COLLATE NOCASE,"
     " LastMail TEXT,"
     " MessageSent INTEGER)"},
    {"QuarantineQueue",
     "CREATE TABLE QuarantineQueue ("
     " ID INTEGER PRIMARY KEY AUTOINCREMENT,"
     " KeyID INTEGER NOT NULL DEFAULT -1,"
     " Account TEXT COLLATE NOCASE,"
     " Message BLOB)"},
    {"AnsweredRequests",
     "CREATE TABLE AnsweredRequests ("
     " \"Key\" TEXT COLLATE NOCASE,"
     " \"From\" TEXT COLLATE NOCASE,"
     " FromMD5 TEXT COLLATE NOCASE,"
     " \"Time\" TEXT)"},
    {"SentMessages",
     "CREATE TABLE SentMessages ("
     " MessageID TEXT COLLATE NOCASE,"
     " Kind INTEGER NOT NULL DEFAULT 0,"
     " Account TEXT COLLATE NOCASE,"
     " Address TEXT COLLATE NOCASE,"
     " \"Time\" TEXT)"},
};

// The indexes name their collation, so they stay case-insensitive even on a
// table of an older layout whose columns were declared without it.
const char* const kIndexes[] = {
    "CREATE INDEX IF NOT EXISTS QuarantinedMessages_DateIX ON QuarantinedMessages (Received)",
    "CREATE INDEX IF NOT EXISTS QuarantinedMessages_KeyIDIX ON QuarantinedMessages (KeyID)",
    "CREATE UNIQUE INDEX IF NOT EXISTS Quarantine_KeyIx ON Quarantine (\"Key\" COLLATE NOCASE)",
    "CREATE INDEX IF NOT EXISTS Quarantine_LastMailIx ON Quarantine (LastMail)",
    "CREATE INDEX IF NOT EXISTS Quarantine_FromIx ON Quarantine (FromMD5 COLLATE NOCASE)",
    "CREATE INDEX IF NOT EXISTS QuarantineQueue_KeyIX ON QuarantineQueue (KeyID)",
    "CREATE INDEX IF NOT EXISTS QuarantineQueue_AccountIx ON QuarantineQueue (Account COLLATE NOCASE)",
    "CREATE UNIQUE INDEX IF NOT EXISTS AnsweredRequests_IDIX ON AnsweredRequests"
    " (\"Key\" COLLATE NOCASE, FromMD5 COLLATE NOCASE)",
    "CREATE INDEX IF NOT EXISTS AnsweredRequests_TimeIX ON AnsweredRequests (\"Time\")",
    "CREATE INDEX IF NOT EXISTS SentMessages_IDIX ON SentMessages (MessageID COLLATE NOCASE)",
    "CREATE INDEX IF NOT EXISTS SentMessages_AddressIX ON SentMessages (Address COLLATE NOCASE, \"Time\")",
    "CREATE INDEX IF NOT EXISTS SentMessages_TimeIX ON SentMessages (\"Time\")",
};

} // namespace

void CreateQuarantineTables(TDatabase& db)
{
    TTransaction tx(db);
    for (const auto& table : kTables)
        if (!db.TableExists(table.Name))
            db.Exec(table.Create);
    for (const char* index : kIndexes)
        db.Exec(index);
    tx.Commit();
}

TFFData::TFFData(const std::filesystem::path& file)
    : TQuarantineConnection(file.empty() ? QuarantineDbPath() : file)
{
    db_.VerifyIntegrity();
    UpgradeKeysTable();
    CreateQuarantineTables(db_);
}

TFFData::~TFFData() = default;

void TFFData::UpgradeKeysTable()
{
    if (!db_.TableExists("Quarantine") || db_.ColumnExists("Quarantine", "MessageSent"))
        return;
    TTransaction tx(db_);
    db_.Exec("ALTER TABLE Quarantine ADD COLUMN MessageSent INTEGER");
    db_.Exec("UPDATE Quarantine SET MessageSent=True");
    tx.Commit();
}

void TFFData::DeleteEmptyKey(int keyId)
{
    // Counting inside the transaction: no message can be filed under the
    // key between the count and the delete, and both rows go together.
    TTransaction tx(db_);
    if (CountMessagesOfKey(keyId) != 0)
        return;
    DeleteKey(keyId);
    if (auto row = FirstQueueRowOfKey(keyId); row && keyId != -1)
        DeleteQueueRow(row->ID);
    tx.Commit();
}

std::set<int> TFFData::KeysWithSentMessage()
{
    auto q = db_.Prepare("SELECT ID FROM Quarantine WHERE MessageSent=True");
    std::set<int> ids;
    while (q.Step())
        ids.insert(q.Int(0));
    return ids;
}

std::vector<TOldMessage> TFFData::OldMessages(std::string_view cutOff, const std::optional<std::string>& account)
{
    // The two texts of OldQry, with the cut-off and the account bound rather
    // than pasted into the text.
    static constexpr const char* kAll =
        "SELECT ID, UIDL, Account, KeyID FROM QuarantinedMessages WHERE\r\nReceived<:Cutoff";
    static constexpr const char* kOneAccount =
        "SELECT ID, UIDL, Account, KeyID FROM QuarantinedMessages WHERE\r\nReceived<:Cutoff AND Account=:Acct";
    auto q = db_.Prepare(account ? kOneAccount : kAll);
    q.Bind(":Cutoff", cutOff);
    if (account)
        q.Bind(":Acct", *account);
    std::vector<TOldMessage> rows;
    while (q.Step())
        rows.push_back({q.Int(0), q.Text(1), q.Text(2), q.Int(3)});
    return rows;
}

int TFFData::DeleteAnsweredRequestsBefore(TDateTime cutOff)
{
    // A row without a time counts as the oldest possible (day 0).
    auto q = db_.Prepare("DELETE FROM AnsweredRequests WHERE \"Time\" IS NULL OR \"Time\"<:Cutoff");
    q.Bind(":Cutoff", StoredDateTime(cutOff));
    q.Run();
    return db_.Changes();
}

int TFFData::DeleteSentMessagesBefore(TDateTime cutOff)
{
    auto q = db_.Prepare("DELETE FROM SentMessages WHERE \"Time\" IS NULL OR \"Time\"<:Cutoff");
    q.Bind(":Cutoff", StoredDateTime(cutOff));
    q.Run();
    return db_.Changes();
}

void TFFData::Pack()
{
    db_.Exec("VACUUM");
}

} // namespace bm
