#include "check/remotechkmdl.h"

#include "check/basechkthrdU.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/badmailreplyU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "core/commonsU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "core/mailmsgU.h"
#include "core/msghelpersU.h"
#include "platform/shellU.h"
#include "store/msgfilesU.h"
#include "store/msgsU.h"
#include "store/threaddatamdl.h"

#include <filesystem>
#include <vector>

namespace bm {

namespace {

void Trace(std::string_view a, std::string_view b = {})
{
    WriteTrace({a, b}, 0);
}

// Kept in the log file: the user asks why a held message was not challenged.
void TraceNoChallenge(std::string_view reason, std::string_view uidl)
{
    WriteTrace({"No challenge", reason, uidl}, 2);
}

// The From of what is sent in answer to a message: the account's address
// that the message was sent to, else (the user had it as Bcc, or through an
// alias the account does not list) the account's DefaultEMailAddress, so the
// answer never goes out with an empty sender and an empty MAIL FROM, which
// receivers take for a bounce (RFC 5321 §4.5.5).
std::string ReplyFromAddress(const TAccount& account, const TMailMessage& message)
{
    const std::string own = account.Outgoing().FindOwnAddress(message.Recipients, message.CCList);
    return own.empty() ? account.Outgoing().DefaultEMailAddress() : own;
}

} // namespace

TCheckContext TCheckContext::Completed() const
{
    const std::pair<const void*, const char*> lists[] = {
        {Options, "options"},     {Accounts, "accounts"}, {Friends, "Friends list"},
        {Blacklist, "blacklist"}, {Filters, "filters"},   {Replies, "reply templates"},
        {Inbox, "inbox list"},    {Known, "known list"},
    };
    for (const auto& [list, name] : lists)
        if (!list)
            throw std::runtime_error(std::string("A Mail check needs its ") + name);
    TCheckContext c = *this;
    if (c.Database.empty())
        c.Database = QuarantineDbPath();
    if (!c.Pop3)
        c.Pop3 = MailCheckerSettingsFromOptions(*c.Options, GetProgramFolder());
    if (!c.Smtp) {
        c.Smtp = TMailSenderSettings{};
        c.Smtp->certificateFolder = GetProgramFolder();
    }
    return c;
}

TRemoteCheckerMdl::TRemoteCheckerMdl(const TCheckContext& context, TStopSignal* stop)
    : context_(context.Completed()),
      ownStop_(stop ? nullptr : std::make_unique<TStopSignal>()),
      stop_(stop ? stop : ownStop_.get()),
      data_(std::make_unique<TThreadData>(context_.Database)),
      pop3_(std::make_unique<TMailCheckerMdl>(false, *context_.Pop3, *context_.Accounts, *context_.Friends,
                                              *context_.Blacklist, *context_.Filters)),
      sender_(std::make_unique<TMailSender>(*context_.Options, *context_.Accounts, *context_.Friends,
                                            *context_.Smtp))
{
    Connect();
}

TRemoteCheckerMdl::~TRemoteCheckerMdl() = default;

// Every event of the children goes through this object's members, read at
// the time of the call, so the owner may set them after construction.
void TRemoteCheckerMdl::Connect()
{
    TMailCheckerMdl& p = *pop3_;
    p.OnStatus = [this](const std::string& t) { Status(t); };
    p.OnProcessMessage = [this](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        return ProcessMessage(uidl, m, e);
    };
    p.OnAfterAccount = [this](TAccount& a, bool isLast) { AfterAccount(a, isLast); };
    p.OnBeforeDeleteOnServer = [this](TAccount& a) { MakeFilesDurable(a); };
    p.OnIsStored = [this](TAccount& a, const std::string& id) { return IsStored(a.Name(), id); };
    p.OnAddressWhitelisted = [this](const std::string& a) {
        if (OnAddressWhitelisted)
            OnAddressWhitelisted(a);
    };
    p.IsStopRequested = [this] { return stop_->IsSet(); };
    p.OnSetState = [this](std::uint8_t s) {
        if (OnSetState)
            OnSetState(s);
    };
    p.OnReportCheckError = [this](const std::string& t, const std::string& a) { Report(t, a); };
    p.OnGetCredentials = [this](TCredentialsRequest& r) { return OnGetCredentials && OnGetCredentials(r); };

    TMailSender& s = *sender_;
    s.OnStatus = [this](const std::string& t) { Status(t); };
    s.OnReportError = [this](const std::string& t, const std::string& a) { Report(t, a); };
    s.StopRequested = [this] { return stop_->IsSet(); };
    s.SetInterruptible = [this](bool v) {
        if (OnSetInterruptible)
            OnSetInterruptible(v);
    };
}

// The barrier of the pass. A failure is reported here and ends the pass
// before any DELE: the messages stay on the server, and their files, written
// whole but perhaps not on disk, make the next check leave them there too.
void TRemoteCheckerMdl::MakeFilesDurable(TAccount& account)
{
    try {
        files_.Sync();
    } catch (const std::exception& e) {
        Trace("Sync Error: ", e.what());
        Report(e.what(), account.Name());
        throw;
    }
}

void TRemoteCheckerMdl::Status(const std::string& text)
{
    if (OnStatus)
        OnStatus(text);
}

void TRemoteCheckerMdl::Report(const std::string& text, const std::string& account)
{
    if (OnReportCheckError)
        OnReportCheckError(text, account);
    else
        ReportError(text, account);
}

void TRemoteCheckerMdl::AbortConnection()
{
    pop3_->AbortConnection();
}

bool TRemoteCheckerMdl::CheckMail(bool defaultOnly, const TAccountPtr& account)
{
    const TProxyValues proxy = context_.Options->Proxy().Values();
    pop3_->SetProxy(proxy.UseProxy, proxy.Address, proxy.Logon ? proxy.Password : std::string(),
                    proxy.Logon ? proxy.Username : std::string(), proxy.Port);
    TMessageList& inbox = *context_.Inbox;
    TMessageList& known = *context_.Known;
    if (account)
        return pop3_->CheckAccount(*account, inbox, true, known);
    if (defaultOnly)
        return pop3_->CheckDefaultAccounts(inbox, known);
    return pop3_->CheckAllAccounts(inbox, known);
}

// --- Classification -----------------------------------------------------------

bool TRemoteCheckerMdl::ProcessMessage(const std::string& uidl, TMailMessage& message, TKnownMessage& entry)
{
    Trace("RemoteMailChkProcessMsg", "Begin");
    const TAccountPtr account = context_.Accounts->FindByName(entry.Account());
    if (!account) {
        // Renamed or deleted while the check ran: nothing can be stored for it.
        Trace("Account not found", entry.Account());
        return false;
    }
    TAccount& a = *account;
    const std::string name = a.Name();
    if (std::filesystem::is_regular_file(MessageFilePath(name, uidl, true)) ||
        std::filesystem::is_regular_file(MessageFilePath(name, uidl, false))) {
        // Stored whole by an earlier pass that ended before its DELE: done,
        // the server copy may go. A file cut short stays with its server copy.
        if (IsStored(name, uidl)) {
            Trace("Already stored", uidl);
            entry.SetToBeDeleted(true);
        }
        return true;
    }
    if (entry.DeleteVerdict() || entry.ToBeDeleted()) {
        Trace("Will be deleted", uidl);
        entry.SetToBeDeleted(true);
        return true;
    }
    bool handled = true;
    if (IsFromOwnAddress(a, message)) {
        // A note from the user's phone or a Bcc to oneself is real mail, and
        // a forged own address must not be challenged: it is held without a
        // challenge and ages out with the quarantine.
        Trace("Spam from an account", uidl);
        handled = ProcessUnchallenged(a, uidl, message, entry);
    } else if (const std::string key = ExtractKey(message); !key.empty()) {
        const bool keyHandled = ProcessKeyed(a, key, message, entry);
        // A friend's message that carries a key is still a friend's message:
        // whatever the key did, it is delivered too.
        if (entry.Whitelisted())
            handled = ProcessFriend(a, uidl, message, entry);
        else if (!keyHandled)
            return true; // left on the server, not marked
    } else if (entry.Whitelisted()) {
        handled = ProcessFriend(a, uidl, message, entry);
    } else {
        handled = ProcessUnknown(a, uidl, message, entry);
    }
    if (!handled)
        return false;
    entry.SetToBeDeleted(true);
    return true;
}

// A message carrying a key. False: leave it on the server unmarked.
bool TRemoteCheckerMdl::ProcessKeyed(TAccount& account, const std::string& key, TMailMessage& message,
                                     TKnownMessage&)
{
    const std::string senderText = GetSenderKey(message);
    const std::optional<TQuarantineKey> row = data_->FindKeyByCode(key);
    if (row && SendersMatch(row->FromList, senderText)) {
        Trace("Incoming key response", row->FromList);
        if (account.KeysInMessages()) {
            AddSendersToFriends(row->FromList);
            if (ReleaseKey(row->ID) == 0)
                data_->DeleteKey(row->ID);
        }
        return true;
    }
    Trace("Key in mail");
    if (!context_.Options->AutoReplyToRequests())
        return false;
    if (row)
        return true; // our key from a stranger: dropped
    AnswerForeignKey(account, key, message);
    return true;
}

// Another copy's challenge: answered once per key and sender set. The
// answered-request row and the queued answer are written together, so a
// failure leaves neither and the next check answers.
void TRemoteCheckerMdl::AnswerForeignKey(TAccount& account, const std::string& key, TMailMessage& message)
{
    const std::string senderText = GetSenderKey(message);
    if (TrimText(senderText).empty())
        return; // nobody to answer
    if (data_->FindAnsweredRequest(key, MD5Hex(senderText)))
        return;
    // A challenge that answers one of ours is the other side's filter
    // challenging our challenge: confirming it would start a loop.
    if (data_->AnySentMessage(MessageIdsIn(message.Headers.Value("In-Reply-To")),
                              {TSentKind::Challenge, TSentKind::Confirmation})) {
        WriteTrace({"No confirmation", "answers our challenge", message.Headers.Value("Message-ID")}, 2);
        return;
    }
    const std::string own = ReplyFromAddress(account, message);
    TMailMessage confirmation = BuildConfirmation(key, senderText, message.Subject, own);
    MarkAsAutoReply(confirmation, message, own);
    TTransaction transaction(data_->Database());
    Trace("Saving auth resposne in DB");
    data_->AppendAnsweredRequest(key, senderText);
    Trace("Send key auth");
    data_->QueueMessage(account.Name(), -1, confirmation);
    transaction.Commit();
}

bool TRemoteCheckerMdl::ProcessFriend(TAccount& account, const std::string& uidl, TMailMessage& message,
                                      TKnownMessage& entry)
{
    try {
        files_.Save(account.Name(), uidl, false, message);
    } catch (const std::exception& e) {
        Trace("SaveMessage Error: ", e.what());
        Report(e.what(), account.Name());
        return false;
    }
    std::unique_ptr<TKnownMessage> copy = CloneKnownMessage(entry);
    if (OnWhitelisted)
        OnWhitelisted(uidl, *copy);
    context_.Inbox->Add(std::move(copy));
    Trace("Whitelisted", uidl);
    return true;
}

bool TRemoteCheckerMdl::ProcessUnknown(TAccount& account, const std::string& uidl, TMailMessage& message,
                                       TKnownMessage& entry)
{
    Trace("Not whitelisted");
    const std::string senderText = GetSenderKey(message);
    if (TrimText(senderText).empty()) {
        Trace("From was empty");
        return ProcessUnchallenged(account, uidl, message, entry);
    }
    // A challenge to a forged sender is backscatter; robots and lists must
    // not be answered at all (RFC 3834 §2).
    if (FailsOwnServerAuthentication(account, message)) {
        TraceNoChallenge("failed DMARC", uidl);
        return ProcessUnchallenged(account, uidl, message, entry);
    }
    if (IsReplyToSentMail(message)) {
        TraceNoChallenge("reply to your mail", uidl);
        AddSendersToFriends(senderText);
        return ProcessFriend(account, uidl, message, entry);
    }
    if (!context_.Options->ChallengeAutomaticMail()) {
        if (const std::string reason = AutomaticMailReason(message); !reason.empty()) {
            TraceNoChallenge(reason, uidl);
            return ProcessUnchallenged(account, uidl, message, entry);
        }
    }
    entry.SetQuarantined(true);
    const int keyId = KeyForSenders(account, senderText, message);
    return StoreQuarantined(account, uidl, keyId, message, entry);
}

bool TRemoteCheckerMdl::IsReplyToSentMail(const TMailMessage& message)
{
    if (!context_.Options->TrustRepliesToSentMail())
        return false;
    std::vector<std::string> ids = MessageIdsIn(message.Headers.Value("In-Reply-To"));
    for (const std::string& value : message.Headers.Values("References"))
        for (std::string& id : MessageIdsIn(value))
            ids.push_back(std::move(id));
    return !ids.empty() && data_->AnySentMessage(ids, {TSentKind::Relayed});
}

// Held under the key of the empty sender set, which counts as sent: no
// challenge goes out, no reply can release it, the cleaner ages it out and
// has no sender to blacklist.
bool TRemoteCheckerMdl::ProcessUnchallenged(TAccount& account, const std::string& uidl, TMailMessage& message,
                                            TKnownMessage& entry)
{
    entry.SetQuarantined(true);
    int keyId = data_->FindKeyBySenders("");
    if (keyId >= 0)
        data_->TouchKey(keyId);
    else
        keyId = data_->AppendKey(GenerateKey(), "", true);
    return StoreQuarantined(account, uidl, keyId, message, entry);
}

bool TRemoteCheckerMdl::IsStored(const std::string& account, const std::string& id)
{
    for (const bool quarantined : {true, false}) {
        const std::filesystem::path file = MessageFilePath(account, id, quarantined);
        if (IsWholeMessageFile(file)) {
            files_.Adopt(file); // proved durable by the barrier before any DELE
            return true;
        }
    }
    return false;
}

// The key id of the message's sender set; a new set gets a key row and,
// when challenges are on, its challenge in the queue, in one transaction.
int TRemoteCheckerMdl::KeyForSenders(TAccount& account, const std::string& senderText, TMailMessage& message)
{
    const std::string key = GenerateKey();
    const int existing = data_->FindKeyBySenders(senderText);
    if (existing >= 0) {
        Trace("Key already sent");
        data_->TouchKey(existing);
        return existing;
    }
    Trace("Will send key");
    const std::string own = ReplyFromAddress(account, message);
    Trace("Key From", own);
    const bool challenge = context_.Options->SendQuarantineMessage();
    const std::optional<TBadMailReply> reply =
        challenge ? account.Outgoing().GetReplyTemplate(*context_.Replies) : std::nullopt;
    if (challenge && !reply && templateReported_.insert(account.Name()).second)
        Report(std::string(kNoReplyTemplateMessage), account.Name());
    // Without a challenge to send the key counts as sent, so that the
    // cleaner lets its messages age out.
    TTransaction transaction(data_->Database());
    const int keyId = data_->AppendKey(key, senderText, !reply);
    if (reply) {
        Trace("Prepa re key message");
        TMailMessage challenge = BuildChallenge(account, *reply, key, senderText, own);
        MarkAsAutoReply(challenge, message, own);
        data_->QueueMessage(account.Name(), keyId, challenge);
    }
    transaction.Commit();
    return keyId;
}

// The row, then the file; when either cannot be written the other is taken
// back and the message stays on the server (false), reported.
bool TRemoteCheckerMdl::StoreQuarantined(TAccount& account, const std::string& uidl, int keyId,
                                         TMailMessage& message, TKnownMessage& entry)
{
    Trace("Saving in DB");
    TQuarantinedMessage row;
    row.KeyID = keyId;
    row.Account = entry.Account();
    row.UIDL = uidl;
    row.From = entry.From();
    row.Subject = entry.Subject();
    row.Size = entry.Size();
    row.Sent = entry.Date();
    int id = 0;
    try {
        id = data_->AppendQuarantinedMessage(row);
    } catch (const std::exception& e) {
        Trace("SaveToDB Error: ", e.what());
        Report(e.what(), account.Name());
        return false;
    }
    Trace("Saving message to file");
    try {
        files_.Save(account.Name(), uidl, true, message);
    } catch (const std::exception& e) {
        Trace("SaveMessage Error: ", e.what());
        Report(e.what(), account.Name());
        try {
            data_->DeleteQuarantinedMessage(id);
        } catch (const std::exception& undo) {
            Trace("SaveToDB Error: ", undo.what());
        }
        return false;
    }
    try {
        if (const std::optional<TQuarantinedMessage> stored = data_->FindQuarantinedMessage(id); stored && OnQuarantined)
            OnQuarantined(*stored);
    } catch (const std::exception& e) {
        Trace("DoNewMessage Error: ", e.what());
    }
    return true;
}

// --- Friends and release --------------------------------------------------------

void TRemoteCheckerMdl::AddSendersToFriends(std::string_view fromList)
{
    std::vector<std::string> addresses;
    ExtractTokens(fromList, " ", false, addresses);
    for (const std::string& address : addresses) {
        if (context_.Friends->AddAddress(address) && OnAddressWhitelisted)
            OnAddressWhitelisted(address);
    }
}

int TRemoteCheckerMdl::ReleaseKey(int keyId)
{
    // A held message may have been quarantined earlier in this pass: its
    // file is made durable before it moves, so the barrier never looks for
    // it under its old name. Throws (the pass ends, nothing deleted) when it
    // cannot be.
    if (!files_.Pending().empty())
        files_.Sync();
    std::vector<int> released;
    int left = 0;
    for (const TMessageOfKey& m : data_->MessagesWithKey(keyId)) {
        ReleaseMessageFile(m.Account, m.UIDL);
        // A file that could not be moved keeps its row, so the message stays
        // visible in the quarantine and nothing is orphaned.
        std::error_code ec;
        if (std::filesystem::exists(MessageFilePath(m.Account, m.UIDL, true), ec) || ec) {
            ++left;
            continue;
        }
        released.push_back(m.ID);
    }
    for (int id : released) {
        if (!data_->FindQuarantinedMessage(id))
            continue;
        if (OnQuarantineRemoved)
            OnQuarantineRemoved(id);
        data_->DeleteQuarantinedMessage(id);
    }
    return left;
}

// --- After an account -------------------------------------------------------------

void TRemoteCheckerMdl::AfterAccount(TAccount& account, bool isLast)
{
    const auto start = std::chrono::steady_clock::now();
    // A pass that ended before its barrier (a broken connection) deleted
    // nothing; its files are still made durable, best effort, so the next
    // account's barrier answers for its own files only.
    try {
        files_.Sync();
    } catch (const std::exception& e) {
        Trace("Sync Error: ", e.what());
    }
    sender_->SendQueue(account, *data_);
    if (!isLast)
        WaitBetweenAccounts(start);
}

void TRemoteCheckerMdl::WaitBetweenAccounts(std::chrono::steady_clock::time_point start)
{
    const int seconds = context_.Options->DelayBetweenAccounts();
    if (seconds <= 0)
        return;
    Status("Delaying between accounts");
    const auto end = start + std::chrono::seconds(seconds);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() > 0)
        stop_->WaitFor(left);
}

} // namespace bm
