#pragma once
// TInboxService: the commands on the inbox list. Each keeps the message
// files, the inbox records, the address lists and the core's rows together
// and tells the views through the core's signals.
//
// Threads: main thread.

#include "app/appcoreU.h"

#include <vector>

namespace bm {

class TInboxService {
public:
    // The confirmations the view asks first (title "Confirm", Yes and No,
    // No the default).
    inline static const char* const kConfirmDelete =
        "Are you sure that you want to delete the selected messages from your inbox permanently?";
    inline static const char* const kConfirmDeleteAndBlacklist =
        "Are you sure that you want to delete the selected\r\nmessages from your inbox permanently, and add\r\n"
        "the senders to your blacklist?";

    explicit TInboxService(TAppCore& core) : core_(core) {}

    // From the last row to the first (by Id and Account): the message file
    // deleted, the row removed (InboxRowRemoved), the inbox record freed;
    // then the status told again (the counts).
    void Delete(const std::vector<TInboxRow>& rows);
    // The same, after each message's senders (From, Sender, Reply-To) went in
    // lower case to the blacklist when not on it (SenderBlacklisted) and left
    // the Friends list when on it (AddressRemoved): a sender the user calls
    // spam is no friend any longer. The lists are written at exit.
    void DeleteAndBlacklist(const std::vector<TInboxRow>& rows);
    // Rebuilds the inbox list from the local server (a local-only check).
    void RefreshInbox() { core_.RefreshInbox(); }

private:
    void DeleteRow(const TInboxRow& row);
    void BlacklistSenders(const TInboxRow& row);

    TAppCore& core_;
};

} // namespace bm
