// TMailCheckerMdl: account walk, connection and login.
// The mailbox pass itself is in mailchkpass.cpp.

#include "check/mailchkmdl.h"

#include <algorithm>
#include <cctype>

#include "config/acctU.h"
#include "core/loggerU.h"
#include "net/tlsU.h"

namespace bm {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Contains(const std::string& text, const char* word)
{
    return text.find(word) != std::string::npos;
}

} // namespace

TMailCheckerSettings MailCheckerSettingsFromOptions(const TOptions& options,
                                                    const std::filesystem::path& certificateFolder)
{
    TMailCheckerSettings settings;
    settings.LocalPOP3Port = options.POP3Port();
    settings.Proxy = options.Proxy().Values();
    settings.CertificateFolder = certificateFolder;
    return settings;
}

TMailCheckerMdl::TMailCheckerMdl(bool localMode, const TMailCheckerSettings& settings, TAccountList& accounts,
                                 TWhiteList& friends, TBlackList& blacklist, TFilterList& filters)
    : localMode_(localMode), settings_(settings), accounts_(accounts), friends_(friends),
      blacklist_(blacklist), filters_(filters), client_(settings.Client),
      tls_(settings.CertificateFolder)
{
}

TMailCheckerMdl::~TMailCheckerMdl() = default;

void TMailCheckerMdl::SetProxy(bool useProxy, const std::string& host, const std::string& password,
                               const std::string& userName, int port)
{
    settings_.Proxy.UseProxy = useProxy;
    settings_.Proxy.Address = host;
    settings_.Proxy.Password = password;
    settings_.Proxy.Username = userName;
    settings_.Proxy.Port = port;
    // A proxy that wants a user name gets Basic credentials (RFC 7617).
    settings_.Proxy.Logon = !userName.empty();
}

void TMailCheckerMdl::AbortConnection()
{
    client_.Abort();
}

void TMailCheckerMdl::Status(const std::string& text)
{
    if (OnStatus)
        OnStatus(text);
}

void TMailCheckerMdl::SetState(std::uint8_t state)
{
    if (OnSetState)
        OnSetState(state);
}

bool TMailCheckerMdl::Stopped() const
{
    return client_.Aborted() || (IsStopRequested && IsStopRequested());
}

// Errors after a stop request are never shown: they are its consequence.
void TMailCheckerMdl::Report(const std::string& text, const std::string& account)
{
    if (!Stopped() && OnReportCheckError)
        OnReportCheckError(text, account);
}

bool TMailCheckerMdl::CheckAllAccounts(TMessageList& inboxList, TMessageList& knownList)
{
    return CheckAccountList(false, inboxList, knownList);
}

bool TMailCheckerMdl::CheckDefaultAccounts(TMessageList& inboxList, TMessageList& knownList)
{
    return CheckAccountList(true, inboxList, knownList);
}

// The is-last flag marks the last account of the walk's selection, even
// when that one is skipped in local mode for want of a saved password.
bool TMailCheckerMdl::CheckAccountList(bool defaultOnly, TMessageList& inboxList, TMessageList& knownList)
{
    const std::vector<TAccountPtr> items = accounts_.Items();
    std::size_t last = items.size();
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!defaultOnly || items[i]->InDefaultCheck())
            last = i;
    bool result = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        TAccount& account = *items[i];
        if (defaultOnly && !account.InDefaultCheck())
            continue;
        if (Stopped())
            break;
        if (localMode_ && account.Incoming().Password().empty())
            continue;
        if (CheckAccount(account, inboxList, i == last, knownList))
            result = true;
    }
    return result;
}

bool TMailCheckerMdl::CheckAccount(TAccount& account, TMessageList& inboxList, bool isLast,
                                   TMessageList& knownList)
{
    bool result = false;
    try {
        Status("Checking mail on " + account.Name());
        SetState(localMode_ ? kStateConnectingLocal : kStateConnectingRemote);
        if (ConnectAccount(account)) {
            SetState(localMode_ ? kStateRetrievingLocal : kStateRetrievingRemote);
            result = ProcessMailbox(account, inboxList, knownList);
        }
        // The server carries out the deletions only now (RFC 1939 §6). A
        // session that broke was closed without QUIT and commits nothing.
        Quit(account);
        if (OnAfterAccount)
            OnAfterAccount(account, isLast);
    } catch (const std::exception&) {
        // Worth showing was reported where it happened.
        result = false;
    }
    if (client_.Connected()) {
        try {
            client_.Quit();
        } catch (const std::exception&) {
        }
    }
    client_.Disconnect();
    return result;
}

// A server that closes the connection after QUIT ended the session as it
// should; one that refuses QUIT kept some of the deleted messages (RFC 1939
// §6), which the next check meets again.
void TMailCheckerMdl::Quit(TAccount& account)
{
    try {
        client_.Quit();
    } catch (const EPop3Error& e) {
        Report(std::string("The server did not remove the deleted messages: ") + e.what(), account.Name());
    } catch (const EConnectionClosed&) {
    }
}

