#include "app/inboxsvc.h"

#include "app/svcsupport.h"
#include "config/addrlistU.h"
#include "config/textcaseU.h"
#include "store/msgsU.h"

#include <mutex>

namespace bm {

void TInboxService::DeleteRow(const TInboxRow& row)
{
    std::error_code ec;
    std::filesystem::remove(MessageFilePath(row.Account, row.Id, false), ec);
    core_.RemoveInboxRow(row.Id, row.Account);
    if (const TKnownMessage* record = core_.inboxList_.Find(row.Account, row.Id))
        core_.inboxList_.Remove(record);
}

void TInboxService::BlacklistSenders(const TInboxRow& row)
{
    const std::vector<std::string> senders = SendersOfFile(MessageFilePath(row.Account, row.Id, false));
    AddMissingAddresses(core_.blacklist_, senders, [this](const std::string& a) { emit core_.SenderBlacklisted(a); });
    for (const std::string& address : senders) {
        const std::string lower = LowerText(address);
        std::string removed;
        {
            // The checker may add friends meanwhile: the index stays valid.
            std::lock_guard lock(core_.friends_.Mutex());
            const int index = core_.friends_.IndexOf(lower);
            if (index < 0)
                continue;
            removed = core_.friends_.Text(index);
            core_.friends_.Delete(index);
        }
        emit core_.AddressRemoved(TSideBarList::Friends, removed);
    }
}

void TInboxService::Delete(const std::vector<TInboxRow>& rows)
{
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        DeleteRow(*it);
    core_.SetStatus(core_.StatusText());
}

void TInboxService::DeleteAndBlacklist(const std::vector<TInboxRow>& rows)
{
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        BlacklistSenders(*it);
        DeleteRow(*it);
    }
    core_.SetStatus(core_.StatusText());
}

} // namespace bm
