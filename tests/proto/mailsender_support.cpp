#include "tests/proto/mailsender_support.h"

#include "tests/proto/tls_trust.h"

#include <chrono>

namespace bm::test {

namespace {

constexpr int kServerWaitMs = 20000;  // a stuck client ends the server thread

} // namespace

TMailSenderSettings FastSettings(int readTimeoutMs)
{
    TMailSenderSettings s;
    s.readTimeoutMs = readTimeoutMs;
    s.dataEndTimeoutMs = readTimeoutMs;
    s.connectTimeoutMs = 10000;
    s.writeTimeoutMs = 10000;
    s.heloName = "client.test";
    // The peers' certificate is trusted as a user trusts a private CA.
    s.certificateFolder = TrustedPeerFolder();
    return s;
}

SenderWorld::SenderWorld(std::uint16_t port, std::uint8_t ssl, TMailSenderSettings settings)
{
    options.SetWhitelistRecipients(true);
    auto acct = std::make_shared<TAccount>(options);
    acct->SetName("Work");
    acct->Outgoing().SetServer("127.0.0.1");
    acct->Outgoing().SetPort(port);
    acct->Outgoing().SetSSL(ssl);
    acct->Outgoing().SetUseAccountUser(false);
    acct->Outgoing().SetUserName("smtpuser");
    acct->Outgoing().SetPassword("smtppass");
    account = accounts.Add(acct);
    sender = std::make_unique<TMailSender>(options, accounts, friends, std::move(settings));
    sender->OnReportError = [this](const std::string& message, const std::string& acctName) {
        errors.push_back(acctName + ": " + message);
    };
    sender->OnAddressWhitelisted = [this](const std::string& address) { whitelisted.push_back(address); };
}

TMailMessage SimpleMessage(const std::string& to, const std::vector<std::string>& body)
{
    TMailMessage m;
    m.GetFrom().SetText("Me <me@example.org>");
    m.Recipients.SetFromText(to);
    m.Subject = "Test";
    m.Body = body;
    // Fixed, so that every writing of the message gives the same text.
    m.Date = 46000.5;
    m.Headers.Lines.push_back({"Message-ID", "<fixed.1@example.org>"});
    return m;
}

ScriptedSmtpServer::ScriptedSmtpServer(std::vector<ScriptStep> script, bool byteAtATime)
    : script_(std::move(script)), byteAtATime_(byteAtATime), thread_([this] { Run(); })
{
}

ScriptedSmtpServer::~ScriptedSmtpServer()
{
    listener_.Stop();
    {
        std::lock_guard lock(mutex_);
        if (current_)
            current_->Abort();
    }
    if (thread_.joinable())
        thread_.join();
}

std::vector<std::string> ScriptedSmtpServer::Finish()
{
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    return lines_;
}

void ScriptedSmtpServer::WaitForConnection()
{
    std::unique_lock lock(mutex_);
    accepted_.wait(lock, [this] { return connections_ > 0; });
}

std::vector<std::string> ScriptedSmtpServer::Mismatches()
{
    std::lock_guard lock(mutex_);
    return mismatches_;
}

void ScriptedSmtpServer::Send(TcpConnection& connection, const std::string& bytes)
{
    if (!byteAtATime_) {
        connection.Write(bytes, kServerWaitMs);
        return;
    }
    for (char c : bytes)
        connection.Write(std::string_view(&c, 1), kServerWaitMs);
}

void ScriptedSmtpServer::Run()
{
    std::unique_ptr<TcpConnection> connection;
    std::size_t step = 0;
    try {
        while (Play(connection, step)) {
        }
    } catch (const std::exception&) {
        // The client went away or the test aborted us.
    }
    std::lock_guard lock(mutex_);
    current_ = nullptr;
}

// One turn of the dialogue; false when the server is done.
bool ScriptedSmtpServer::Play(std::unique_ptr<TcpConnection>& connection, std::size_t& step)
{
    if (step < script_.size() && script_[step].expect == "<connect>") {
        {
            std::lock_guard lock(mutex_);
            current_ = nullptr;
        }
        connection = listener_.Accept(kServerWaitMs);
        if (!connection)
            return false;
        {
            std::lock_guard lock(mutex_);
            current_ = connection.get();
            ++connections_;
        }
        accepted_.notify_all();
        Send(*connection, script_[step++].reply);
        return true;
    }
    if (!connection)
        return false;
    std::string line;
    if (connection->ReadLine(line, 1 << 20, kServerWaitMs) != ReadStatus::Line) {
        // Closed: go on only when the script waits for another connection.
        return step < script_.size() && script_[step].expect == "<connect>";
    }
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    if (step >= script_.size()) {
        Send(*connection, line == "QUIT" ? "221 bye\r\n" : "500 unexpected\r\n");
        return true;
    }
    // Inside DATA every line up to "." is message text, not a command.
    const bool inData = step > 0 && script_[step].expect == "." && line != ".";
    if (inData)
        return true;
    const ScriptStep& s = script_[step++];
    if (!line.starts_with(s.expect)) {
        std::lock_guard lock(mutex_);
        mismatches_.push_back("expected " + s.expect + ", got " + line);
    }
    if (!s.reply.empty())
        Send(*connection, s.reply);
    return true;
}

} // namespace bm::test
