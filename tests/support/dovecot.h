#pragma once
// A private Dovecot POP3 server on 127.0.0.1 for the protocol tests.

#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace bm::test {

// Starts /usr/sbin/dovecot -F with a configuration of its own in a temporary
// folder (base_dir, state_dir, logs, Maildirs): POP3 only, on two free loopback
// ports, Pop3Port() (plain, STLS offered) and Pop3sPort() (TLS from the first
// byte), both with the GetTestCertificate() certificate. Users come from
// passwd-files with {PLAIN} passwords, so USER/PASS, SASL PLAIN, LOGIN
// and CRAM-MD5 all work, with or without TLS; a failed login is answered at
// once (no auth_failure_delay). UIDLs are "%08Xu%08Xv".
// Mail is owned by the unprivileged system user "brixmoor-test" (created with
// useradd when missing), as Dovecot refuses to serve mail as root.
// Needs root. The constructor returns once the server answers "+OK" and throws
// std::runtime_error (quoting Dovecot's log) when it does not within `startTimeout`
// (ports taken meanwhile by another program are retried with others).
// The destructor stops the server and removes the folder. Test thread only.
class DovecotServer {
public:
    explicit DovecotServer(std::chrono::milliseconds startTimeout = std::chrono::seconds(20));
    ~DovecotServer();
    DovecotServer(const DovecotServer&) = delete;
    DovecotServer& operator=(const DovecotServer&) = delete;

    std::uint16_t Pop3Port() const { return pop3Port_; }
    std::uint16_t Pop3sPort() const { return pop3sPort_; }
    // The certificate the server presents (trust it as the CA).
    const std::filesystem::path& CertFile() const;

    // Adds a mailbox user (a name Dovecot accepts as a login name: letters,
    // digits and "-_.@"). Takes effect at once, also right after other logins:
    // each user has a passwd-file of its own, which Dovecot reads at the
    // first lookup of that name. Adding a user again with another password
    // may take up to a second to be seen (Dovecot checks a file it has read
    // at most once a second).
    // Note: Dovecot delays logins from an address that recently failed one
    // (its auth penalty, up to 15 s), so tests keep refused logins rare.
    void AddUser(const std::string& name, const std::string& password);
    // Puts one message (raw bytes, CR LF line ends expected) into the user's
    // Maildir new/ folder, owned by the mail user. Messages are numbered by
    // POP3 in delivery order (for deliveries made outside a session).
    // Returns the file's base name.
    std::string Deliver(const std::string& user, const std::string& message);
    // Contents of the messages still in the user's Maildir, in delivery order.
    std::vector<std::string> ListMessages(const std::string& user) const;

    // Stops the server (also done by the destructor).
    void Stop();
    // Dovecot's own log so far, for failure messages.
    std::string Log() const;

private:
    std::filesystem::path Maildir(const std::string& user) const;
    void WriteConfig() const;
    // True once the server answers, false when it ended or `timeout` passed.
    bool WaitUntilReady(std::chrono::milliseconds timeout);

    TempDir dir_;
    std::uint16_t pop3Port_ = 0;
    std::uint16_t pop3sPort_ = 0;
    unsigned uid_ = 0;
    unsigned gid_ = 0;
    std::unique_ptr<PeerProcess> process_;
};

} // namespace bm::test
