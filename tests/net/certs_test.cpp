// The certificate files of the local servers: found, or made once and reused.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "net/tlsU.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

mode_t FileMode(const fs::path& p)
{
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(CertsTest, MadeOnceInTheFallbackFolderAndReused)
{
    TempDir program;
    TempDir data;
    const fs::path folder = data.path() / "Veldhaven" / "Brixmoor 2.0";  // not there yet
    const CertificateFiles first = FindServerCertificates(program.path(), folder);
    EXPECT_EQ(first.cert, folder / "cert.pem");
    EXPECT_EQ(first.key, folder / "key.pem");
    EXPECT_TRUE(first.ca.empty());
    EXPECT_EQ(FileMode(first.key), 0600u);
    const std::string cert = ReadFileBytes(first.cert);
    const std::string key = ReadFileBytes(first.key);
    ASSERT_NE(cert.find("-----BEGIN CERTIFICATE-----"), std::string::npos);
    ASSERT_NE(key.find("PRIVATE KEY-----"), std::string::npos);

    const CertificateFiles second = FindServerCertificates(program.path(), folder);
    EXPECT_EQ(second.cert, first.cert);
    EXPECT_EQ(ReadFileBytes(second.cert), cert);
    EXPECT_EQ(ReadFileBytes(second.key), key);
    for (const auto& entry : fs::directory_iterator(folder))  // no temporaries left
        EXPECT_TRUE(entry.path().filename() == "cert.pem" || entry.path().filename() == "key.pem")
            << entry.path();
    EXPECT_NO_THROW(TlsContext::Server(second));
}

TEST(CertsTest, ProgramFolderFilesComeFirstWithTheirChain)
{
    TempDir program;
    TempDir data;
    TempDir made;
    const CertificateFiles generated = FindServerCertificates(program.path(), made.path());
    WriteFileBytes(program.path() / "cert.pem", ReadFileBytes(generated.cert));
    WriteFileBytes(program.path() / "key.pem", ReadFileBytes(generated.key));
    WriteFileBytes(program.path() / "cacert.pem", ReadFileBytes(generated.cert));

    const CertificateFiles found = FindServerCertificates(program.path(), data.path());
    EXPECT_EQ(found.cert, program.path() / "cert.pem");
    EXPECT_EQ(found.key, program.path() / "key.pem");
    EXPECT_EQ(found.ca, program.path() / "cacert.pem");
    EXPECT_FALSE(fs::exists(data.path() / "cert.pem"));
    EXPECT_NO_THROW(TlsContext::Server(found));
}

TEST(CertsTest, ABrokenFallbackPairIsMadeAgain)
{
    TempDir program;
    TempDir data;
    const CertificateFiles first = FindServerCertificates(program.path(), data.path());
    WriteFileBytes(first.cert, "not a certificate");
    const CertificateFiles again = FindServerCertificates(program.path(), data.path());
    EXPECT_NE(ReadFileBytes(again.cert), "not a certificate");
    EXPECT_NO_THROW(TlsContext::Server(again));
}

TEST(CertsTest, ServerContextNamesAMissingFile)
{
    TempDir dir;
    CertificateFiles files{dir.path() / "cert.pem", dir.path() / "key.pem", {}};
    try {
        TlsContext::Server(files);
        ADD_FAILURE() << "loaded";
    } catch (const ETlsError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot load certificate " + files.cert.string() + ": ", 0), 0u)
            << e.what();
    }
}

TEST(CertsTest, ClientFilesAreTakenOnlyWhenPresent)
{
    TempDir program;
    EXPECT_TRUE(FindClientCertificates(program.path()).cert.empty());
    WriteFileBytes(program.path() / "cacert.pem", "x");
    const CertificateFiles files = FindClientCertificates(program.path());
    EXPECT_EQ(files.ca, program.path() / "cacert.pem");
    EXPECT_TRUE(files.cert.empty());
    EXPECT_TRUE(files.key.empty());
}

} // namespace
} // namespace bm
