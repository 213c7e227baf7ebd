// TMailCheckerMdl: the pass over one mailbox (UIDL walk, retrieval, lists
// and filters, classification) and the deletions on the server.

#include "check/mailchkmdl.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "core/commonsU.h"
#include "core/datetimeU.h"
#include "core/loggerU.h"
#include "core/mailmsgU.h"
#include "core/msghelpersU.h"
#include "store/msgsU.h"

namespace bm {

// A handled message marked for deletion: its entry, the server's unique id
// as listed, and the id the rest of the system knows it by.
struct TMailCheckerMdl::TPending {
    std::unique_ptr<TKnownMessage> Entry;
    std::string ServerUid;
    std::string Id;
};

namespace {

// The listing line's number; `position` when it is not a number.
int MessageNumber(const std::string& text, int position)
{
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0)
        return position;
    return value;
}

std::string Progress(const char* verb, int i, int n, const std::string& account)
{
    return std::string(verb) + " " + std::to_string(i) + " of " + std::to_string(n) + " on " + account;
}

// Short date and long time; a date-time without a time part shows the date
// alone (the message without a Date header shows 30/12/1899).
std::string DateText(TDateTime date)
{
    double whole = 0;
    if (std::modf(date, &whole) == 0.0)
        return FormatDateTimeText(kDisplayDateFormat, date);
    return FormatDateTimeText(kDisplayDateTimeFormat, date);
}

std::int32_t SizeValue(std::int64_t size)
{
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(size, 0, std::numeric_limits<std::int32_t>::max()));
}

void FillEntry(TKnownMessage& entry, const TMailMessage& message, const std::string& account)
{
    entry.TextLines = GetMessageText(message);
    entry.AttachmentNames = GetAttachmentNames(message);
    entry.SetStatus("");
    entry.SetFrom(message.FromList.Empty() ? std::string() : message.FromList[0].GetText());
    entry.SetSubject(message.Subject);
    entry.SetAccount(account);
    entry.SetDate(message.Date);
    entry.SetSeen(true);
    entry.SetSizeText(FormatSize(entry.Size()));
    entry.SetDateText(DateText(message.Date));
}

} // namespace

bool TMailCheckerMdl::ProcessMailbox(TAccount& account, TMessageList& inboxList, TMessageList& knownList)
{
    const std::string name = account.Name();
    int count = 0;
    std::vector<TUidlLine> lines;
    try {
        count = client_.Stat();
        if (count <= 0)
            return false;
        lines = client_.Uidl();
    } catch (const std::exception& e) {
        Report(e.what(), name);
        return false;
    }
    bool changed = false;
    std::vector<TPending> toDelete;
    PreparePipeline(lines, inboxList, knownList);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Status(Progress("Checking mail", static_cast<int>(i + 1), static_cast<int>(lines.size()), name));
        if (ProcessLine(account, lines[i], static_cast<int>(i + 1), inboxList, knownList, toDelete))
            changed = true;
    }
    if (toDelete.empty())
        return changed;
    if (OnBeforeDeleteOnServer)
        OnBeforeDeleteOnServer(account);
    if (DeleteOnServer(account, toDelete, inboxList))
        changed = true;
    return changed;
}

