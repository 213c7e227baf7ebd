#pragma once
// Shared pieces of the mail sender tests: the objects a TMailSender is given,
// accounts pointing at a test server, and a scripted SMTP server on loopback
// for the replies a real server does not give on demand.

#include "proto/mailsenderdatamdl.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "core/mailmsgU.h"
#include "net/socketU.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bm::test {

// Short time-outs so failure paths end quickly; never used to wait for
// success. readTimeoutMs is also the wait for the reply after the data.
TMailSenderSettings FastSettings(int readTimeoutMs = 2000);

// Options, an account list with one account, a Friends list and an error
// collector, wired into a sender.
class SenderWorld {
public:
    explicit SenderWorld(std::uint16_t port, std::uint8_t ssl = 0,
                         TMailSenderSettings settings = FastSettings());

    TOptions options;
    TAccountList accounts{options};
    TWhiteList friends;
    TAccountPtr account;
    std::unique_ptr<TMailSender> sender;
    std::vector<std::string> errors;       // reported (not captured) errors
    std::vector<std::string> whitelisted;  // OnAddressWhitelisted addresses
};

// A message from "me@example.org" to `to` with the given body lines.
TMailMessage SimpleMessage(const std::string& to, const std::vector<std::string>& body = {"Hello."});

// One step of a scripted dialogue: the client line expected (its beginning;
// "<connect>" for a new connection, whose reply is the greeting) and the bytes
// sent back ("" sends nothing).
struct ScriptStep {
    std::string expect;
    std::string reply;
};

// A server on 127.0.0.1 that plays a script, one connection after another.
// DATA lines up to "." are collected, not matched; the "." line is matched
// by a step expecting ".". After the script it answers QUIT with 221 and
// anything else with 500 until the client closes. Records every line.
class ScriptedSmtpServer {
public:
    explicit ScriptedSmtpServer(std::vector<ScriptStep> script, bool byteAtATime = false);
    ~ScriptedSmtpServer();
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    std::uint16_t Port() const { return listener_.Port(); }
    // Returns once a client connection was accepted.
    void WaitForConnection();
    // Waits until the server thread ended (the script played and the client
    // closed), then gives the client lines received, DATA lines included.
    std::vector<std::string> Finish();
    // Lines that did not begin as the script expected (should be empty).
    std::vector<std::string> Mismatches();

private:
    void Run();
    bool Play(std::unique_ptr<TcpConnection>& connection, std::size_t& step);
    void Send(TcpConnection& connection, const std::string& bytes);

    std::vector<ScriptStep> script_;
    bool byteAtATime_;
    TcpListener listener_{0};
    std::mutex mutex_;
    std::condition_variable accepted_;
    int connections_ = 0;
    std::vector<std::string> lines_;
    std::vector<std::string> mismatches_;
    TcpConnection* current_ = nullptr;
    std::thread thread_;
};

} // namespace bm::test
