// TLS contexts and sessions over OpenSSL 3. The only place, with certsU.cpp,
// that sees OpenSSL's types.

#include "net/tlsU.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <optional>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/pollwaitU.h"
#include "net/tlssessionU.h"

namespace bm {

using namespace netdetail;

struct TlsContext::Impl {
    SSL_CTX* ctx = nullptr;
    std::string pin;  // normalized; empty: none
    ~Impl() { SSL_CTX_free(ctx); }
};

// The first verification failure of a handshake, kept for the report.
struct CertificateFailure {
    std::string reason;
    std::string subject;
    std::string issuer;
    std::string fingerprint;
};

struct TlsSession::Impl {
    SSL* ssl = nullptr;
    int fd = -1;
    int abortFd = -1;
    std::string pin;
    std::optional<CertificateFailure> refused;
    ~Impl() { SSL_free(ssl); }
};

namespace {

// Bytes handed to one SSL_read / SSL_write (their length is an int).
constexpr std::size_t kMaxTlsIo = 1 << 20;

// The reasons OpenSSL queued for the last failure, joined by "; ".
std::string OpenSslReason()
{
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty())
            text += "; ";
        text += buf;
    }
    return text.empty() ? "unknown TLS error" : text;
}

// OpenSSL writes to sockets with write(2), so a peer that has gone away
// would raise SIGPIPE and end the whole program; a mail filter must never
// die of a dropped connection. Done once, at the first TLS context.
void IgnoreSigPipe()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

SSL_CTX* NewContext(const SSL_METHOD* method)
{
    IgnoreSigPipe();
    SSL_CTX* ctx = SSL_CTX_new(method);
    if (!ctx)
        throw ETlsError("Cannot create a TLS context: " + OpenSslReason());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A peer that drops the TCP connection without close_notify is taken as
    // an orderly close; mail servers commonly do so after QUIT.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

void LoadCertAndKey(SSL_CTX* ctx, const CertificateFiles& files)
{
    if (SSL_CTX_use_certificate_file(ctx, files.cert.c_str(), SSL_FILETYPE_PEM) != 1)
        throw ETlsError("Cannot load certificate " + files.cert.string() + ": " + OpenSslReason());
    if (SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1)
        throw ETlsError("Cannot load private key " + files.key.string() + ": " + OpenSslReason());
    if (SSL_CTX_check_private_key(ctx) != 1)
        throw ETlsError("Private key " + files.key.string() + " does not match " + files.cert.string());
}

// Sends every certificate of a PEM file after the server's own.
void LoadChain(SSL_CTX* ctx, const std::filesystem::path& file)
{
    BIO* bio = BIO_new_file(file.c_str(), "r");
    if (!bio)
        throw ETlsError("Cannot read certificate chain " + file.string() + ": " + OpenSslReason());
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        SSL_CTX_add1_chain_cert(ctx, cert);
        X509_free(cert);
    }
    BIO_free(bio);
    ERR_clear_error();  // the end of the file is queued as an error
}

bool IsIpLiteral(const std::string& host)
{
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string NameText(const X509_NAME* name)
{
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio)
        return {};
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(std::max(n, 0L)));
    BIO_free(bio);
    return text;
}

std::string FingerprintOf(const X509* cert)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &size) != 1)
        return {};
    static const char* const kHex = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        if (i)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

// Called by OpenSSL for every step of the chain check and for the name check
// (RFC 6125 via SSL_set1_host). A failure is taken back only for the
// certificate the user pinned; otherwise the first one is kept for the report
// and ends the handshake.
int VerifyCallback(int ok, X509_STORE_CTX* store)
{
    if (ok)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* session = ssl ? static_cast<TlsSession::Impl*>(SSL_get_app_data(ssl)) : nullptr;
    const X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (!session || !leaf)
        return 0;
    const std::string fingerprint = FingerprintOf(leaf);
    if (!session->pin.empty() && fingerprint == session->pin)
        return 1;
    if (!session->refused)
        session->refused = CertificateFailure{X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)),
                                              NameText(X509_get_subject_name(leaf)),
                                              NameText(X509_get_issuer_name(leaf)), fingerprint};
    return 0;
}

