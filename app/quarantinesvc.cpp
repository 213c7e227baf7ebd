#include "app/quarantinesvc.h"

#include "app/svcsupport.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "store/ffdatamdl.h"
#include "store/msgsU.h"

#include <algorithm>

namespace bm {

void TQuarantineService::AddSenders(const TQuarantinedMessage& row, bool friends)
{
    const std::vector<std::string> senders = SendersOfFile(MessageFilePath(row.Account, row.UIDL, true));
    if (friends)
        AddMissingAddresses(core_.friends_, senders,
                            [this](const std::string& a) { emit core_.AddressWhitelisted(a); });
    else
        AddMissingAddresses(core_.blacklist_, senders,
                            [this](const std::string& a) { emit core_.SenderBlacklisted(a); });
}

std::vector<int> TQuarantineService::ProcessQuarantineSelection(const std::vector<int>& ids, bool toInbox,
                                                                bool addFriends, bool addBlacklist)
{
    TFFData& db = *core_.Database();
    std::vector<int> processed;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
        const std::optional<TQuarantinedMessage> row = db.FindQuarantinedMessage(*it);
        if (!row)
            continue; // gone meanwhile (released by a key reply, cleaned)
        processed.push_back(row->ID);
        if (addFriends || addBlacklist)
            AddSenders(*row, addFriends);
        if (toInbox) {
            ReleaseMessageFile(row->Account, row->UIDL);
        } else {
            std::error_code ec;
            std::filesystem::remove(MessageFilePath(row->Account, row->UIDL, true), ec);
        }
        core_.RemoveQuarantineRow(row->ID);
    }
    // The table rows go only now, so that a key whose messages are all in
    // this selection is removed once, after its last message.
    std::vector<int> keys;
    for (int id : processed) {
        const std::optional<TQuarantinedMessage> row = db.FindQuarantinedMessage(id);
        if (!row)
            continue;
        if (std::find(keys.begin(), keys.end(), row->KeyID) == keys.end())
            keys.push_back(row->KeyID);
        db.DeleteQuarantinedMessage(id);
    }
    for (int key : keys)
        db.DeleteEmptyKey(key);
    if (!processed.empty()) {
        // The inbox list is rebuilt from the files, so that a message sent
        // to the inbox is listed there and the mail client can collect it.
        core_.RefreshInbox();
        core_.SetStatus(core_.StatusText()); // the counts
    }
    return processed;
}

int TQuarantineService::QuarantineDays(const std::string& account) const
{
    if (core_.options_.UseIndividualAccountSettings())
        if (const TAccountPtr a = core_.accounts_.FindByName(account))
            return a->QuarantineDays();
    return core_.options_.QuarantineDays();
}

TDateTime TQuarantineService::DeleteAt(const TTrashRow& row) const
{
    return row.Received + QuarantineDays(row.Account);
}

TAccountDays TQuarantineService::QuarantineDaysByAccount() const
{
    TAccountDays days;
    days.emplace(std::string(), core_.options_.QuarantineDays());
    for (const TAccountPtr& a : core_.accounts_.Items())
        days.emplace(a->Name(), QuarantineDays(a->Name()));
    return days;
}

std::vector<int> TQuarantineService::ShiftDeleteTimes(const TAccountDays& before)
{
    // A row of an account that was not noted (one that no longer exists)
    // kept the global days before the change, as it does now.
    const int globalBefore = [&] {
        auto it = before.find({});
        return it != before.end() ? it->second : -1;
    }();
    std::vector<int> shifted;
    for (const TTrashRow& row : core_.quarantine_) {
        const int now = QuarantineDays(row.Account);
        auto it = before.find(row.Account);
        int old = it != before.end() ? it->second : now;
        if (it == before.end() && globalBefore >= 0)
            old = globalBefore;
        if (old != now)
            shifted.push_back(row.ID);
    }
    if (!shifted.empty())
        emit core_.DeleteTimesShifted(shifted);
    return shifted;
}

} // namespace bm
