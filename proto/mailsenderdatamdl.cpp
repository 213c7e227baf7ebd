#include "proto/mailsenderdatamdl.h"

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "core/datetimeU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "core/mailmsgU.h"
#include "core/synchronize.h"
#include "net/tlsU.h"
#include "platform/shellU.h"
#include "proto/smtpsessionU.h"
#include "store/threaddatamdl.h"

#include <algorithm>
#include <cstdio>

namespace bm {

namespace {

// When every recipient was refused, the refusal the sender hears: a
// temporary one if there is one, since a later try may reach them all.
const TSmtpReply& DecidingRefusal(const std::vector<TRecipientRefusal>& refused)
{
    const auto transient = std::find_if(refused.begin(), refused.end(), [](const TRecipientRefusal& r) {
        return IsTransientReply(r.Reply.Code);
    });
    return transient != refused.end() ? transient->Reply : refused.front().Reply;
}

bool AnyTransient(const std::vector<TRecipientRefusal>& refused)
{
    return std::any_of(refused.begin(), refused.end(),
                       [](const TRecipientRefusal& r) { return IsTransientReply(r.Reply.Code); });
}

std::string RefusalText(const std::string& address, const TSmtpReply& reply)
{
    return "Message to " + address + " refused: " + reply.CodeAndText();
}

std::string JoinAddresses(const std::vector<std::string>& addresses)
{
    std::string text;
    for (const std::string& a : addresses)
        text += (text.empty() ? "" : ", ") + a;
    return text;
}

void TraceDeferred(const std::string& account, const std::string& address, const TSmtpReply& reply)
{
    WriteTrace({"SMTP Deferred", account, address, reply.CodeAndText()}, 2);
}

void AppendAddresses(const TMailAddressList& list, std::vector<std::string>& out)
{
    for (const TMailAddress& item : list)
        if (!item.Address.empty())
            out.push_back(item.Address);
}

// Sets the checker thread's Interruptible flag again however the queue pass ends.
class InterruptibleScope {
public:
    explicit InterruptibleScope(const std::function<void(bool)>& set) : set_(set)
    {
        if (set_)
            set_(false);
    }
    ~InterruptibleScope()
    {
        if (set_)
            set_(true);
    }
    InterruptibleScope(const InterruptibleScope&) = delete;
    InterruptibleScope& operator=(const InterruptibleScope&) = delete;

private:
    const std::function<void(bool)>& set_;
};

} // namespace

TMailEnvelope EnvelopeOf(const TMailMessage& message)
{
    TMailEnvelope envelope;
    if (!message.FromList.Empty())
        envelope.From = message.FromList[0].Address;
    AppendAddresses(message.Recipients, envelope.ToAddresses);
    envelope.Recipients = envelope.ToAddresses;
    AppendAddresses(message.CCList, envelope.Recipients);
    AppendAddresses(message.BccList, envelope.Recipients);
    return envelope;
}

// Publishes a session's connection for Abort() while the session is in use.
class TMailSender::ConnectionGuard {
public:
    ConnectionGuard(TMailSender& owner, TcpConnection& connection) : owner_(owner)
    {
        std::lock_guard lock(owner_.connectionMutex_);
        owner_.connection_ = &connection;
        if (owner_.abortRequested_)
            connection.Abort();
    }
    ~ConnectionGuard()
    {
        std::lock_guard lock(owner_.connectionMutex_);
        owner_.connection_ = nullptr;
    }
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

private:
    TMailSender& owner_;
};

// A connected session, published for Abort() as long as it lives.
struct TMailSender::OpenSession {
    std::unique_ptr<TSmtpSession> session;  // declared first: outlives the guard
    std::unique_ptr<ConnectionGuard> guard;
    bool forcedLogin = false;
    explicit operator bool() const { return session != nullptr; }
};

TMailSender::TMailSender(TOptions& options, TAccountList& accounts, TWhiteList& friends,
                         TMailSenderSettings settings)
    : options_(options), accounts_(accounts), friends_(friends), settings_(std::move(settings)),
      tlsByPin_(settings_.certificateFolder.empty() ? GetProgramFolder() : settings_.certificateFolder)
{
}

TMailSender::~TMailSender() = default;

void TMailSender::Abort()
{
    std::lock_guard lock(connectionMutex_);
    abortRequested_ = true;
    if (connection_)
        connection_->Abort();
}

void TMailSender::SetProxy(bool useProxy, const std::string& host, const std::string& password,
                           const std::string& userName, int port)
{
    if (!useProxy) {
        proxy_.reset();
        return;
    }
    proxy_ = std::make_unique<HttpProxy>();
    proxy_->host = host;
    proxy_->port = static_cast<std::uint16_t>(std::clamp(port, 0, 65535));
    proxy_->logon = !userName.empty();
    proxy_->username = userName;
    proxy_->password = password;
}

void TMailSender::SetupTls(const TAccount& account)
{
    sslMode_ = std::min<std::uint8_t>(account.Outgoing().SSL(), 3);
    if (sslMode_ == 0)
        return;
    tls_ = tlsByPin_.For(account.Outgoing().CertFingerprint());
}

std::string TMailSender::ErrorText(const std::exception& e, const TAccount& account) const
{
    const auto* refused = dynamic_cast<const ECertificateError*>(&e);
    if (!refused)
        return e.what();
    return e.what() + CertificateTrustHint(accounts_, account, refused->Fingerprint(), TMailSide::Outgoing);
}

void TMailSender::LearnTlsOffered(TAccount& account)
{
    try {
        bm::LearnTlsOffered(accounts_, account, TMailSide::Outgoing);
    } catch (const std::exception& e) {
        Fail(e.what(), account.Name());
    }
}

TMailSender::Credentials TMailSender::CredentialsFor(const TAccount& account, bool forceLogin) const
{
    const TOutgoingValues out = account.Outgoing().Values();
    if (!forceLogin && !out.LoginRequired)
        return {};
    if (out.UseAccountUser)
        return {account.Incoming().UserName(), account.Incoming().Password()};
    return {out.UserName, out.Password};
}

void TMailSender::Fail(const std::string& message, const std::string& account)
{
    if (CaptureErrors) {
        LastError = message;
        return;
    }
    if (OnReportError)
        OnReportError(message, account);
    else
        ReportError(message, account);
}

TMailSender::OpenSession TMailSender::Connect(TAccount& account, bool forceLogin)
{
    // The proxy logs on only when the options ask for it; a stored user name
    // alone does not make the tunnel send credentials.
    const TProxyValues proxy = options_.Proxy().Values();
    SetProxy(proxy.UseProxy, proxy.Address, proxy.Logon ? proxy.Password : std::string(),
             proxy.Logon ? proxy.Username : std::string(), proxy.Port);
    SetupTls(account);

    const TOutgoingValues out = account.Outgoing().Values();
    if (out.Port < 1 || out.Port > 65535)
        throw ESocketError("Invalid port: " + std::to_string(out.Port));
    const Credentials credentials = CredentialsFor(account, forceLogin);
    TSmtpSessionSetup setup;
    setup.host = out.Server;
    setup.port = static_cast<std::uint16_t>(out.Port);
    if (proxy_)
        setup.proxy = *proxy_;
    setup.sslMode = sslMode_;
    setup.tls = tls_;
    setup.tlsOfferedBefore = out.TlsOffered;
    setup.userName = credentials.userName;
    setup.password = credentials.password;
    WriteTrace({"SMTP Connect", setup.host, std::to_string(setup.port), setup.userName}, 0);

    OpenSession open;
    open.forcedLogin = forceLogin;
    open.session = std::make_unique<TSmtpSession>(settings_, std::move(setup));
    open.guard = std::make_unique<ConnectionGuard>(*this, open.session->Connection());
    open.session->Open();
    if (sslMode_ == 1 && open.session->OffersStartTls())
        LearnTlsOffered(account);
    return open;
}

void TMailSender::LearnLoginRequired(TAccount& account)
{
    account.Outgoing().SetLoginRequired(true);
    try {
        accounts_.SaveToFile();
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), account.Name());
    }
}