// One listing line; true when it changed the lists. Throws what ends the
// pass (a broken connection, a handler's exception).
bool TMailCheckerMdl::ProcessLine(TAccount& account, const TUidlLine& line, int index,
                                  TMessageList& inboxList, TMessageList& knownList,
                                  std::vector<TPending>& toDelete)
{
    WriteTrace({"Retrieve msg", line.Number + " " + line.Uid}, kTraceDetail);
    const int number = MessageNumber(line.Number, index);
    const std::string id = MakeMessageId(line.Uid);
    if (id.empty()) {
        // Without an id the message could never be told apart later; it
        // stays on the server untouched.
        WriteTrace({"Malformed UIDL line", line.Number}, kTraceNotable);
        return false;
    }
    const std::size_t lineIndex = static_cast<std::size_t>(index - 1);
    if (!passIds_.insert(id).second) {
        DiscardPipelined(lineIndex);
        WriteTrace({"Duplicate id", id}, kTraceNotable);
        return false;
    }
    if (TKnownMessage* handled = FindKnownMessage(inboxList, id)) {
        DiscardPipelined(lineIndex);
        WriteTrace({"Message in array", id}, kTraceDetail);
        handled->SetSeen(true);
        return false;
    }
    if (TKnownMessage* known = FindKnownMessage(knownList, id)) {
        DiscardPipelined(lineIndex);
        WriteTrace({"Message known", id}, kTraceDetail);
        known->SetSeen(true);
        known->SetKnownBefore(true);
        if (OnNewMessage)
            OnNewMessage(id, *known);
        if (auto moved = knownList.Extract(known))
            inboxList.Add(std::move(moved));
        return true;
    }

    TMailMessage message;
    std::unique_ptr<TKnownMessage> entry = Retrieve(account, lineIndex, number, id, message);
    if (!entry)
        return true;
    ApplyLists(message, *entry, id);
    ApplyFilters(message, *entry, id);
    const bool handled = !OnProcessMessage || OnProcessMessage(id, message, *entry);
    WriteTrace({"ProcessMessage", "End"}, kTraceDetail);
    if (!handled) {
        // Nothing of it is stored: leave it on the server for the next check.
        WriteTrace({"ProcessMessage", "Not handled", id}, kTraceNotable);
        return true;
    }
    if (entry->ToBeDeleted()) {
        WriteTrace({"ToDelete", id}, kTraceDetail);
        toDelete.push_back({std::move(entry), line.Uid, id});
    } else {
        WriteTrace({"NewMessage", id}, kTraceDetail);
        if (OnNewMessage)
            OnNewMessage(id, *entry);
        inboxList.Add(std::move(entry));
    }
    return true;
}

// LIST and RETR of a new message, parsed, with its entry filled; null when
// the message could not be had this time (reported; the pass goes on).
// Throws, after reporting, when the connection broke.
std::unique_ptr<TKnownMessage> TMailCheckerMdl::Retrieve(TAccount& account, std::size_t lineIndex, int number,
                                                         const std::string& id, TMailMessage& message)
{
    const std::string name = account.Name();
    auto entry = std::make_unique<TKnownMessage>();
    entry->SetId(id);
    try {
        std::int64_t size = 0;
        std::string text;
        if (pipe_.On) {
            if (!FetchPipelined(lineIndex, size, text))
                return nullptr;
            entry->SetSize(SizeValue(size));
        } else {
            size = client_.List(number);
            entry->SetSize(SizeValue(size));
            text = client_.Retr(number, static_cast<std::size_t>(entry->Size()));
        }
        TMessageLimits limits;
        limits.MaxMessageBytes = settings_.Client.MaxMessageBytes;
        message.LoadFromString(text, limits);
    } catch (const std::exception& e) {
        Report(e.what(), name);
        if (!client_.Connected())
            throw;
        return nullptr;
    }
    WriteTrace({"Retrieved - Checking message"}, kTraceDetail);
    FillEntry(*entry, message, name);
    return entry;
}

void TMailCheckerMdl::ApplyLists(TMailMessage& message, TKnownMessage& entry, const std::string& id)
{
    if (friends_.Matches(message)) {
        WriteTrace({"Whitelisted", id}, kTraceDetail);
        entry.SetStatus("Friend");
        entry.SetWhitelisted(true);
    } else if (blacklist_.Matches(message)) {
        entry.SetStatus("Blacklisted");
        entry.SetBlacklisted(true);
        entry.SetDeleteVerdict(true);
        entry.SetToBeDeleted(true);
    }
}

void TMailCheckerMdl::ApplyFilters(TMailMessage& message, TKnownMessage& entry, const std::string& id)
{
    const std::optional<TFilterMatch> filter = filters_.FindMatchResult(message, entry.Whitelisted());
    if (!filter) {
        WriteTrace({"ProcessMessage", "Begin"}, kTraceDetail);
        return;
    }
    entry.FilterName = filter->Name;
    WriteTrace({"Filtered", id, filter->Name}, kTraceDetail);
    // The filter's verdict replaces the blacklist's; a to-delete flag the
    // blacklist set stays.
    entry.SetDeleteVerdict(filter->Delete);
    if (filter->WhitelistSender) {
        for (const std::string& address : GetSenderAddresses(message)) {
            if (friends_.IndexOf(address) >= 0)
                continue;
            friends_.AddAddress(address);
            if (OnAddressWhitelisted)
                OnAddressWhitelisted(address);
        }
        entry.SetWhitelisted(true);
    }
    if (entry.DeleteVerdict())
        entry.SetToBeDeleted(true);
}

// How many retrievals are sent ahead: enough to keep the connection busy
// while a message is classified and stored, few enough that the answers
// waiting in the socket buffers stay small.
constexpr std::size_t kRetrievalWindow = 8;
constexpr std::size_t kDeleteWindow = 64;

