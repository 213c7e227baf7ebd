#pragma once
// The lists of known-message records: this run's inbox records and the
// records read from knownmessages.dat at start (store/knownmsgU.h).
//
// Threads: InboxList and KnownList are process-wide; each serialises access
// to its items with its own mutex, so the Mail check thread and the main
// thread may add, find, move and remove records at the same time. A record
// that a thread holds a pointer to stays alive until it is removed from its
// list.

#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "store/knownmsgU.h"

namespace bm {

// --- Lists ------------------------------------------------------------------

// An ordered list of known-message records that owns them.
class TMessageList {
public:
    TMessageList() = default;
    TMessageList(const TMessageList&) = delete;
    TMessageList& operator=(const TMessageList&) = delete;

    // Appends the record and returns it (it stays where it is in memory).
    TKnownMessage* Add(std::unique_ptr<TKnownMessage> record);
    // Takes the record out of the list and gives it to the caller (to move it
    // to the other list); null when it is not in this list.
    std::unique_ptr<TKnownMessage> Extract(const TKnownMessage* record);
    // Frees the record when it is in the list; true when it was.
    bool Remove(const TKnownMessage* record);
    // Frees every record.
    void Clear();
    int Count() const;
    // The record at index, or null when out of range.
    TKnownMessage* Item(int index) const;
    // The first record whose id equals id exactly (case matters), or null.
    TKnownMessage* Find(std::string_view id) const;
    // The first record of that account (cut to its field as SetAccount
    // does) whose id equals id exactly, or null.
    TKnownMessage* Find(std::string_view account, std::string_view id) const;
    // Calls fn for each record in order, holding the list's lock.
    void ForEach(const std::function<void(const TKnownMessage&)>& fn) const;
    // Replaces the whole content at once.
    void Assign(std::vector<std::unique_ptr<TKnownMessage>> records);

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TKnownMessage>> items_;
};

// The process-wide lists: this run's inbox records, and the records read from
// knownmessages.dat at start.
TMessageList& InboxList();
TMessageList& KnownList();

// The first record of the list whose id equals id exactly, or null. Only the
// id is compared, not the account.
TKnownMessage* FindKnownMessage(const TMessageList& list, std::string_view id);
// The same for one account: servers number their UIDLs alike ("1", "2"...),
// so the Mail check tells messages apart by account and id together.
TKnownMessage* FindKnownMessage(const TMessageList& list, std::string_view account, std::string_view id);
// A new record with the same 833 bytes, its own copies of the lines, and the
// same filter.
std::unique_ptr<TKnownMessage> CloneKnownMessage(const TKnownMessage& record);

} // namespace bm