void TMailSender::WhitelistRecipients(const std::vector<std::string>& recipients)
{
    for (const std::string& address : recipients) {
        if (!friends_.AddAddress(address) || !OnAddressWhitelisted)
            continue;
        Synchronize([&] { OnAddressWhitelisted(address); });
    }
}

// --- Relay ---------------------------------------------------------------------

bool TMailSender::SendMail(TAccount& account, const TMailMessage& message, bool noWhitelist)
{
    WriteTrace({"Send mail", account.Name(), message.Recipients.GetListText()}, 1);
    return Relay(account, EnvelopeOf(message), message.SaveToString(), noWhitelist);
}

bool TMailSender::SendText(TAccount& account, const TMailEnvelope& envelope, std::string_view text,
                           TMailTextForm form, bool noWhitelist)
{
    WriteTrace({"Send mail", account.Name(), JoinAddresses(envelope.ToAddresses)}, 1);
    const std::string data = form == TMailTextForm::Stored ? CompleteStoredText(text) : StuffRawText(text);
    return Relay(account, envelope, data, noWhitelist);
}

bool TMailSender::Relay(TAccount& account, const TMailEnvelope& envelope, const std::string& data,
                        bool noWhitelist)
{
    lastRelay_ = {};
    if (envelope.Recipients.empty()) {
        Fail("No recipients", account.Name());
        return false;
    }
    TSendResult result = SendOnce(account, envelope, data, false);
    if (result == TSendResult::RetryWithLogin && !account.Outgoing().LoginRequired()) {
        const bool captured = CaptureErrors;
        CaptureErrors = true;
        lastRelay_ = {};
        result = SendOnce(account, envelope, data, true);
        CaptureErrors = captured;
    }
    const bool sent = result == TSendResult::Sent;
    lastRelay_.Sent = sent;
    if (sent && !noWhitelist && options_.WhitelistRecipients())
        WhitelistRecipients(lastRelay_.Accepted);
    return sent;
}

