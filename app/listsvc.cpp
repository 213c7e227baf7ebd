#include "app/listsvc.h"

#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "config/textcaseU.h"

#include <mutex>
#include <stdexcept>

namespace bm {

TAddressList& TListService::AddressList(TSideBarList list) const
{
    switch (list) {
    case TSideBarList::Friends: return core_.friends_;
    case TSideBarList::Blacklist: return core_.blacklist_;
    default: throw std::invalid_argument("The filters are no address list");
    }
}

const std::filesystem::path& TListService::FileOf(TSideBarList list) const
{
    switch (list) {
    case TSideBarList::Friends: return core_.settings_.FriendsFile;
    case TSideBarList::Blacklist: return core_.settings_.BlacklistFile;
    default: return core_.settings_.FiltersFile;
    }
}

void TListService::EmitAdded(TSideBarList list, const std::string& address)
{
    if (list == TSideBarList::Friends)
        emit core_.AddressWhitelisted(address);
    else
        emit core_.SenderBlacklisted(address);
}

bool TListService::AddTo(TSideBarList list, const std::string& address)
{
    const std::string lower = LowerText(address);
    if (lower.empty() || !AddressList(list).Add(lower))
        return false;
    EmitAdded(list, lower);
    return true;
}

void TListService::SaveList(TSideBarList list)
{
    if (list == TSideBarList::Filters)
        core_.filters_.SaveToFile(FileOf(list));
    else
        AddressList(list).SaveToFile(FileOf(list));
}

bool TListService::AddAddress(TSideBarList list, const std::string& address)
{
    const bool added = AddTo(list, address);
    SaveList(list);
    return added;
}

bool TListService::EditAddress(TSideBarList list, const std::string& oldText, const std::string& newText)
{
    TAddressList& l = AddressList(list);
    const std::string lower = LowerText(newText);
    std::string before;
    {
        std::lock_guard lock(l.Mutex());
        const int index = l.IndexOf(oldText);
        const int other = l.IndexOf(lower);
        if (index < 0 || lower.empty() || (other >= 0 && other != index))
            return false;
        before = l.Text(index);
        l.SetText(index, lower);
    }
    emit core_.AddressChanged(list, before, lower);
    SaveList(list);
    return true;
}

void TListService::DeleteAddresses(TSideBarList list, const std::vector<std::string>& texts)
{
    TAddressList& l = AddressList(list);
    for (const std::string& text : texts) {
        std::string removed;
        {
            std::lock_guard lock(l.Mutex());
            const int index = l.IndexOf(text);
            if (index < 0)
                continue;
            removed = l.Text(index);
            l.Delete(index);
        }
        emit core_.AddressRemoved(list, removed);
    }
}

void TListService::MoveAddresses(TSideBarList from, const std::vector<std::string>& texts)
{
    const TSideBarList to = from == TSideBarList::Friends ? TSideBarList::Blacklist : TSideBarList::Friends;
    AddressList(from); // a filter list cannot be moved
    for (const std::string& text : texts)
        AddTo(to, text);
    DeleteAddresses(from, texts);
    SaveList(from);
    SaveList(to);
}

bool TListService::SetAddressEnabled(TSideBarList list, const std::string& text, bool enabled)
{
    TAddressList& l = AddressList(list);
    {
        std::lock_guard lock(l.Mutex());
        const int index = l.IndexOf(text);
        if (index < 0)
            return false;
        l.SetActive(index, enabled);
    }
    SaveList(list);
    return true;
}

void TListService::FriendImported(const std::string& address)
{
    emit core_.AddressWhitelisted(LowerText(address));
}

TSideBarRow TListService::FilterRow(int index) const
{
    std::lock_guard lock(core_.filters_.Mutex());
    const TFilter* f = core_.filters_.Item(index);
    return {f->Name(), f->Enabled()};
}

int TListService::AddFilter(std::unique_ptr<TFilter> filter)
{
    int index = 0;
    {
        std::lock_guard lock(core_.filters_.Mutex());
        core_.filters_.Add(std::move(filter));
        index = core_.filters_.Count() - 1;
    }
    emit core_.FilterAdded(index, FilterRow(index));
    SaveList(TSideBarList::Filters);
    return index;
}

bool TListService::FilterEdited(int index)
{
    if (index < 0 || index >= core_.filters_.Count())
        return false;
    emit core_.FilterChanged(index, FilterRow(index));
    SaveList(TSideBarList::Filters);
    return true;
}

bool TListService::DeleteFilter(int index)
{
    {
        std::lock_guard lock(core_.filters_.Mutex());
        if (index < 0 || index >= core_.filters_.Count())
            return false;
        core_.filters_.Delete(index);
    }
    emit core_.FilterRemoved(index);
    SaveList(TSideBarList::Filters);
    return true;
}

bool TListService::SetFilterEnabled(int index, bool enabled)
{
    {
        std::lock_guard lock(core_.filters_.Mutex());
        if (index < 0 || index >= core_.filters_.Count())
            return false;
        core_.filters_.Item(index)->SetEnabled(enabled);
    }
    SaveList(TSideBarList::Filters);
    return true;
}

} // namespace bm
