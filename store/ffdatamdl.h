#pragma once
// TFFData: the main connection to the quarantine tables, created once by the
// main window at start-up (and by the uninstaller) and living until shutdown.
// Besides the shared row-level work (TQuarantineConnection) it holds the
// start-up that creates and upgrades the tables and the cleaner's queries.
//
// Threads: main thread only. Worker threads use their own TThreadData.

#include "store/quarantinedbU.h"

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// A row of OldQry: an expired quarantined message.
struct TOldMessage {
    int ID = 0;
    std::string UIDL;
    std::string Account;
    int KeyID = 0;
};

class TFFData : public TQuarantineConnection {
public:
    // Opens the database file (default: QuarantineDbPath()), checks it for
    // damage, creates each missing table with its indexes (empty), and brings
    // an older Quarantine table (without MessageSent) up to date through
    // UpgradeKeysTable. Throws EDatabaseError with the engine's message when
    // the file is not a database, is damaged, or cannot be written; the file
    // is then left as it was.
    explicit TFFData(const std::filesystem::path& file = {});
    ~TFFData() override;

    // Removes the key when no quarantined message refers to it any longer,
    // together with the first QuarantineQueue row of the key (a row with
    // KeyID -1 belongs to no key and is never removed here). Does nothing for
    // an unknown key id or a key that still has messages.
    void DeleteEmptyKey(int keyId);

    // Statements are finished as soon as their rows are read, so nothing of
    // this connection is open between calls; kept for the cleaner's order of
    // steps.
    void CloseQueries() {}

    // Adds the field MessageSent to a Quarantine table that lacks it, keeping
    // every row and value, and sets it true on every existing row (each key
    // that existed before counts as challenged, so its messages can age out).
    // One transaction: a crash during the upgrade leaves the old table, and
    // the next start-up upgrades again. Does nothing when the field exists.
    void UpgradeKeysTable();

    // KeysWithSentMessageQry: the IDs of the keys whose MessageSent is true.
    std::set<int> KeysWithSentMessage();

    // OldQry: the quarantined messages received before the cut-off (a
    // "yyyy-mm-dd hh:nn:ss" text), of every account, or of the one account
    // when given. The cut-off and the account name are bound parameters, so
    // any account name (O'Brien) is taken as it is.
    std::vector<TOldMessage> OldMessages(std::string_view cutOff,
                                         const std::optional<std::string>& account = std::nullopt);

    // Deletes the AnsweredRequests rows whose Time lies before the cut-off
    // (a date-time); returns how many went.
    int DeleteAnsweredRequestsBefore(TDateTime cutOff);
    // The same for the SentMessages rows.
    int DeleteSentMessagesBefore(TDateTime cutOff);

    // Compacts the database file, reclaiming the space of deleted rows
    // (VACUUM). Needs every statement of this connection finished, which is
    // the case between calls.
    void Pack();
};

// Creates each of the four tables that is missing, and every missing index.
// Exposed for tests that build older tables themselves.
void CreateQuarantineTables(TDatabase& db);

} // namespace bm