TSendResult TMailSender::SendOnce(TAccount& account, const TMailEnvelope& envelope,
                                  const std::string& data, bool forceLogin)
{
    const std::string name = account.Name();
    OpenSession open;
    try {
        open = Connect(account, forceLogin);
    } catch (const ESmtpReplyError& e) {
        lastRelay_.Refusal = e.Reply();  // the greeting or EHLO / HELO refused
        Fail(ErrorText(e, account), name);
        return TSendResult::Failed;
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), name);
        return TSendResult::Failed;
    }
    const bool mayRetry = !forceLogin && !account.Outgoing().LoginRequired();
    TSendResult result = TSendResult::Failed;
    bool timedOut = false;
    try {
        const TTransferResult transfer = open.session->Transfer(envelope, data, mayRetry);
        lastRelay_.Accepted = transfer.Accepted;
        lastRelay_.Refused = transfer.Refused;
        timedOut = transfer.TimedOutAtDataEnd;
        if (!timedOut)
            result = JudgeRelay(transfer, mayRetry && !open.session->Authenticated(), name);
    } catch (const ESmtpReplyError& e) {
        lastRelay_.Refusal = e.Reply();  // STARTTLS or AUTH refused
        Fail(ErrorText(e, account), name);
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), name);
    }
    if (open.session->Quit() && timedOut)
        result = TSendResult::Sent;
    else if (timedOut)
        Fail(kReadTimedOut, name);  // the late reply never accepted the message
    if (forceLogin && result == TSendResult::Sent)
        LearnLoginRequired(account);
    return result;
}

TSendResult TMailSender::JudgeRelay(const TTransferResult& transfer, bool mayRetryWithLogin,
                                    const std::string& account)
{
    const bool curable = transfer.HeldForLogin ||
                         (transfer.Refusal && !transfer.DataSent && LoginWouldCure(*transfer.Refusal));
    if (curable && mayRetryWithLogin)
        return TSendResult::RetryWithLogin;
    if (transfer.Delivered)
        return TSendResult::Sent;
    if (!transfer.Refusal && transfer.Refused.empty()) {
        Fail("No recipients", account);
        return TSendResult::Failed;
    }
    lastRelay_.Refusal = transfer.Refusal ? *transfer.Refusal : DecidingRefusal(transfer.Refused);
    Fail(lastRelay_.Refusal->Text().empty() ? lastRelay_.Refusal->CodeAndText() : lastRelay_.Refusal->Text(),
         account);
    return TSendResult::Failed;
}

// --- Queue -----------------------------------------------------------------------

