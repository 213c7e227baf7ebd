#pragma once
// TQuarantineService: the commands on the quarantine list. Each keeps the
// quarantine files, the tables, the Friends list or blacklist and the core's
// rows together and tells the views through the core's signals; the views
// only pass the selected rows and redraw.
//
// Threads: main thread (a Mail check may run meanwhile: the tables and the
// lists serialise themselves).

#include "app/appcoreU.h"

#include <map>
#include <string>
#include <vector>

namespace bm {

// The quarantine days of each account by name, noted before an options change.
using TAccountDays = std::map<std::string, int>;

class TQuarantineService {
public:
    // The confirmations the view asks before the two delete commands (title
    // "Confirm", Yes and No, No the default).
    inline static const char* const kConfirmDelete =
        "Are you sure that you want to delete the selected messages from your quarantine permanently?";
    inline static const char* const kConfirmDeleteAndBlacklist =
        "Are you sure that you want to delete the selected\r\nmessages from your quarantine permanently, and add\r\n"
        "the senders to your blacklist?";

    explicit TQuarantineService(TAppCore& core) : core_(core) {}

    // The four commands on the selected rows (their IDs in the list's order);
    // each gives the IDs it processed, last row first.
    std::vector<int> SendToInbox(const std::vector<int>& ids)
    {
        return ProcessQuarantineSelection(ids, true, false, false);
    }
    std::vector<int> SendToInboxAndAddFriends(const std::vector<int>& ids)
    {
        return ProcessQuarantineSelection(ids, true, true, false);
    }
    std::vector<int> Delete(const std::vector<int>& ids)
    {
        return ProcessQuarantineSelection(ids, false, false, false);
    }
    std::vector<int> DeleteAndBlacklist(const std::vector<int>& ids)
    {
        return ProcessQuarantineSelection(ids, false, false, true);
    }

    // From the last ID to the first, each that still has its table row: the
    // senders (From, Sender, Reply-To) added in lower case to the Friends
    // list (addFriends) or the blacklist (addBlacklist) when not on it yet
    // (AddressWhitelisted / SenderBlacklisted); the file moved to the
    // account's inbox folder (toInbox) or deleted; the row removed
    // (QuarantineRowRemoved). Then the table rows are deleted, each key that
    // no message refers to any longer goes with its queued challenge (so a
    // challenge not yet sent is never sent), and after a complete run the
    // inbox is rebuilt from the files (RefreshInbox). The lists changed here
    // are written at exit. A failure is passed on; what was done stays done.
    // A message whose file cannot be read adds no senders and is processed
    // all the same: the user asked to be rid of it.
    std::vector<int> ProcessQuarantineSelection(const std::vector<int>& ids, bool toInbox, bool addFriends,
                                                bool addBlacklist);

    // The account's own QuarantineDays with UseIndividualAccountSettings on
    // and an account of that name, else the global QuarantineDays.
    int QuarantineDays(const std::string& account) const;
    // The row's "Delete at": its Received plus its quarantine days.
    TDateTime DeleteAt(const TTrashRow& row) const;
    // Every account's quarantine days now, and under "" (no account has an
    // empty name) the global days: note them before an options change.
    TAccountDays QuarantineDaysByAccount() const;
    // After an options change: the rows whose "Delete at" moved because
    // their days differ from those noted in before; a row of an account not
    // noted had the global days noted under "" (it shows those), or, without
    // that entry, counts as unchanged. DeleteTimesShifted with their IDs when
    // any did.
    std::vector<int> ShiftDeleteTimes(const TAccountDays& before);

private:
    void AddSenders(const TQuarantinedMessage& row, bool friends);

    TAppCore& core_;
};

} // namespace bm
