#include "store/msgsU.h"

#include <algorithm>

namespace bm {

// --- Lists -----------------------------------------------------------------

TKnownMessage* TMessageList::Add(std::unique_ptr<TKnownMessage> record)
{
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(record));
    return items_.back().get();
}

std::unique_ptr<TKnownMessage> TMessageList::Extract(const TKnownMessage* record)
{
    std::lock_guard lock(mutex_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& p) { return p.get() == record; });
    if (it == items_.end())
        return nullptr;
    auto taken = std::move(*it);
    items_.erase(it);
    return taken;
}

bool TMessageList::Remove(const TKnownMessage* record)
{
    return Extract(record) != nullptr;
}

void TMessageList::Clear()
{
    std::lock_guard lock(mutex_);
    items_.clear();
}

int TMessageList::Count() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(items_.size());
}

TKnownMessage* TMessageList::Item(int index) const
{
    std::lock_guard lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
        return nullptr;
    return items_[static_cast<std::size_t>(index)].get();
}

TKnownMessage* TMessageList::Find(std::string_view id) const
{
    std::lock_guard lock(mutex_);
    for (const auto& item : items_)
        if (item->Id() == id)
            return item.get();
    return nullptr;
}

TKnownMessage* TMessageList::Find(std::string_view account, std::string_view id) const
{
    TKnownMessage probe;
    probe.SetAccount(account);
    const std::string fitted = probe.Account();
    std::lock_guard lock(mutex_);
    for (const auto& item : items_)
        if (item->Id() == id && item->Account() == fitted)
            return item.get();
    return nullptr;
}

void TMessageList::ForEach(const std::function<void(const TKnownMessage&)>& fn) const
{
    std::lock_guard lock(mutex_);
    for (const auto& item : items_)
        fn(*item);
}

void TMessageList::Assign(std::vector<std::unique_ptr<TKnownMessage>> records)
{
    std::lock_guard lock(mutex_);
    items_ = std::move(records);
}

TMessageList& InboxList()
{
    static TMessageList list;
    return list;
}

TMessageList& KnownList()
{
    static TMessageList list;
    return list;
}

TKnownMessage* FindKnownMessage(const TMessageList& list, std::string_view id)
{
    return list.Find(id);
}

TKnownMessage* FindKnownMessage(const TMessageList& list, std::string_view account, std::string_view id)
{
    return list.Find(account, id);
}

std::unique_ptr<TKnownMessage> CloneKnownMessage(const TKnownMessage& record)
{
    return std::make_unique<TKnownMessage>(record);
}

} // namespace bm