void TMailSender::SendQueue(TAccount& account, TThreadData& data)
{
    const std::vector<TQueuedMessage> rows = data.AcctQueue(account.Name());
    if (rows.empty())
        return;
    InterruptibleScope interruptible(SetInterruptible);
    OpenSession open = ConnectForQueue(account);
    if (!open)
        return;
    std::vector<int> sentIds;
    std::vector<int> sentKeys;
    SendRows(open, account, data, rows, sentIds, sentKeys);
    if (open)
        open.session->Quit();
    open = {};
    for (int id : sentIds)
        data.DeleteQueueRow(id);
    for (int keyId : sentKeys)
        data.MarkChallengeSent(keyId);
}

TMailSender::OpenSession TMailSender::ConnectForQueue(TAccount& account)
{
    const std::string name = account.Name();
    try {
        return Connect(account, false);
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), name);
    }
    if (account.Outgoing().LoginRequired())
        return {};
    try {
        OpenSession open = Connect(account, true);
        LearnLoginRequired(account);
        return open;
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), name);
    }
    return {};
}

void TMailSender::SendRows(OpenSession& open, TAccount& account, TThreadData& data,
                           const std::vector<TQueuedMessage>& rows, std::vector<int>& sentIds,
                           std::vector<int>& sentKeys)
{
    const std::string name = account.Name();
    const int count = static_cast<int>(rows.size());
    for (int i = 1; i <= count && open; ++i) {
        if (StopRequested && StopRequested())
            break;
        if (OnStatus) {
            char text[512];
            std::snprintf(text, sizeof text, "Sending quarantine message %d of %d on %s", i, count,
                          name.c_str());
            OnStatus(text);
        }
        const TQueuedMessage& row = rows[static_cast<std::size_t>(i - 1)];
        if (OverChallengeCap(account, data, row))
            continue;
        TRowResult result = SendQueued(open, account, row.Message);
        if (result == TRowResult::RetryWithLogin)
            result = ResendWithLogin(open, account, row.Message);
        if (result == TRowResult::Failed)
            break;
        if (result == TRowResult::Deferred)
            continue;
        if (result == TRowResult::Sent)
            RecordSent(account, data, row);
        sentIds.push_back(row.ID);
        if (row.KeyID != -1)
            sentKeys.push_back(row.KeyID);
    }
}

namespace {

struct TQueuedHeads {
    std::string MessageId;
    std::vector<std::string> Recipients;
};

// A row that cannot be read has no id and no recipients: SendQueued reports it.
TQueuedHeads HeadsOf(const TQueuedMessage& row)
{
    TQueuedHeads heads;
    try {
        TMailMessage message;
        message.LoadFromString(row.Message);
        const std::vector<std::string> ids = MessageIdsIn(message.Headers.Value("Message-ID"));
        if (!ids.empty())
            heads.MessageId = ids.front();
        heads.Recipients = EnvelopeOf(message).Recipients;
    } catch (const std::exception&) {
    }
    return heads;
}

} // namespace

bool TMailSender::OverChallengeCap(TAccount& account, TThreadData& data, const TQueuedMessage& row)
{
    if (row.KeyID == -1)
        return false;
    const std::string name = account.Name();
    if (data.ChallengesOfAccountSince(name, Now() - 1.0 / 24) >= settings_.challengesPerAccountHour) {
        WriteTrace({"Challenge waits", name, "hourly cap of the account reached"}, 2);
        return true;
    }
    for (const std::string& address : HeadsOf(row).Recipients) {
        if (data.ChallengesToAddressSince(address, Now() - 1) >= settings_.challengesPerAddressDay) {
            WriteTrace({"Challenge waits", name, "daily cap reached for " + address}, 2);
            return true;
        }
    }
    return false;
}

// Best effort: the message is out whatever the table says, and a row that
// failed to be written only weakens the caps and the loop guard.
void TMailSender::RecordSent(TAccount& account, TThreadData& data, const TQueuedMessage& row)
{
    const TQueuedHeads heads = HeadsOf(row);
    if (heads.MessageId.empty())
        return;
    try {
        if (row.KeyID == -1) {
            data.AppendSentMessage(heads.MessageId, TSentKind::Confirmation, account.Name());
            return;
        }
        TTransaction transaction(data.Database());
        for (const std::string& address : heads.Recipients)
            data.AppendSentMessage(heads.MessageId, TSentKind::Challenge, account.Name(), address);
        transaction.Commit();
    } catch (const std::exception& e) {
        WriteTrace({"SentMessages Error: ", e.what()}, 2);
    }
}

