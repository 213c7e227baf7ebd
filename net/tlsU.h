#pragma once
// TLS for TcpConnection (net/socketU.h), client and server, TLS 1.2 or later.
// The TLS library stays behind this header: callers see contexts and files only.
//
// A context is made once (per listener, per client module) and shared by the
// connections that use it; it is immutable after creation and safe to use
// from several threads at once.
//
// Making the first context sets SIGPIPE to be ignored for the process: the
// TLS library writes to sockets with write(2), and a peer that went away must
// fail the write (EPIPE), not end the program.

#include <filesystem>
#include <memory>
#include <string>

#include "net/socketU.h"

namespace bm {

// A TLS failure: handshake refused, bad certificate file, protocol error.
// what() carries the library's reason, e.g. "TLS handshake failed: ...".
class ETlsError : public ESocketError {
public:
    using ESocketError::ESocketError;
};

// The certificate file names looked for in the program folder.
inline constexpr const char* kCertFileName = "cert.pem";
inline constexpr const char* kKeyFileName = "key.pem";
inline constexpr const char* kCaCertFileName = "cacert.pem";

// Certificate and key of one side. Empty paths are "not given".
struct CertificateFiles {
    std::filesystem::path cert;  // PEM certificate (for a server: its own)
    std::filesystem::path key;   // PEM private key of cert
    std::filesystem::path ca;    // PEM: server = chain sent after cert; client = trusted roots
};

struct TlsClientSettings {
    // Off by default for the low-level users (tests talking to a local
    // server); the upstream mail connections turn it on. When on, the chain
    // must verify against OpenSSL's default trust store plus files.ca (when
    // given), and the server name given to the handshake must match the
    // certificate (RFC 6125: subjectAltName DNS or IP entries, no partial
    // wildcards). A failure ends the handshake with ECertificateError.
    bool verifyPeer = false;
    // Optional: a client certificate is presented only when both cert and key
    // are given and readable; ca is used only with verifyPeer.
    CertificateFiles files;
    // With verifyPeer: the SHA-256 fingerprint of one certificate the user
    // chose to trust (a self-signed server); that certificate is accepted
    // whatever its chain or names. Colons, blanks and letter case are ignored.
    std::string pinnedFingerprint;
};

// The server's certificate was refused: reason is OpenSSL's verification
// text ("self-signed certificate", "hostname mismatch"...); subject and
// issuer in RFC 2253 form; fingerprint as FingerprintText gives it.
class ECertificateError : public ETlsError {
public:
    ECertificateError(std::string reason, std::string subject, std::string issuer, std::string fingerprint);
    const std::string& Reason() const { return reason_; }
    const std::string& Subject() const { return subject_; }
    const std::string& Issuer() const { return issuer_; }
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    std::string reason_;
    std::string subject_;
    std::string issuer_;
    std::string fingerprint_;
};

// A fingerprint in the form stored and shown: upper-case hex pairs joined by
// colons ("AB:01:..."), as "openssl x509 -fingerprint -sha256" prints it.
// Colons and blanks of the input are dropped; "" when what is left is not
// 64 hex digits.
std::string NormalizeFingerprint(const std::string& text);

class TlsContext {
public:
    // Throws ETlsError when a given file cannot be loaded (the text names it).
    static std::shared_ptr<TlsContext> Client(const TlsClientSettings& settings = {});
    // Server side: loads cert and key (required) and ca, when given and
    // present, as the chain sent after the certificate. No client certificate
    // is asked for. Throws ETlsError naming the file that failed.
    static std::shared_ptr<TlsContext> Server(const CertificateFiles& files);

    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    bool IsServer() const { return server_; }
    bool VerifiesPeer() const { return verify_; }

    struct Impl;  // defined in net/tlsU.cpp only
    Impl& impl() const { return *impl_; }

private:
    TlsContext(std::unique_ptr<Impl> impl, bool server, bool verify);
    std::unique_ptr<Impl> impl_;
    bool server_;
    bool verify_;
};

// The server's certificate files. Takes cert.pem and key.pem from
// programFolder when both exist there (cacert.pem beside them, if present,
// as chain). Otherwise uses cert.pem / key.pem in fallbackFolder (the data
// folder), creating them on first use: a self-signed certificate for
// CN=localhost with subjectAltName DNS:localhost, IP:127.0.0.1, IP:::1, an
// EC P-256 key, valid 10 years; each file is written atomically (temporary +
// fsync + rename), the key with mode 0600; an existing pair is reused.
// Thread-safe (the two listeners of a server may ask at the same time).
// Throws ETlsError "Cannot create the server certificate: <reason>".
CertificateFiles FindServerCertificates(const std::filesystem::path& programFolder,
                                        const std::filesystem::path& fallbackFolder);

// The client side's optional files from the program folder: cacert.pem as
// trusted roots (used only when verifying), cert.pem + key.pem as client
// certificate; each field left empty when its file is absent.
CertificateFiles FindClientCertificates(const std::filesystem::path& programFolder);

} // namespace bm