void TMailCheckerMdl::LearnTlsOffered(TAccount& account)
{
    try {
        bm::LearnTlsOffered(accounts_, account, TMailSide::Incoming);
    } catch (const std::exception& e) {
        Report(e.what(), account.Name());
    }
}

TPop3ConnectParams TMailCheckerMdl::ConnectParams(TAccount& account)
{
    const TIncomingValues in = account.Incoming().Values();
    TPop3ConnectParams params;
    params.Password = in.Password;
    if (localMode_) {
        params.Host = "localhost";
        params.Port = static_cast<std::uint16_t>(settings_.LocalPOP3Port);
        params.UserName = in.UserName + "@" + in.Server;
        params.Login = TPop3Login::UserPass;
        return params;
    }
    const TProxyValues& proxy = settings_.Proxy;
    if (proxy.UseProxy)
        params.Proxy = HttpProxy{proxy.Address, static_cast<std::uint16_t>(proxy.Port), proxy.Logon,
                                 proxy.Username, proxy.Password};
    params.Tls = Pop3TlsFromSSLValue(in.SSL);
    if (params.Tls != TPop3Tls::None)
        params.Context = tls_.For(in.CertFingerprint);
    params.TlsOfferedBefore = in.TlsOffered;
    params.Host = in.Server;
    params.Port = static_cast<std::uint16_t>(in.Port);
    params.UserName = in.UserName;
    params.Login = in.SecurePasswordAuthentication ? TPop3Login::Sasl : TPop3Login::UserPass;
    return params;
}

bool TMailCheckerMdl::LooksLikeRefusedLogin(TAccount& account, const EPop3Error& error) const
{
    // A marked reply says what it is about (RFC 2449 §8.1, RFC 3206): only
    // [AUTH] refuses the credentials; [IN-USE], [LOGIN-DELAY] and [SYS/...]
    // are the server's own state, and asking for the password again would
    // only teach the user to distrust a right one.
    if (!error.ResponseCode().empty())
        return error.ResponseCode() == "AUTH";
    // Unmarked, a refusal of USER, PASS or the SASL exchange is one whatever
    // its wording.
    if (error.LoginRefused() || account.Incoming().Password().empty())
        return true;
    const std::string text = Lower(error.what());
    return Contains(text, "login") || (Contains(text, "user") && Contains(text, "pass")) ||
           Contains(text, "permission denied");
}

bool TMailCheckerMdl::AskCredentials(TAccount& account, const std::string& reason, TPop3ConnectParams& params)
{
    TCredentialsRequest request;
    request.Server = account.Incoming().Server();
    request.Title = "Logon - " + request.Server;
    request.Account = account.Name();
    request.Reason = reason;
    request.UserName = params.UserName;
    request.Password = params.Password;
    request.SecureAuthentication = params.Login == TPop3Login::Sasl;
    if (!OnGetCredentials || !OnGetCredentials(request))
        return false;
    params.UserName = request.UserName;
    params.Password = request.Password;
    params.Login = request.SecureAuthentication ? TPop3Login::Sasl : TPop3Login::UserPass;
    return true;
}

bool TMailCheckerMdl::ConnectAccount(TAccount& account)
{
    const std::string name = account.Name();
    const char* mode = localMode_ ? "local " : "remote ";
    TPop3ConnectParams params;
    try {
        params = ConnectParams(account);
    } catch (const std::exception& e) {
        WriteTrace({"Exception connecting", e.what()}, kTraceNotable);
        Report(e.what(), name);
        return false;
    }
    Status(std::string("Connecting to ") + mode + name);
    for (;;) {
        WriteTrace({"POP3 connect", mode, params.Host, params.UserName, std::to_string(params.Port)},
                   kTraceDetail);
        client_.Disconnect();
        try {
            client_.Connect(params);
            if (params.Tls == TPop3Tls::Explicit && client_.IsTls())
                LearnTlsOffered(account);
            return true;
        } catch (const ECertificateError& e) {
            if (!Stopped()) {
                WriteTrace({"Exception connecting", e.what()}, kTraceNotable);
                Report(e.what() + CertificateTrustHint(accounts_, account, e.Fingerprint(), TMailSide::Incoming), name);
            }
            return false;
        } catch (const EPop3Error& e) {
            if (Stopped())
                return false;
            WriteTrace({"Exception connecting", e.what()}, kTraceNotable);
            if (!localMode_ && LooksLikeRefusedLogin(account, e)) {
                client_.Disconnect();
                if (AskCredentials(account, e.what(), params))
                    continue;
                return false;
            }
            Report(e.what(), name);
            return false;
        } catch (const EConnectionClosed& e) {
            if (!Stopped()) {
                WriteTrace({"Exception connecting", e.what()}, kTraceNotable);
                Report(kClosedBeforeLogin, name);
            }
            return false;
        } catch (const std::exception& e) {
            if (!Stopped()) {
                WriteTrace({"Exception connecting", e.what()}, kTraceNotable);
                Report(e.what(), name);
            }
            return false;
        }
    }
}

} // namespace bm