// A queued message refused as a login would cure, on a connection without
// login, while the account's LoginRequired is not known: the same message
// once more over a connection that logs in, as a relay does, so that an
// account whose server wants a login learns it from its challenges too and
// not only from relayed mail. When that succeeds LoginRequired is set and
// saved.
TMailSender::TRowResult TMailSender::ResendWithLogin(OpenSession& open, TAccount& account,
                                                     const std::string& stored)
{
    open.session->Quit();
    open = {};
    try {
        open = Connect(account, true);
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), account.Name());
        return TRowResult::Failed;
    }
    const TRowResult result = SendQueued(open, account, stored);
    if (result == TRowResult::Sent)
        LearnLoginRequired(account);
    return result;
}

TMailSender::TRowResult TMailSender::SendQueued(OpenSession& open, TAccount& account, const std::string& stored)
{
    const std::string name = account.Name();
    TMailMessage message;
    TMailEnvelope envelope;
    try {
        message.LoadFromString(stored);
        envelope = EnvelopeOf(message);
    } catch (const std::exception& e) {
        // Kept, and the rows after it still go.
        Fail(ErrorText(e, account), name);
        return TRowResult::Deferred;
    }
    const bool mayRetry = !open.forcedLogin && !account.Outgoing().LoginRequired();
    TTransferResult transfer;
    try {
        transfer = open.session->Transfer(envelope, message.SaveToString(), mayRetry);
    } catch (const std::exception& e) {
        Fail(ErrorText(e, account), name);
        return TRowResult::Failed;
    }
    if (transfer.TimedOutAtDataEnd) {
        // What the connection carries next is unknown: it ends here.
        const bool late = open.session->Quit();
        open = {};
        if (late)
            return TRowResult::Sent;
        Fail(kReadTimedOut, name);
        return TRowResult::Failed;
    }
    return JudgeRow(transfer, mayRetry && !open.session->Authenticated(), envelope, name);
}

TMailSender::TRowResult TMailSender::JudgeRow(const TTransferResult& transfer, bool mayRetryWithLogin,
                                              const TMailEnvelope& envelope, const std::string& account)
{
    const bool curable = transfer.HeldForLogin ||
                         (transfer.Refusal && !transfer.DataSent && LoginWouldCure(*transfer.Refusal));
    if (curable && mayRetryWithLogin)
        return TRowResult::RetryWithLogin;
    if (transfer.Delivered || (!transfer.Refusal && (transfer.Refused.empty() || !AnyTransient(transfer.Refused)))) {
        // Sent to the others, or refused for good for every recipient: the
        // row leaves the queue and each permanent refusal is told once.
        for (const TRecipientRefusal& r : transfer.Refused) {
            if (IsTransientReply(r.Reply.Code))
                TraceDeferred(account, r.Address, r.Reply);
            else
                Fail(RefusalText(r.Address, r.Reply), account);
        }
        if (!transfer.Delivered && transfer.Refused.empty())
            Fail("No recipients", account);
        return transfer.Delivered ? TRowResult::Sent : TRowResult::Refused;
    }
    if (!transfer.Refusal) {
        // Every recipient refused, one of them for now only.
        for (const TRecipientRefusal& r : transfer.Refused)
            TraceDeferred(account, r.Address, r.Reply);
        return TRowResult::Deferred;
    }
    const TSmtpReply& refusal = *transfer.Refusal;
    const std::string recipients = JoinAddresses(envelope.Recipients);
    if (IsTransientReply(refusal.Code)) {
        TraceDeferred(account, recipients, refusal);
        return TRowResult::Deferred;
    }
    Fail(RefusalText(recipients, refusal), account);
    // MAIL FROM refused: the account's address, which the user can mend;
    // the recipients were never asked.
    const bool mailRefused = transfer.Accepted.empty() && transfer.Refused.empty();
    return mailRefused ? TRowResult::Deferred : TRowResult::Refused;
}

} // namespace bm
