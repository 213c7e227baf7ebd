// SASL mechanism choice and responses for the POP3 client.

#include "proto/pop3saslU.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QMessageAuthenticationCode>

#include <algorithm>
#include <array>
#include <cctype>

namespace bm {

namespace {

std::string Upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

QByteArray Bytes(std::string_view s)
{
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

const char* SaslMechanismName(TSaslMechanism mechanism)
{
    switch (mechanism) {
    case TSaslMechanism::Plain: return "PLAIN";
    case TSaslMechanism::Login: return "LOGIN";
    case TSaslMechanism::CramMD5: return "CRAM-MD5";
    case TSaslMechanism::Otp: return "OTP";
    case TSaslMechanism::SKey: return "SKEY";
    }
    return "";
}

std::vector<TSaslMechanism> SaslAttemptOrder(const std::vector<std::string>& announced)
{
    static constexpr std::array kStrongestFirst{TSaslMechanism::SKey, TSaslMechanism::Otp,
                                                TSaslMechanism::CramMD5, TSaslMechanism::Login,
                                                TSaslMechanism::Plain};
    std::vector<TSaslMechanism> order;
    for (TSaslMechanism m : kStrongestFirst) {
        const std::string name = SaslMechanismName(m);
        const bool offered = std::any_of(announced.begin(), announced.end(),
                                         [&](const std::string& a) { return Upper(a) == name; });
        if (offered)
            order.push_back(m);
    }
    return order;
}

bool SaslMechanismDoable(TSaslMechanism mechanism)
{
    return mechanism == TSaslMechanism::Plain || mechanism == TSaslMechanism::Login ||
           mechanism == TSaslMechanism::CramMD5;
}

std::optional<std::string> DecodeBase64(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    const auto result = QByteArray::fromBase64Encoding(
        Bytes(text), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return std::string(result.decoded.constData(), static_cast<std::size_t>(result.decoded.size()));
}

std::string EncodeBase64(std::string_view bytes)
{
    return Bytes(bytes).toBase64().toStdString();
}

std::string SaslPlainResponse(const std::string& userName, const std::string& password)
{
    std::string message = userName;
    message += '\0';
    message += userName;
    message += '\0';
    message += password;
    return EncodeBase64(message);
}

std::string SaslCramMD5Response(const std::string& userName, const std::string& password,
                                const std::string& challenge)
{
    const QByteArray digest = QMessageAuthenticationCode::hash(Bytes(challenge), Bytes(password),
                                                               QCryptographicHash::Md5);
    return EncodeBase64(userName + " " + digest.toHex().toStdString());
}

TSaslExchange::TSaslExchange(TSaslMechanism mechanism, std::string userName, std::string password)
    : mechanism_(mechanism), user_(std::move(userName)), password_(std::move(password))
{
}

std::optional<std::string> TSaslExchange::Respond(std::string_view challengeBase64)
{
    const auto challenge = DecodeBase64(challengeBase64);
    ++step_;
    if (!challenge)
        return std::nullopt;
    switch (mechanism_) {
    case TSaslMechanism::Plain:
        // RFC 4616 has one step; the server sends an empty challenge first.
        if (step_ > 1)
            return std::nullopt;
        return SaslPlainResponse(user_, password_);
    case TSaslMechanism::Login:
        return RespondLogin(*challenge);
    case TSaslMechanism::CramMD5:
        if (step_ > 1 || challenge->empty())
            return std::nullopt;
        return SaslCramMD5Response(user_, password_, *challenge);
    case TSaslMechanism::Otp:
    case TSaslMechanism::SKey:
        break;
    }
    return std::nullopt;
}

// LOGIN has no RFC of its own; servers prompt "Username:" then "Password:".
// The prompt's words decide; a server with other prompts gets the user name
// first and the password second, in the order every implementation uses.
std::optional<std::string> TSaslExchange::RespondLogin(const std::string& prompt)
{
    const std::string lower = Lower(prompt);
    if (lower.find("pass") != std::string::npos)
        return EncodeBase64(password_);
    if (lower.find("user") != std::string::npos)
        return EncodeBase64(user_);
    if (step_ == 1)
        return EncodeBase64(user_);
    if (step_ == 2)
        return EncodeBase64(password_);
    return std::nullopt;
}

} // namespace bm
