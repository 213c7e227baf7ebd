#pragma once
// The test peers' certificate (tests/support: self-signed, CN localhost) made
// trusted the way a user does it: a folder holding it as "cacert.pem", given
// to the mail check and the sender as their certificate folder.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

namespace bm::test {

inline const std::filesystem::path& TrustedPeerFolder()
{
    static TempDir dir;
    static const std::filesystem::path folder = [] {
        std::filesystem::copy_file(GetTestCertificate().certFile, dir.path() / "cacert.pem",
                                   std::filesystem::copy_options::overwrite_existing);
        return dir.path();
    }();
    return folder;
}

// The SHA-256 fingerprint of a PEM certificate as the openssl tool prints it
// ("AB:CD:..."), for checking what the program reports.
inline std::string OpenSslFingerprint(const std::filesystem::path& cert)
{
    TempDir dir;
    const auto out = dir.path() / "fingerprint.txt";
    if (!RunCommand({"/usr/bin/openssl", "x509", "-in", cert.string(), "-noout", "-fingerprint", "-sha256"}, out))
        throw std::runtime_error("openssl could not read " + cert.string());
    std::string text = ReadLog(out);
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos)
        throw std::runtime_error("unexpected openssl output: " + text);
    text = text.substr(eq + 1);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace bm::test
