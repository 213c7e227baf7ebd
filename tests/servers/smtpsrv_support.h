#pragma once
// Shared pieces of the local SMTP server tests: options, accounts and a
// Friends list of the test's own whose accounts relay into real aiosmtpd
// sinks, an SMTP line client for raw sessions, and running the real clients
// (swaks, curl) off the main thread while the main thread serves the event
// loop (the relay hands events to it; see RunAside in srv_support.h).

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "servers/smtpsrvmdl.h"
#include "tests/servers/srv_support.h"
#include "tests/support/smtpsink.h"
#include "tests/support/testenv.h"

namespace bm::test {

inline constexpr int kSmtpLongMs = 20000;

struct ClientRun {
    int exitCode = -1;
    std::string output;  // stdout and stderr
};

inline std::string ShellQuote(const std::string& arg)
{
    std::string quoted = "'";
    for (const char ch : arg)
        quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return quoted + "'";
}

// Runs a real client to its end on a worker thread (see RunAside).
inline ClientRun RunClient(const std::vector<std::string>& argv)
{
    std::string command;
    for (const auto& arg : argv)
        command += ShellQuote(arg) + " ";
    command += "2>&1 </dev/null";
    ClientRun run;
    RunAside([&] {
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe)
            return;
        char buffer[4096];
        std::size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            run.output.append(buffer, got);
        const int status = ::pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    });
    return run;
}

struct ReportedError {
    std::string message;
    std::string account;
};

// Options, accounts and a Friends list of the test's own, and server
// settings over them that collect reported errors.
class SmtpEnv {
public:
    SmtpEnv() : accounts_(options_)
    {
        settings_.options = &options_;
        settings_.accounts = &accounts_;
        settings_.friends = &friends_;
        settings_.certFolders = {program_.path(), data_.path()};
        settings_.timeouts = {kSmtpLongMs, kSmtpLongMs, kSmtpLongMs};
        settings_.serverHostName = "brixhost";
        settings_.reportError = [this](const std::string& message, const std::string& account) {
            std::lock_guard lock(mutex_);
            errors_.push_back({message, account});
        };
    }

    // An account relaying through 127.0.0.1:port with the given addresses.
    TAccountPtr AddAccount(const std::string& name, const std::vector<std::string>& addresses, uint16_t port,
                           uint8_t ssl = 0)
    {
        auto account = std::make_shared<TAccount>(options_);
        account->SetName(name);
        account->Outgoing().SetServer("127.0.0.1");
        account->Outgoing().SetPort(port);
        account->Outgoing().SetSSL(ssl);
        account->Outgoing().SetEMailAddresses(addresses);
        accounts_.Add(account);
        return account;
    }

    TSMTPServerSettings& Settings() { return settings_; }
    TOptions& Options() { return options_; }
    TAccountList& Accounts() { return accounts_; }
    TWhiteList& Friends() { return friends_; }
    const std::filesystem::path& Folder() const { return data_.path(); }
    std::vector<ReportedError> Errors() const
    {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    TempDir data_;
    TempDir program_;  // holds no certificate: the self-signed one is made in data_
    TOptions options_;
    TAccountList accounts_;
    TWhiteList friends_;
    TSMTPServerSettings settings_;
    mutable std::mutex mutex_;
    std::vector<ReportedError> errors_;
};

// An SMTP client over the product's own socket layer, for raw sessions.
class SmtpClient : public LineClient {
public:
    explicit SmtpClient(uint16_t port, bool implicitTls = false) : LineClient(port, implicitTls, kSmtpLongMs) {}
    // A whole reply, its lines joined by "\n".
    std::string Reply()
    {
        std::string text;
        for (;;) {
            const std::string line = Line();
            text += line;
            if (line.size() < 4 || line[3] != '-')
                return text;
            text += "\n";
        }
    }
    // Sends a command and gives its whole reply.
    std::string Cmd(const std::string& command)
    {
        SendLine(command);
        return Reply();
    }
};

// A small message in RFC 5322 form with CR LF lines.
inline std::string SimpleMessage(const std::string& from, const std::string& to, const std::string& subject,
                                 const std::string& extraHeaders = {})
{
    return "From: " + from + "\r\nTo: " + to + "\r\n" + extraHeaders + "Subject: " + subject +
           "\r\n\r\nHello.\r\n.dot line\r\nBye.\r\n";
}

// The text in the DATA form a raw client sends: each line beginning with
// "." gets one more (RFC 5321 §4.5.2), then the final "." line.
inline std::string DataBlock(const std::string& text)
{
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto lf = text.find('\n', pos);
        const std::size_t end = lf == std::string::npos ? text.size() : lf + 1;
        if (text[pos] == '.')
            out += '.';
        out.append(text, pos, end - pos);
        pos = end;
    }
    return out + ".\r\n";
}

// The sink's copy without the Received line our server put in front.
inline std::string WithoutReceived(const std::string& data)
{
    if (!data.starts_with("Received: from "))
        return "<no Received line>" + data;
    return data.substr(data.find("\r\n") + 2);
}

} // namespace bm::test