// Waits for what SSL_get_error asked for. Returns 1 to retry, else a raw result.
long WaitForSsl(const TlsSession::Impl& s, int sslError, int timeoutMs, std::string& error)
{
    switch (WaitFd(s.fd, sslError == SSL_ERROR_WANT_WRITE, s.abortFd, timeoutMs, error)) {
    case Wait::Ready: return 1;
    case Wait::Timeout: return kIoTimeout;
    case Wait::Aborted: error = kConnectionAborted; return kIoError;
    case Wait::Error: return kIoError;
    }
    return kIoError;
}

// Turns a failed SSL call into a raw result: 1 = retry after waiting.
long SslFailure(const TlsSession::Impl& s, int ret, int timeoutMs, std::string& error)
{
    const int e = SSL_get_error(s.ssl, ret);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return WaitForSsl(s, e, timeoutMs, error);
    if (e == SSL_ERROR_ZERO_RETURN)
        return 0;
    if (e == SSL_ERROR_SYSCALL) {
        const int saved = errno;
        if (saved == 0 && ERR_peek_error() == 0)
            return 0;  // plain EOF
        error = saved != 0 ? ErrnoText("Socket error", saved) : "TLS error: " + OpenSslReason();
        return kIoError;
    }
    error = "TLS error: " + OpenSslReason();
    return kIoError;
}

std::string HandshakeFailure(SSL* ssl, const std::string& reason)
{
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK)
        return "TLS handshake failed: certificate verification: " +
               std::string(X509_verify_cert_error_string(verify));
    return "TLS handshake failed: " + reason;
}

} // namespace

ECertificateError::ECertificateError(std::string reason, std::string subject, std::string issuer,
                                     std::string fingerprint)
    : ETlsError("The server's certificate is not trusted (" + reason + "). Subject: " + subject +
                "; issuer: " + issuer + "; SHA-256 fingerprint: " + fingerprint + "."),
      reason_(std::move(reason)), subject_(std::move(subject)), issuer_(std::move(issuer)),
      fingerprint_(std::move(fingerprint))
{
}

std::string NormalizeFingerprint(const std::string& text)
{
    std::string hex;
    for (const char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64)
        return {};
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i)
            out += ':';
        out += hex.substr(i, 2);
    }
    return out;
}

// --- contexts ---

TlsContext::TlsContext(std::unique_ptr<Impl> impl, bool server, bool verify)
    : impl_(std::move(impl)), server_(server), verify_(verify)
{
}

TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::Client(const TlsClientSettings& settings)
{
    auto impl = std::make_unique<Impl>();
    impl->ctx = NewContext(TLS_client_method());
    const CertificateFiles& f = settings.files;
    if (!f.cert.empty() && !f.key.empty())
        LoadCertAndKey(impl->ctx, f);
    if (settings.verifyPeer) {
        // The system's roots always; a missing default file or folder is not
        // an error for OpenSSL, so this fails only for lack of memory.
        if (SSL_CTX_set_default_verify_paths(impl->ctx) != 1)
            throw ETlsError("Cannot load the system's trusted certificates: " + OpenSslReason());
        if (!f.ca.empty() && SSL_CTX_load_verify_locations(impl->ctx, f.ca.c_str(), nullptr) != 1)
            throw ETlsError("Cannot load trusted certificates " + f.ca.string() + ": " + OpenSslReason());
        SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_PEER, VerifyCallback);
        if (!settings.pinnedFingerprint.empty()) {
            impl->pin = NormalizeFingerprint(settings.pinnedFingerprint);
            if (impl->pin.empty())
                throw ETlsError("Invalid certificate fingerprint: " + settings.pinnedFingerprint);
        }
    } else {
        SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_NONE, nullptr);
    }
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(impl), false, settings.verifyPeer));
}

