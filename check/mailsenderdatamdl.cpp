#include "check/mailsenderdatamdl.h"

#include "check/smtpsessionU.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "core/mailmsgU.h"
#include "core/synchronize.h"
#include "net/tlsU.h"
#include "platform/shellU.h"
#include "store/threaddatamdl.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace bm {

namespace {

// Reply texts of a queued message's send that mean the recipient can never
// be reached: the row leaves the queue as if sent, so it is not retried at
// every Mail check.
constexpr std::array<std::string_view, 4> kRefusedRecipientTexts = {
    "address syntax", "invalid address", "address error", "o valid recipients"};

bool NamesAny(std::string_view text, const std::vector<std::string>& addresses)
{
    return std::any_of(addresses.begin(), addresses.end(),
                       [&](const std::string& a) { return ContainsIgnoringCase(text, a); });
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
    : options_(options), accounts_(accounts), friends_(friends), settings_(std::move(settings))
{
}

TMailSender::TMailSender() : TMailSender(Options(), Accounts(), WhiteList()) {}

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
    if (sslMode_ == 0 || tls_)
        return;
    const auto folder = settings_.certificateFolder.empty() ? GetProgramFolder()
                                                            : settings_.certificateFolder;
    TlsClientSettings tlsSettings;
    tlsSettings.verifyPeer = false;  // servers users point at often have self-signed certificates
    tlsSettings.files = FindClientCertificates(folder);
    tls_ = TlsContext::Client(tlsSettings);
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
    setup.userName = credentials.userName;
    setup.password = credentials.password;
    WriteTrace({"SMTP Connect", setup.host, std::to_string(setup.port), setup.userName}, 0);

    OpenSession open;
    open.forcedLogin = forceLogin;
    open.session = std::make_unique<TSmtpSession>(settings_, std::move(setup));
    open.guard = std::make_unique<ConnectionGuard>(*this, open.session->Connection());
    open.session->Open();
    return open;
}

void TMailSender::LearnLoginRequired(TAccount& account)
{
    account.Outgoing().SetLoginRequired(true);
    try {
        accounts_.SaveToFile();
    } catch (const std::exception& e) {
        Fail(e.what(), account.Name());
    }
}

void TMailSender::WhitelistRecipients(const TMailEnvelope& envelope)
{
    for (const std::string& address : envelope.Recipients) {
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
    std::string toText;
    for (const std::string& to : envelope.ToAddresses)
        toText += (toText.empty() ? "" : ", ") + to;
    WriteTrace({"Send mail", account.Name(), toText}, 1);
    const std::string data = form == TMailTextForm::Stored ? CompleteStoredText(text) : StuffRawText(text);
    return Relay(account, envelope, data, noWhitelist);
}

bool TMailSender::Relay(TAccount& account, const TMailEnvelope& envelope, const std::string& data,
                        bool noWhitelist)
{
    if (envelope.Recipients.empty()) {
        Fail("No recipients", account.Name());
        return false;
    }
    TSendResult result = SendOnce(account, envelope, data, false);
    if (result == TSendResult::RetryWithLogin && !account.Outgoing().LoginRequired()) {
        const bool captured = CaptureErrors;
        CaptureErrors = true;
        result = SendOnce(account, envelope, data, true);
        CaptureErrors = captured;
    }
    const bool sent = result == TSendResult::Sent;
    if (sent && !noWhitelist && options_.WhitelistRecipients())
        WhitelistRecipients(envelope);
    return sent;
}

TSendResult TMailSender::SendOnce(TAccount& account, const TMailEnvelope& envelope,
                                  const std::string& data, bool forceLogin)
{
    const std::string name = account.Name();
    OpenSession open;
    try {
        open = Connect(account, forceLogin);
    } catch (const std::exception& e) {
        Fail(e.what(), name);
        return TSendResult::Failed;
    }
    TSendResult result = TSendResult::Failed;
    bool timedOut = false;
    try {
        open.session->Transfer(envelope, data);
        result = TSendResult::Sent;
    } catch (const ESmtpReplyError& e) {
        if (NamesAny(e.what(), envelope.ToAddresses))
            result = TSendResult::Sent;
        else if (forceLogin)
            Fail(e.what(), name);
        else if (!account.Outgoing().LoginRequired())
            result = TSendResult::RetryWithLogin;
        // LoginRequired already set: failed, with no error text.
    } catch (const ESocketTimeout& e) {
        timedOut = open.session->TimedOutAtDataEnd();
        if (!timedOut)
            Fail(e.what(), name);
    } catch (const std::exception& e) {
        Fail(e.what(), name);
    }
    if (open.session->Quit() && timedOut)
        result = TSendResult::Sent;
    else if (timedOut)
        Fail(kReadTimedOut, name);  // the late reply never accepted the message
    if (forceLogin && result == TSendResult::Sent)
        LearnLoginRequired(account);
    return result;
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
    SendRows(open, account, rows, sentIds, sentKeys);
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
        Fail(e.what(), name);
    }
    if (account.Outgoing().LoginRequired())
        return {};
    try {
        OpenSession open = Connect(account, true);
        LearnLoginRequired(account);
        return open;
    } catch (const std::exception& e) {
        Fail(e.what(), name);
    }
    return {};
}

void TMailSender::SendRows(OpenSession& open, TAccount& account,
                           const std::vector<TQueuedMessage>& rows, std::vector<int>& sentIds,
                           std::vector<int>& sentKeys)
{
    const std::string name = account.Name();
    const int count = static_cast<int>(rows.size());
    for (int i = 1; i <= count; ++i) {
        if (StopRequested && StopRequested())
            break;
        if (OnStatus) {
            char text[512];
            std::snprintf(text, sizeof text, "Sending quarantine message %d of %d on %s", i, count,
                          name.c_str());
            OnStatus(text);
        }
        const TQueuedMessage& row = rows[static_cast<std::size_t>(i - 1)];
        TSendResult result = SendQueued(open, account, row.Message);
        if (result == TSendResult::RetryWithLogin)
            result = ResendWithLogin(open, account, row.Message);
        if (result != TSendResult::Sent)
            break;
        sentIds.push_back(row.ID);
        if (row.KeyID != -1)
            sentKeys.push_back(row.KeyID);
    }
}

// A queued message refused on a connection without login, while the
// account's LoginRequired is not known: the same message once more over a
// connection that logs in, as a relay does, so that an account whose server
// wants a login learns it from its challenges too and not only from relayed
// mail. When that succeeds LoginRequired is set and saved.
TSendResult TMailSender::ResendWithLogin(OpenSession& open, TAccount& account, const std::string& stored)
{
    open.session->Quit();
    open = {};
    try {
        open = Connect(account, true);
    } catch (const std::exception& e) {
        Fail(e.what(), account.Name());
        return TSendResult::Failed;
    }
    const TSendResult result = SendQueued(open, account, stored);
    if (result == TSendResult::Sent)
        LearnLoginRequired(account);
    return result;
}

TSendResult TMailSender::SendQueued(OpenSession& open, TAccount& account, const std::string& stored)
{
    TMailMessage message;
    TMailEnvelope envelope;
    try {
        // A row that cannot be read fails like a send: the rows sent before
        // it still leave the queue.
        message.LoadFromString(stored);
        envelope = EnvelopeOf(message);
        open.session->Transfer(envelope, message.SaveToString());
        return TSendResult::Sent;
    } catch (const ESmtpReplyError& e) {
        const std::string_view text = e.what();
        const bool refused = std::any_of(kRefusedRecipientTexts.begin(), kRefusedRecipientTexts.end(),
                                         [&](std::string_view t) { return ContainsIgnoringCase(text, t); });
        if (refused || NamesAny(text, envelope.ToAddresses))
            return TSendResult::Sent;
        if (!open.forcedLogin && !account.Outgoing().LoginRequired())
            return TSendResult::RetryWithLogin;
        Fail(e.what(), account.Name());
    } catch (const std::exception& e) {
        Fail(e.what(), account.Name());
    }
    return TSendResult::Failed;
}

} // namespace bm
