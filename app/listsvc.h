#pragma once
// TListService: the edits of the side bar's lists (the Friends list, the
// blacklist and the filters) with their saving rules: an edit that the user
// makes on one entry writes its list at once; a delete only marks the list
// changed (it is written at exit or with its next write). Each tells the
// views through the core's signals.
//
// Threads: main thread. The Mail check and the local SMTP server add friends
// meanwhile; the lists serialise themselves.

#include "app/appcoreU.h"

#include <memory>
#include <string>
#include <vector>

namespace bm {

class TAddressList;
class TFilter;

class TListService {
public:
    // The confirmations of the two moves (title "Confirm", Yes and No).
    inline static const char* const kConfirmMoveToBlacklist =
        "Are you sure that you want to move the selected friends to your Blacklist?";
    inline static const char* const kConfirmMoveToFriends =
        "Are you sure that you want to move the selected blacklisted addresses to your Friends list?";

    explicit TListService(TAppCore& core) : core_(core) {}

    // --- The Friends list and the blacklist (list: Friends or Blacklist;
    // std::invalid_argument for Filters) ------------------------------------

    // Adds the address in lower case, enabled, when the list does not hold
    // it (AddressWhitelisted or SenderBlacklisted), then writes the list.
    // True when it was added.
    bool AddAddress(TSideBarList list, const std::string& address);
    // The entry whose text is oldText takes the lower-case newText, keeping
    // its enabled state (AddressChanged), and the list is written. False,
    // with nothing changed, when oldText is not on the list or newText is
    // another entry's already.
    bool EditAddress(TSideBarList list, const std::string& oldText, const std::string& newText);
    // Each text leaves the list (AddressRemoved); no write.
    void DeleteAddresses(TSideBarList list, const std::vector<std::string>& texts);
    // Each text, in order, is added to the other list as AddAddress does (no
    // write yet), then all leave this list; then both lists are written.
    void MoveAddresses(TSideBarList from, const std::vector<std::string>& texts);
    // The side-bar check box: the entry's enabled state, then the list
    // written. False when the text is not on the list (it was reloaded).
    bool SetAddressEnabled(TSideBarList list, const std::string& text, bool enabled);
    // An address that the address-book import added to the Friends list
    // itself: AddressWhitelisted only.
    void FriendImported(const std::string& address);
    // Writes the list (the import's end, and the rules above).
    void SaveList(TSideBarList list);

    // --- The filters ----------------------------------------------------------

    // Appends the filter (FilterAdded) and writes the filters; its index.
    int AddFilter(std::unique_ptr<TFilter> filter);
    // The filter at index was changed by the filter dialog: FilterChanged,
    // and the filters written. False for an index out of range.
    bool FilterEdited(int index);
    // Removes and frees the filter (FilterRemoved) and writes the filters.
    bool DeleteFilter(int index);
    // The side-bar check box of a filter; the filters written.
    bool SetFilterEnabled(int index, bool enabled);

private:
    TAddressList& AddressList(TSideBarList list) const;
    const std::filesystem::path& FileOf(TSideBarList list) const;
    bool AddTo(TSideBarList list, const std::string& address);
    void EmitAdded(TSideBarList list, const std::string& address);
    TSideBarRow FilterRow(int index) const;

    TAppCore& core_;
};

} // namespace bm