std::shared_ptr<TlsContext> TlsContext::Server(const CertificateFiles& files)
{
    auto impl = std::make_unique<Impl>();
    impl->ctx = NewContext(TLS_server_method());
    LoadCertAndKey(impl->ctx, files);
    std::error_code ec;
    if (!files.ca.empty() && std::filesystem::exists(files.ca, ec))
        LoadChain(impl->ctx, files.ca);
    SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_NONE, nullptr);
    return std::shared_ptr<TlsContext>(new TlsContext(std::move(impl), true, false));
}

// --- sessions ---

TlsSession::TlsSession(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Handshake(const TlsContext& context, int fd, int abortFd,
                                                  const std::string& serverName, int timeoutMs)
{
    auto impl = std::make_unique<Impl>();
    impl->fd = fd;
    impl->abortFd = abortFd;
    impl->ssl = SSL_new(context.impl().ctx);
    if (!impl->ssl || SSL_set_fd(impl->ssl, fd) != 1)
        throw ETlsError("Cannot create a TLS session: " + OpenSslReason());
    if (context.IsServer()) {
        SSL_set_accept_state(impl->ssl);
    } else {
        SSL_set_connect_state(impl->ssl);
        if (!serverName.empty() && !IsIpLiteral(serverName))
            SSL_set_tlsext_host_name(impl->ssl, serverName.c_str());
        if (context.VerifiesPeer()) {
            // Without a name only the chain could be checked, which any
            // certificate of the same roots passes.
            if (serverName.empty())
                throw ETlsError("TLS handshake failed: no server name to verify the certificate against");
            impl->pin = context.impl().pin;
            SSL_set_app_data(impl->ssl, impl.get());
            // RFC 6125 §6.4.3: a wildcard only as the whole left-most label.
            SSL_set_hostflags(impl->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            // OpenSSL 3 takes an IP literal given here as an address to match
            // against the iPAddress entries.
            if (SSL_set1_host(impl->ssl, serverName.c_str()) != 1)
                throw ETlsError("Cannot set the name to verify: " + OpenSslReason());
        }
    }
    for (;;) {
        ERR_clear_error();
        const int ret = SSL_do_handshake(impl->ssl);
        if (ret == 1)
            break;
        std::string error;
        const long r = SslFailure(*impl, ret, timeoutMs, error);
        if (r == 1)
            continue;
        if (r == kIoTimeout)
            throw ESocketTimeout("TLS handshake timed out.");
        if (error == kConnectionAborted)
            throw ESocketError(kConnectionAborted);
        if (impl->refused) {
            const CertificateFailure& f = *impl->refused;
            throw ECertificateError(f.reason, f.subject, f.issuer, f.fingerprint);
        }
        throw ETlsError(HandshakeFailure(impl->ssl, r == 0 ? "the peer closed the connection" : error));
    }
    return std::unique_ptr<TlsSession>(new TlsSession(std::move(impl)));
}

long TlsSession::Read(char* data, std::size_t size, int timeoutMs, std::string& error)
{
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int ret = SSL_read(impl_->ssl, data, static_cast<int>(std::min(size, kMaxTlsIo)));
        if (ret > 0)
            return ret;
        const long r = SslFailure(*impl_, ret, timeoutMs, error);
        if (r != 1)
            return r;
    }
}

long TlsSession::Write(const char* data, std::size_t size, int timeoutMs, std::string& error)
{
    for (;;) {
        ERR_clear_error();
        errno = 0;
        const int ret = SSL_write(impl_->ssl, data, static_cast<int>(std::min(size, kMaxTlsIo)));
        if (ret > 0)
            return ret;
        const long r = SslFailure(*impl_, ret, timeoutMs, error);
        if (r == 0) {
            error = kConnectionClosedGracefully;
            return kIoError;
        }
        if (r != 1)
            return r;
    }
}

void TlsSession::Shutdown()
{
    ERR_clear_error();
    SSL_shutdown(impl_->ssl);
    ERR_clear_error();
}

} // namespace bm
