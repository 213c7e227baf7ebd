#pragma once
// Shared pieces of the local POP3 server tests: a data folder with accounts
// of the test's own, message files in the stored form and a POP3 line
// client (srv_support.h has RunAside, which lets OnMessageDeleted hand-overs
// reach the main thread).

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/acctU.h"
#include "config/optionsU.h"
#include "servers/pop3srvmdl.h"
#include "tests/servers/srv_support.h"
#include "tests/support/testenv.h"

namespace bm::test {

inline constexpr int kPop3LongMs = 20000;

struct TestAccount {
    std::string name;
    std::string user;
    std::string server;
    std::string password;
};

// The accounts most tests log in to.
inline const std::vector<TestAccount>& DefaultTestAccounts()
{
    static const std::vector<TestAccount> accounts{
        {"Home", "joe", "pop.example.com", "secret"},
        {"Work", "joe@work", "mail.example.org", "pw two"},
        {"Solo", "", "solo.example", "p"},
        {"HomeCopy", "joe", "pop.example.com", "secret"},
    };
    return accounts;
}

// A data folder (also XDG_DATA_HOME's stand-in) with its own options and
// accounts, and settings for a server over them.
class Pop3Env {
public:
    explicit Pop3Env(const std::vector<TestAccount>& accounts = DefaultTestAccounts()) : accounts_(options_)
    {
        for (const auto& a : accounts) {
            auto account = std::make_shared<TAccount>(options_);
            account->SetName(a.name);
            account->Incoming().SetUserName(a.user);
            account->Incoming().SetServer(a.server);
            account->Incoming().SetPassword(a.password);
            accounts_.Add(account);
        }
        settings_.accounts = &accounts_;
        settings_.dataFolder = data_.path();
        settings_.certFolders = {program_.path(), data_.path()};
        settings_.timeouts = {kPop3LongMs, kPop3LongMs, kPop3LongMs};
        // Failed logins are answered at once here; the growing delay has
        // tests of its own.
        settings_.loginFailureDelayMs = 0;
    }

    TPOP3ServerSettings& Settings() { return settings_; }
    TAccountList& Accounts() { return accounts_; }
    TOptions& Options() { return options_; }
    const std::filesystem::path& DataFolder() const { return data_.path(); }

    // D/account/id.msg holding the stored text.
    std::filesystem::path AddMessage(const std::string& account, const std::string& id, const std::string& stored)
    {
        const auto file = data_.path() / account / (id + ".msg");
        WriteFileBytes(file, stored);
        return file;
    }

private:
    TempDir data_;
    TempDir program_;  // holds no certificate: the self-signed one is made in data_
    TOptions options_;
    TAccountList accounts_;
    TPOP3ServerSettings settings_;
};

// A message in the stored form: header, empty line, body lines (dot-stuffed
// here), CR LF ends and the final "." line.
inline std::string StoredMessage(const std::string& subject, const std::vector<std::string>& body)
{
    std::string text = "From: ann@example.net\r\nTo: joe@example.com\r\nSubject: " + subject + "\r\n\r\n";
    for (const auto& line : body)
        text += (line.starts_with(".") ? "." : "") + line + "\r\n";
    return text + ".\r\n";
}

// A POP3 client over the product's own socket layer, for raw sessions.
class Pop3Client : public LineClient {
public:
    explicit Pop3Client(uint16_t port, bool implicitTls = false) : LineClient(port, implicitTls, kPop3LongMs) {}
    // Sends a command and gives the first reply line.
    std::string Cmd(const std::string& command)
    {
        SendLine(command);
        return Line();
    }
    // The lines of a multi-line body up to (without) the final "." line,
    // still dot-stuffed, joined by "\n".
    std::string Block()
    {
        std::string text;
        for (std::string line = Line(); line != "."; line = Line()) {
            if (line.starts_with("<"))
                return text + line;
            text += line + "\n";
        }
        return text;
    }
    // Greeting, USER and PASS; true when the login was accepted.
    bool Login(const std::string& name, const std::string& password)
    {
        EXPECT_EQ(Line(), "+OK Welcome to Brixmoor POP3 Server");
        EXPECT_EQ(Cmd("USER " + name), "+OK Password required");
        return Cmd("PASS " + password) == "+OK Login OK";
    }
};

} // namespace bm::test
