#pragma once
// SASL for the POP3 client's AUTH command (RFC 5034): which of the announced
// mechanisms to try, in which order, and the responses to the server's
// challenges. Pure functions over strings; no I/O. Any thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// The mechanisms the client is configured with, in this list order.
enum class TSaslMechanism { Plain, Login, CramMD5, Otp, SKey };

// "PLAIN", "LOGIN", "CRAM-MD5", "OTP", "SKEY".
const char* SaslMechanismName(TSaslMechanism mechanism);

// The configured mechanisms that appear in `announced` (the names of the
// CAPA "SASL" line, compared without regard to letter case), strongest
// first: SKEY, OTP, CRAM-MD5, LOGIN, PLAIN.
std::vector<TSaslMechanism> SaslAttemptOrder(const std::vector<std::string>& announced);

// True for the mechanisms this client can carry out. OTP (RFC 2444) and
// S/KEY (RFC 1760) need a one-time-password generator, which this client
// does not have; they are passed over before any AUTH is sent for them, so a
// server that counts failed logins never sees an attempt that cannot succeed.
bool SaslMechanismDoable(TSaslMechanism mechanism);

// One SASL exchange for a user name and password. The caller sends
// "AUTH <name>", then for each "+ <base64>" continuation line passes the
// text after "+ " to Respond and sends the result as one line.
class TSaslExchange {
public:
    TSaslExchange(TSaslMechanism mechanism, std::string userName, std::string password);

    // The line to send for a challenge (base64 text after "+ ", possibly
    // empty), or nullopt when the challenge cannot be answered (malformed
    // base64, more steps than the mechanism has): the caller then cancels the
    // exchange with "*" (RFC 5034 §4).
    std::optional<std::string> Respond(std::string_view challengeBase64);

private:
    std::optional<std::string> RespondLogin(const std::string& prompt);

    TSaslMechanism mechanism_;
    std::string user_;
    std::string password_;
    int step_ = 0;
};

// RFC 4616: authzid NUL authcid NUL password, base64; the authorisation
// identity is the user name itself.
std::string SaslPlainResponse(const std::string& userName, const std::string& password);
// RFC 2195: base64 of user, a blank and the lower-case hex HMAC-MD5 of the
// decoded challenge keyed with the password.
std::string SaslCramMD5Response(const std::string& userName, const std::string& password,
                                const std::string& challenge);

// Strict base64 (RFC 4648 §4) decoding; nullopt for any other character,
// a wrong length or misplaced padding.
std::optional<std::string> DecodeBase64(std::string_view text);
std::string EncodeBase64(std::string_view bytes);

} // namespace bm
