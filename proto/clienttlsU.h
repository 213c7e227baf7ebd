#pragma once
// The client side of TLS that the POP3 check and the SMTP sender share: the
// contexts by pinned server fingerprint, the hint that tells the user how to
// trust a refused certificate, and learning that a server offers STARTTLS.

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace bm {

class TAccount;
class TAccountList;
class TlsContext;

// The half of an account a connection serves: its section in accounts.ini.
enum class TMailSide { Incoming, Outgoing };

// One client context for each pinned fingerprint ("" for none): a context
// loads its certificate files once, and an account that pins its server's
// certificate must not lend that trust to the others. The server's
// certificate is always verified (system roots plus cacert.pem, and the
// server's name; or the pinned one) before a password leaves.
class TClientTlsContexts {
public:
    // certificateFolder: where the optional "cert.pem", "key.pem" and
    // "cacert.pem" are looked for; empty: no files.
    explicit TClientTlsContexts(std::filesystem::path certificateFolder);

    // Throws ETlsError when a certificate file present cannot be loaded.
    std::shared_ptr<TlsContext> For(const std::string& pinnedFingerprint);

private:
    std::filesystem::path certificateFolder_;
    std::map<std::string, std::shared_ptr<TlsContext>> contexts_;
};

// What the user can do about a refused certificate he knows to be his
// server's: " To trust this certificate, add the line ..." naming the
// section of the account's side in accounts.ini; "" for an account not in
// the list.
std::string CertificateTrustHint(const TAccountList& accounts, const TAccount& account,
                                 const std::string& fingerprint, TMailSide side);

// The server of the account's side offered STARTTLS: from now on a session
// without it is refused. Saves the account list when this is news; throws
// what saving throws.
void LearnTlsOffered(TAccountList& accounts, TAccount& account, TMailSide side);

} // namespace bm
