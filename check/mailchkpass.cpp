// TMailCheckerMdl: the pass over one mailbox (UIDL walk, retrieval, lists
// and filters, classification) and the deletions on the server.

#include "check/mailchkmdl.h"

#include <algorithm>
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
#include "store/msgfilesU.h"
#include "store/msgsU.h"

namespace bm {

// A handled message marked for deletion: its entry, the server's unique id
// as listed, and the id the rest of the system knows it by.
// A handled message marked for deletion: its entry (null for one stored by
// an earlier pass, whose record stays where it is), the server's unique id
// as listed with its message number, and the id the rest of the system
// knows it by.
struct TMailCheckerMdl::TPending {
    std::unique_ptr<TKnownMessage> Entry;
    std::string ServerUid;
    std::string Id;
    int Number = 0;
    bool Sent = false; // a DELE went out for it in this pass
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

// The cause of a failure as the user reads it. The connection's own text for
// a peer that closed ("Connection Closed Gracefully.") is kept for a session
// that ended normally and never shown (ReportError drops it).
std::string CauseText(const std::exception& e)
{
    if (dynamic_cast<const EConnectionClosed*>(&e))
        return "The server closed the connection";
    std::string text = e.what();
    while (!text.empty() && (text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

std::string PassEndedText(const std::string& cause, int message, int handled, int total)
{
    return cause + " at message " + std::to_string(message) + "; " + std::to_string(handled) + " of " +
           std::to_string(total) + " messages of the mailbox were handled, the others stay on the server.";
}

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
        Report(dynamic_cast<const EConnectionClosed*>(&e) ? CauseText(e) + "." : std::string(e.what()), name);
        return false;
    }
    std::vector<std::string> uids;
    for (const TUidlLine& line : lines)
        uids.push_back(line.Uid);
    ids_ = MakeMailboxIds(uids);
    bool changed = false;
    std::vector<TPending> toDelete;
    PreparePipeline(lines, name, inboxList, knownList);
    const int n = static_cast<int>(lines.size());
    for (int i = 0; i < n; ++i) {
        Status(Progress("Checking mail", i + 1, n, name));
        TLineResult result = TLineResult::Unchanged;
        try {
            result = ProcessLine(account, lines[static_cast<std::size_t>(i)], i + 1,
                                 ids_[static_cast<std::size_t>(i)], inboxList, knownList, toDelete);
        } catch (const std::exception& e) {
            // Whatever ended the walk is named with how far it got; what was
            // handled before is still deleted when the session is usable.
            Report(PassEndedText(CauseText(e), i + 1, i, n), name);
            if (!client_.Connected())
                throw;
            changed = true;
            break;
        }
        if (result == TLineResult::NotStored) {
            // The handler said why; a store that refused one message (a full
            // disk, a broken database) refuses the next one too.
            Report(PassEndedText("The message could not be stored", i + 1, i, n), name);
            changed = true;
            break;
        }
        if (result == TLineResult::Changed)
            changed = true;
    }
    DrainPipeline();
    if (toDelete.empty())
        return changed;
    if (OnBeforeDeleteOnServer)
        OnBeforeDeleteOnServer(account);
    if (DeleteOnServer(account, toDelete, inboxList))
        changed = true;
    return changed;
}

// A line whose message was met before: handled in this pass, in this run,
// or in an earlier run. Nothing when the message is new.
std::optional<TMailCheckerMdl::TLineResult> TMailCheckerMdl::MetBefore(
    TAccount& account, const TUidlLine& line, int number, const std::string& id, TMessageList& inboxList,
    TMessageList& knownList, std::vector<TPending>& toDelete)
{
    // Stored whole but still listed: an earlier pass ended before its DELE.
    auto deleteIfStored = [&] {
        if (OnIsStored && OnIsStored(account, id)) {
            WriteTrace({"Already stored", id}, kTraceDetail);
            toDelete.push_back({nullptr, line.Uid, id, number});
        }
    };
    if (!passIds_.insert(id).second) {
        // Only a message retrieved twice in this pass, word for word the same
        // under the same UIDL, can share an id with another line.
        WriteTrace({"Duplicate id", id}, kTraceNotable);
        deleteIfStored();
        return TLineResult::Unchanged;
    }
    if (TKnownMessage* handled = FindKnownMessage(inboxList, account.Name(), id)) {
        WriteTrace({"Message in array", id}, kTraceDetail);
        handled->SetSeen(true);
        deleteIfStored();
        return TLineResult::Unchanged;
    }
    if (TKnownMessage* known = FindKnownMessage(knownList, account.Name(), id)) {
        WriteTrace({"Message known", id}, kTraceDetail);
        known->SetSeen(true);
        known->SetKnownBefore(true);
        if (OnNewMessage)
            OnNewMessage(id, *known);
        if (auto moved = knownList.Extract(known))
            inboxList.Add(std::move(moved));
        deleteIfStored();
        return TLineResult::Changed;
    }
    return std::nullopt;
}

// One listing line. Throws what ends the pass (a broken connection, a
// handler's exception).
TMailCheckerMdl::TLineResult TMailCheckerMdl::ProcessLine(TAccount& account, const TUidlLine& line, int index,
                                                          std::string id, TMessageList& inboxList,
                                                          TMessageList& knownList, std::vector<TPending>& toDelete)
{
    WriteTrace({"Retrieve msg", line.Number + " " + line.Uid}, kTraceDetail);
    const int number = MessageNumber(line.Number, index);
    const std::size_t lineIndex = static_cast<std::size_t>(index - 1);
    const bool byContent = id.empty();
    if (!byContent) {
        if (auto seen = MetBefore(account, line, number, id, inboxList, knownList, toDelete)) {
            DiscardPipelined(lineIndex);
            return *seen;
        }
    }

    TMailMessage message;
    std::unique_ptr<TKnownMessage> entry = Retrieve(account, lineIndex, number, line, id, message);
    if (!entry)
        return TLineResult::Changed;
    if (byContent) {
        if (auto seen = MetBefore(account, line, number, id, inboxList, knownList, toDelete))
            return *seen;
    }
    ApplyLists(message, *entry, id);
    ApplyFilters(account, message, *entry, id);
    const bool handled = !OnProcessMessage || OnProcessMessage(id, message, *entry);
    WriteTrace({"ProcessMessage", "End"}, kTraceDetail);
    if (!handled) {
        // Nothing of it is stored: leave it on the server for the next check.
        WriteTrace({"ProcessMessage", "Not handled", id}, kTraceNotable);
        return TLineResult::NotStored;
    }
    if (entry->ToBeDeleted()) {
        WriteTrace({"ToDelete", id}, kTraceDetail);
        toDelete.push_back({std::move(entry), line.Uid, id, number});
    } else {
        WriteTrace({"NewMessage", id}, kTraceDetail);
        if (OnNewMessage)
            OnNewMessage(id, *entry);
        inboxList.Add(std::move(entry));
    }
    return TLineResult::Changed;
}

// LIST and RETR of a new message, parsed, with its entry filled; null when
// the message could not be had this time (reported; the pass goes on). An
// empty id is made from the message text. Throws, unreported, when the
// connection broke (the walk reports it with its count).
std::unique_ptr<TKnownMessage> TMailCheckerMdl::Retrieve(TAccount& account, std::size_t lineIndex, int number,
                                                         const TUidlLine& line, std::string& id,
                                                         TMailMessage& message)
{
    const std::string name = account.Name();
    auto entry = std::make_unique<TKnownMessage>();
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
        if (id.empty())
            id = MakeContentMessageId(line.Uid, text);
        TMessageLimits limits;
        limits.MaxMessageBytes = settings_.Client.MaxMessageBytes;
        message.LoadFromString(text, limits);
    } catch (const std::exception& e) {
        if (!client_.Connected())
            throw;
        Report(e.what(), name);
        return nullptr;
    }
    entry->SetId(id);
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

void TMailCheckerMdl::ApplyFilters(TAccount& account, TMailMessage& message, TKnownMessage& entry,
                                   const std::string& id)
{
    std::vector<TFilterProblem> problems;
    const std::optional<TFilterMatch> filter = filters_.FindMatchResult(message, entry.Whitelisted(), &problems);
    // A bad filter takes no part, is told once per check, and leaves the
    // rest of the mailbox to the other filters.
    for (const TFilterProblem& problem : problems) {
        if (filterProblems_.insert(problem.Text).second) {
            WriteTrace({"Filter disabled", problem.Text}, kTraceNotable);
            Report(problem.Text, account.Name());
        }
    }
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
void TMailCheckerMdl::PreparePipeline(const std::vector<TUidlLine>& lines, const std::string& account,
                                      const TMessageList& inboxList, const TMessageList& knownList)
{
    passIds_.clear();
    pipe_ = TPipeline{};
    pipe_.On = client_.CanPipeline();
    if (!pipe_.On)
        return;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& id = ids_[i];
        // A line identified by its content is always retrieved.
        if (id.empty() ||
            (!FindKnownMessage(inboxList, account, id) && !FindKnownMessage(knownList, account, id)))
            pipe_.Wanted.emplace_back(i, MessageNumber(lines[i].Number, static_cast<int>(i + 1)));
    }
}

// The answers still outstanding when the walk ended early are read and
// dropped, so that the session can go on with the deletions.
void TMailCheckerMdl::DrainPipeline()
{
    while (!pipe_.InFlight.empty())
        DiscardPipelined(pipe_.InFlight.front());
    pipe_.Next = pipe_.Wanted.size();
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
    std::unordered_map<std::string, std::vector<int>> numbers;
    const std::vector<TUidlLine> lines = client_.Uidl();
    for (std::size_t i = 0; i < lines.size(); ++i)
        numbers[lines[i].Uid].push_back(MessageNumber(lines[i].Number, static_cast<int>(i + 1)));
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
            if (!pending.Sent || !client_.ReadDele())
                continue;
            changed = true;
            if (!pending.Entry)
                continue; // stored by an earlier pass: its record stays
            inboxList.Remove(pending.Entry.get());
            pending.Entry.reset();
            if (OnMessageDeleted)
                OnMessageDeleted(pending.Id, nullptr);
        }
    }
    return changed;
}

// Sends DELE for the entries that are on the server and marks them Sent; an
// entry that is not has no answer to read. A unique id that the
// server lists more than once names no message for sure: only the number the
// message was retrieved under, when the id is still listed there, is used
// (numbers keep their meaning for the whole session, RFC 1939 §7).
void TMailCheckerMdl::SendDeletes(std::vector<TPending>& toDelete, std::size_t from, std::size_t count,
                                 const std::unordered_map<std::string, std::vector<int>>& numbers)
{
    for (std::size_t i = from; i < from + count; ++i) {
        TPending& pending = toDelete[i];
        const auto found = numbers.find(pending.ServerUid);
        int number = 0;
        if (found != numbers.end()) {
            const std::vector<int>& listed = found->second;
            if (listed.size() == 1)
                number = listed.front();
            else if (std::find(listed.begin(), listed.end(), pending.Number) != listed.end())
                number = pending.Number;
        }
        if (number == 0)
            continue;
        client_.RequestDele(number);
        pending.Sent = true;
    }
}

} // namespace bm