// With a server that pipelines (RFC 2449 §6.6), the lines that are new now
// are retrieved ahead of the walk. A line that turns out handled by the time
// the walk meets it has its answers read and dropped; one that was not judged
// new is left on the server for the next check.
void TMailCheckerMdl::PreparePipeline(const std::vector<TUidlLine>& lines, const TMessageList& inboxList,
                                      const TMessageList& knownList)
{
    passIds_.clear();
    pipe_ = TPipeline{};
    pipe_.On = client_.CanPipeline();
    if (!pipe_.On)
        return;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string id = MakeMessageId(lines[i].Uid);
        if (!id.empty() && !FindKnownMessage(inboxList, id) && !FindKnownMessage(knownList, id))
            pipe_.Wanted.emplace_back(i, MessageNumber(lines[i].Number, static_cast<int>(i + 1)));
    }
}

// The answers for the line; false when it was not requested.
bool TMailCheckerMdl::FetchPipelined(std::size_t lineIndex, std::int64_t& size, std::string& text)
{
    while (pipe_.InFlight.size() < kRetrievalWindow && pipe_.Next < pipe_.Wanted.size()) {
        client_.RequestRetrieval(pipe_.Wanted[pipe_.Next].second);
        pipe_.InFlight.push_back(pipe_.Wanted[pipe_.Next].first);
        ++pipe_.Next;
    }
    if (pipe_.InFlight.empty() || pipe_.InFlight.front() != lineIndex) {
        WriteTrace({"Not requested, left for the next check", std::to_string(lineIndex + 1)}, kTraceNotable);
        return false;
    }
    pipe_.InFlight.pop_front();
    auto answer = client_.ReadRetrieval();
    size = answer.first;
    text = std::move(answer.second);
    return true;
}

void TMailCheckerMdl::DiscardPipelined(std::size_t lineIndex)
{
    if (!pipe_.On || pipe_.InFlight.empty() || pipe_.InFlight.front() != lineIndex)
        return;
    pipe_.InFlight.pop_front();
    try {
        client_.ReadRetrieval();
    } catch (const EPop3Error&) {
    } catch (const EPop3MessageTooLarge&) {
    }
}

// The ids are mapped to the numbers of a fresh listing by the server's own
// unique id, compared exactly: two server ids that differ only in letter case
// or in characters MakeSafeFileName replaces are different messages, and a
// DELE must never reach one that was not handled.
bool TMailCheckerMdl::DeleteOnServer(TAccount& account, std::vector<TPending>& toDelete, TMessageList& inboxList)
{
    const std::string name = account.Name();
    Status("Retrieving message list on " + name);
    std::unordered_map<std::string, int> numbers;
    const std::vector<TUidlLine> lines = client_.Uidl();
    for (std::size_t i = 0; i < lines.size(); ++i)
        numbers.emplace(lines[i].Uid, MessageNumber(lines[i].Number, static_cast<int>(i + 1)));
    const std::size_t window = client_.CanPipeline() ? kDeleteWindow : 1;
    bool changed = false;
    const int n = static_cast<int>(toDelete.size());
    for (std::size_t from = 0; from < toDelete.size(); from += window) {
        const std::size_t count = std::min(window, toDelete.size() - from);
        SendDeletes(toDelete, from, count, numbers);
        for (std::size_t i = from; i < from + count; ++i) {
            TPending& pending = toDelete[i];
            Status(Progress("Deleting message", static_cast<int>(i + 1), n, name));
            // A refused DELE leaves the message on the server: met as new at
            // the next check.
            if (pending.ServerUid.empty() || !client_.ReadDele())
                continue;
            inboxList.Remove(pending.Entry.get());
            pending.Entry.reset();
            if (OnMessageDeleted)
                OnMessageDeleted(pending.Id, nullptr);
            changed = true;
        }
    }
    return changed;
}

// Sends DELE for the entries that are on the server; an entry that is not
// has its ServerUid cleared (no answer to read for it).
void TMailCheckerMdl::SendDeletes(std::vector<TPending>& toDelete, std::size_t from, std::size_t count,
                                 const std::unordered_map<std::string, int>& numbers)
{
    for (std::size_t i = from; i < from + count; ++i) {
        TPending& pending = toDelete[i];
        const auto found = numbers.find(pending.ServerUid);
        if (found == numbers.end()) {
            pending.ServerUid.clear();
            continue;
        }
        client_.RequestDele(found->second);
    }
}

} // namespace bm
