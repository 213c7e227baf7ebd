#include "proto/smtpsessionU.h"

#include "net/tlsU.h"

#include <QByteArray>
#include <algorithm>
#include <unistd.h>
#include <vector>

namespace bm {

namespace {

std::string Base64(std::string_view bytes)
{
    const QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    return data.toBase64().toStdString();
}

bool Accepted(int code, std::initializer_list<int> expected)
{
    return std::find(expected.begin(), expected.end(), code) != expected.end();
}

// The recipients in order, each address once (ignoring letter case).
std::vector<std::string> UniqueRecipients(const std::vector<std::string>& recipients)
{
    std::vector<std::string> unique;
    for (const std::string& r : recipients) {
        const bool seen = std::any_of(unique.begin(), unique.end(), [&](const std::string& u) {
            return u.size() == r.size() && ContainsIgnoringCase(u, r);
        });
        if (!seen && !r.empty())
            unique.push_back(r);
    }
    return unique;
}

} // namespace

std::string HeloName(const TMailSenderSettings& settings)
{
    if (!settings.heloName.empty())
        return settings.heloName;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        return name;
    return "localhost";
}

TSmtpSession::TSmtpSession(const TMailSenderSettings& settings, TSmtpSessionSetup setup)
    : settings_(settings), setup_(std::move(setup)), heloName_(HeloName(settings))
{
}

TSmtpReply TSmtpSession::ReadReply(int timeoutMs)
{
    TSmtpReplyParser parser(settings_.maxReplyLines);
    std::string line;
    for (;;) {
        line.clear();
        switch (connection_.ReadLine(line, settings_.maxReplyLineBytes, timeoutMs)) {
        case ReadStatus::Line:
        case ReadStatus::TooLong:  // the kept start of the line is enough to go on
            if (parser.Feed(line))
                return parser.Reply();
            break;
        case ReadStatus::NeedMore:
            throw ESocketTimeout();
        case ReadStatus::Closed:
            throw EConnectionClosed();
        case ReadStatus::Error:
            throw ESocketError(connection_.LastError());
        }
    }
}

TSmtpReply TSmtpSession::Expect(std::initializer_list<int> expected)
{
    TSmtpReply reply = ReadReply(settings_.readTimeoutMs);
    if (!Accepted(reply.Code, expected))
        throw ESmtpReplyError(std::move(reply));
    return reply;
}

TSmtpReply TSmtpSession::Command(std::string_view line, std::initializer_list<int> expected)
{
    connection_.WriteLine(line, settings_.writeTimeoutMs);
    return Expect(expected);
}

// A command of the mail transaction: its reply, whatever the code.
TSmtpReply TSmtpSession::Ask(std::string_view line)
{
    connection_.WriteLine(line, settings_.writeTimeoutMs);
    return ReadReply(settings_.readTimeoutMs);
}

void TSmtpSession::Open()
{
    const ConnectOptions options{settings_.connectTimeoutMs};
    OpenConnection(connection_, setup_.host, setup_.port, setup_.proxy, options);
    if (setup_.sslMode == 2)
        connection_.StartTls(*setup_.tls, settings_.connectTimeoutMs);
    Expect({220});
    Hello();
}

void TSmtpSession::Hello()
{
    try {
        caps_ = ReadCapabilities(Command("EHLO " + heloName_, {250}));
    } catch (const ESmtpReplyError&) {
        // A server without the service extensions (RFC 5321 §4.1.4).
        Command("HELO " + heloName_, {250});
        caps_ = {};
    }
}

void TSmtpSession::StartTlsWhenAsked()
{
    if ((setup_.sslMode != 1 && setup_.sslMode != 3) || connection_.IsTls())
        return;
    if (!caps_.StartTls) {
        if (setup_.sslMode == 3)
            throw ETlsError("SSL is not available on this server.");
        if (setup_.tlsOfferedBefore)
            throw ETlsError(kTlsDowngradeSmtp);
        return;
    }
    Command("STARTTLS", {220});
    connection_.StartTls(*setup_.tls, settings_.connectTimeoutMs);
    // RFC 3207 §4.2: what was learned before the handshake is void.
    Hello();
}

void TSmtpSession::Authenticate()
{
    if (setup_.userName.empty())
        return;
    if (caps_.AuthLogin) {
        Command("AUTH LOGIN", {334});
        Command(Base64(setup_.userName), {334});
        Command(Base64(setup_.password), {235});
        authenticated_ = true;
    } else if (caps_.AuthPlain) {
        // RFC 4616 §2: empty authorisation identity, NUL, user, NUL, password.
        std::string message;
        message += '\0';
        message += setup_.userName;
        message += '\0';
        message += setup_.password;
        Command("AUTH PLAIN " + Base64(message), {235});
        authenticated_ = true;
    }
}

void TSmtpSession::ResetTransaction()
{
    try {
        Command("RSET", {250});
    } catch (const std::exception&) {
        // A connection that cannot reset fails the next command anyway.
    }
}

TTransferResult TSmtpSession::Transfer(const TMailEnvelope& envelope, std::string_view data,
                                       bool holdForLogin)
{
    timedOutAtDataEnd_ = false;
    if (!started_) {
        StartTlsWhenAsked();
        Authenticate();
        started_ = true;
    }
    TTransferResult result;
    TSmtpReply mail = Ask("MAIL FROM:<" + envelope.From + ">");
    if (!IsPositiveReply(mail.Code)) {
        result.Refusal = std::move(mail);
        return result;
    }
    SendRecipients(envelope, holdForLogin && !authenticated_, result);
    if (result.Accepted.empty() || result.HeldForLogin) {
        ResetTransaction();
        return result;
    }
    SendData(data, result);
    return result;
}

void TSmtpSession::SendRecipients(const TMailEnvelope& envelope, bool holdForLogin, TTransferResult& result)
{
    for (const std::string& to : UniqueRecipients(envelope.Recipients)) {
        TSmtpReply reply = Ask("RCPT TO:<" + to + ">");
        if (IsPositiveReply(reply.Code)) {
            result.Accepted.push_back(to);
            continue;
        }
        // Postfix accepts its own domains without a login and refuses the
        // rest: stop here, so the whole message goes again with login.
        if (holdForLogin && LoginWouldCure(reply))
            result.HeldForLogin = true;
        result.Refused.push_back({to, std::move(reply)});
        if (result.HeldForLogin)
            return;
    }
}

void TSmtpSession::SendData(std::string_view data, TTransferResult& result)
{
    TSmtpReply go = Ask("DATA");
    if (go.Code != 354) {
        result.Refusal = std::move(go);
        ResetTransaction();
        return;
    }
    result.DataSent = true;
    connection_.Write(data, settings_.writeTimeoutMs);
    TSmtpReply done;
    try {
        // RFC 5321 §4.5.3.2.6: the server may scan the message before it
        // answers; the client waits 10 minutes by default.
        done = ReadReply(settings_.dataEndTimeoutMs);
    } catch (const ESocketTimeout&) {
        timedOutAtDataEnd_ = true;
        result.TimedOutAtDataEnd = true;
        return;
    }
    if (IsPositiveReply(done.Code))
        result.Delivered = true;
    else
        result.Refusal = std::move(done);
}

bool TSmtpSession::Quit()
{
    bool lateAcceptance = false;
    try {
        connection_.WriteLine("QUIT", settings_.writeTimeoutMs);
        const TSmtpReply reply = ReadReply(settings_.readTimeoutMs);
        lateAcceptance = timedOutAtDataEnd_ && reply.Code / 100 == 2 && reply.Code != 221;
    } catch (const std::exception&) {
        // The connection ends either way.
    }
    connection_.Close();
    return lateAcceptance;
}

} // namespace bm
