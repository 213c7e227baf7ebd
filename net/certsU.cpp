// Finding the certificate files, and making the self-signed one the local
// servers fall back to.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "net/tlsU.h"

namespace bm {

namespace fs = std::filesystem;

namespace {

constexpr long kValidDays = 3650;

[[noreturn]] void CreateFailed(const std::string& why)
{
    ERR_clear_error();
    throw ETlsError("Cannot create the server certificate: " + why);
}

bool IsFile(const fs::path& p)
{
    std::error_code ec;
    return fs::is_regular_file(p, ec);
}

// Writes bytes to file through a temporary in the same folder, flushed to
// disk before the rename, so a reader sees the old file or the whole new one.
void WriteAtomically(const fs::path& file, const std::string& bytes, mode_t mode)
{
    std::string tmpl = (file.parent_path() / (file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(tmpl.data());  // created with mode 0600
    if (fd < 0)
        CreateFailed(file.string() + ": " + std::strerror(errno));
    bool ok = ::fchmod(fd, mode) == 0;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmpl.c_str(), file.c_str()) != 0) {
        const int e = errno;
        ::unlink(tmpl.c_str());
        CreateFailed(file.string() + ": " + std::strerror(e));
    }
    const int dir = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(len));
}

void AddExtension(X509* cert, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext || X509_add_ext(cert, ext, -1) != 1) {
        X509_EXTENSION_free(ext);
        CreateFailed("extension " + std::string(value));
    }
    X509_EXTENSION_free(ext);
}

void SetRandomSerial(X509* cert)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        CreateFailed("no random serial number");
    bytes[0] &= 0x7f;  // positive (RFC 5280 §4.1.2.2)
    BIGNUM* bn = BN_bin2bn(bytes, sizeof bytes, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
}

X509* MakeSelfSigned(EVP_PKEY* key)
{
    X509* cert = X509_new();
    X509_set_version(cert, 2);  // v3
    SetRandomSerial(cert);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);  // tolerate a slightly wrong clock
    X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * kValidDays);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    AddExtension(cert, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, NID_key_usage, "critical,digitalSignature");
    AddExtension(cert, NID_ext_key_usage, "serverAuth");
    AddExtension(cert, NID_subject_key_identifier, "hash");
    // Mail clients check the name they connect to: "localhost" or the address.
    AddExtension(cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    if (X509_sign(cert, key, EVP_sha256()) == 0) {
        X509_free(cert);
        CreateFailed("signing failed");
    }
    return cert;
}

void CreateSelfSigned(const CertificateFiles& files)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key)
        CreateFailed("no key");
    X509* cert = MakeSelfSigned(key);
    BIO* keyBio = BIO_new(BIO_s_mem());
    BIO* certBio = BIO_new(BIO_s_mem());
    const bool ok = PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
                    PEM_write_bio_X509(certBio, cert) == 1;
    const std::string keyPem = BioText(keyBio);
    const std::string certPem = BioText(certBio);
    BIO_free(keyBio);
    BIO_free(certBio);
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok)
        CreateFailed("encoding failed");
    // Key first: a pair is only taken when the certificate matches it.
    WriteAtomically(files.key, keyPem, 0600);
    WriteAtomically(files.cert, certPem, 0644);
}

// True when both files load and the key belongs to the certificate.
bool IsUsablePair(const CertificateFiles& files)
{
    if (!IsFile(files.cert) || !IsFile(files.key))
        return false;
    BIO* certBio = BIO_new_file(files.cert.c_str(), "r");
    BIO* keyBio = BIO_new_file(files.key.c_str(), "r");
    X509* cert = certBio ? PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr) : nullptr;
    EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
    const bool ok = cert && key && X509_check_private_key(cert, key) == 1;
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(keyBio);
    BIO_free(certBio);
    ERR_clear_error();
    return ok;
}

CertificateFiles FilesIn(const fs::path& folder)
{
    return {folder / kCertFileName, folder / kKeyFileName, folder / kCaCertFileName};
}

} // namespace

CertificateFiles FindServerCertificates(const fs::path& programFolder, const fs::path& fallbackFolder)
{
    CertificateFiles own = FilesIn(programFolder);
    if (IsFile(own.cert) && IsFile(own.key)) {
        if (!IsFile(own.ca))
            own.ca.clear();
        return own;
    }
    static std::mutex creating;
    std::lock_guard lock(creating);
    CertificateFiles made = FilesIn(fallbackFolder);
    made.ca.clear();
    if (IsUsablePair(made))
        return made;
    std::error_code ec;
    fs::create_directories(fallbackFolder, ec);
    if (ec)
        CreateFailed(fallbackFolder.string() + ": " + ec.message());
    CreateSelfSigned(made);
    return made;
}

CertificateFiles FindClientCertificates(const fs::path& programFolder)
{
    CertificateFiles files = FilesIn(programFolder);
    if (!IsFile(files.cert) || !IsFile(files.key)) {
        files.cert.clear();
        files.key.clear();
    }
    if (!IsFile(files.ca))
        files.ca.clear();
    return files;
}

} // namespace bm
