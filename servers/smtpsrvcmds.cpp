// One SMTP session (RFC 5321 with PIPELINING of RFC 2920,
// ENHANCEDSTATUSCODES of RFC 2034 and STARTTLS of RFC 3207): the command
// table and one handler per command.

#include <array>
#include <optional>
#include <string_view>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/loggerU.h"
#include "proto/smtpreplyU.h"
#include "servers/smtpsrvmdl.h"
#include "servers/srvsessionU.h"

namespace bm {

namespace {

constexpr std::size_t kMaxQueuedReplies = 64 * 1024;
constexpr std::size_t kMaxRefusalText = 480;

std::string Trim(std::string_view text)
{
    const auto start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return {};
    const auto end = text.find_last_not_of(" \t");
    return std::string(text.substr(start, end - start + 1));
}

// The argument after a "FROM:" / "TO:" keyword (any letter case), or
// nullopt when the keyword is missing.
std::optional<std::string_view> AfterKeyword(std::string_view args, std::string_view keyword)
{
    const auto start = args.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return std::nullopt;
    args.remove_prefix(start);
    if (args.size() < keyword.size())
        return std::nullopt;
    for (std::size_t i = 0; i < keyword.size(); ++i) {
        char ch = args[i];
        if (ch >= 'a' && ch <= 'z')
            ch = static_cast<char>(ch - 'a' + 'A');
        if (ch != keyword[i])
            return std::nullopt;
    }
    return args.substr(keyword.size());
}

// "127.0.0.1:51234" / "[::1]:51234" without the port and brackets.
std::string HostOfPeer(const std::string& peer)
{
    if (peer.starts_with('[')) {
        const auto close = peer.find(']');
        return close == std::string::npos ? peer : peer.substr(1, close - 1);
    }
    return peer.substr(0, peer.rfind(':'));
}

// The client's host name by reverse lookup (the system resolver's own
// time-outs bound it), or its address when it has none.
std::string HostNameOf(const std::string& address)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* info = nullptr;
    if (::getaddrinfo(address.c_str(), nullptr, &hints, &info) != 0 || !info)
        return address;
    char host[NI_MAXHOST] = {};
    const int rc = ::getnameinfo(info->ai_addr, info->ai_addrlen, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    ::freeaddrinfo(info);
    return rc == 0 ? std::string(host) : address;
}

// The address the client reached. The socket layer names only the local
// port, so it is taken from what the listener bound: the one address of
// the client's family, the loopback address for a loopback client, or the
// any-address (0.0.0.0 or ::) when the listener takes every address.
std::string LocalAddressFor(const std::string& clientAddress, const std::vector<std::string>& listened)
{
    const bool v6 = clientAddress.find(':') != std::string::npos;
    std::string found;
    int sameFamily = 0;
    for (const auto& address : listened) {
        if (address != kAnyAddress && (address.find(':') != std::string::npos) == v6) {
            found = address;
            ++sameFamily;
        }
    }
    if (sameFamily == 1)
        return found;
    if (clientAddress.starts_with("127.") || clientAddress == "::1")
        return v6 ? "::1" : "127.0.0.1";
    return v6 ? "::" : "0.0.0.0";
}

} // namespace

class TSMTPSession {
public:
    TSMTPSession(TLocalSMTPServerMdl& server, TcpConnection& connection)
        : server_(server), settings_(server.Settings()), c_(connection)
    {
    }
    void Run();

private:
    using Handler = void (TSMTPSession::*)(const std::string& args);
    struct Command {
        std::string_view name;
        Handler handler;
    };
    static const std::array<Command, 11> kCommands;

    void Dispatch(const std::string& line);
    // Queues one reply line; the enhanced code (RFC 2034 §3) is given only
    // to a client that greeted with EHLO.
    void Reply(int code, std::string_view enhanced, std::string_view text);
    void ReplyLines(int code, const std::vector<std::string>& lines);
    // Sends the queued replies. RFC 2920 §3.2: replies to a group of
    // pipelined commands may go out together once the group is read.
    void Flush();
    void ResetTransaction();
    bool TransactionAllowed();
    void ReceiveData();
    void ReplyRefusal(const TSmtpReply& refusal);
    TReceivedInfo ReceivedInfo();

    void Helo(const std::string& args);
    void Ehlo(const std::string& args);
    void Mail(const std::string& args);
    void Rcpt(const std::string& args);
    void Data(const std::string& args);
    void Rset(const std::string& args);
    void Noop(const std::string& args);
    void Quit(const std::string& args);
    void Help(const std::string& args);
    void Vrfy(const std::string& args);
    void StartTls(const std::string& args);

    TLocalSMTPServerMdl& server_;
    const TSMTPServerSettings& settings_;
    TcpConnection& c_;
    std::string out_;  // replies not sent yet
    std::string helo_;
    bool esmtp_ = false;
    std::optional<std::string> mailFrom_;  // set by MAIL: a transaction is open
    std::vector<std::string> recipients_;  // accepted RCPT TO of this transaction
    std::string clientHost_;               // looked up at the first message
    bool quit_ = false;
};

// RFC 5321 §2.4: verbs are case-insensitive.
const std::array<TSMTPSession::Command, 11> TSMTPSession::kCommands{{
    {"HELO", &TSMTPSession::Helo},
    {"EHLO", &TSMTPSession::Ehlo},
    {"MAIL", &TSMTPSession::Mail},
    {"RCPT", &TSMTPSession::Rcpt},
    {"DATA", &TSMTPSession::Data},
    {"RSET", &TSMTPSession::Rset},
    {"NOOP", &TSMTPSession::Noop},
    {"QUIT", &TSMTPSession::Quit},
    {"HELP", &TSMTPSession::Help},
    {"VRFY", &TSMTPSession::Vrfy},
    {"STARTTLS", &TSMTPSession::StartTls},
}};

void TSMTPSession::Run()
{
    // RFC 5321 §3.1: a server that will not serve a client may answer 554
    // in place of the greeting. No EHLO has come yet, but the enhanced code
    // goes with it as Postfix sends it, so a client can show why.
    if (const std::string why = RefusedPeerReason(c_, settings_.peerPolicy); !why.empty()) {
        WriteTrace({"SMTP Refused", c_.PeerAddress(), why}, kTraceEvent);
        Reply(554, "", "5.7.1 Access denied: this server serves only its own user");
        Flush();
        return;
    }
    Reply(220, "", "Welcome to the Brixmoor SMTP Server");
    Flush();
    std::string line;
    while (!quit_) {
        switch (c_.ReadLine(line, settings_.maxLineLength, settings_.timeouts.idleMs)) {
        case ReadStatus::Line:
            Dispatch(line);
            break;
        case ReadStatus::TooLong:
            // The reader skips the rest of the line, so the next command is
            // read in step again (RFC 5321 §4.5.3.1.4 bounds command lines).
            Reply(500, "5.5.2", "Line too long");
            break;
        case ReadStatus::NeedMore:
            // RFC 5321 §4.5.3.2.7: a server may close an idle session; 421
            // tells the client why (§3.8).
            Reply(421, "4.4.2", "Idle timeout, closing connection");
            quit_ = true;
            break;
        case ReadStatus::Closed:
        case ReadStatus::Error:
            return;
        }
        // A client that pipelines without reading must not grow the queue
        // of replies without bound.
        if (quit_ || !c_.HasBufferedInput() || out_.size() >= kMaxQueuedReplies)
            Flush();
    }
}

void TSMTPSession::Dispatch(const std::string& line)
{
    // Named variables, not a structured binding: C++20 lets a lambda capture
    // a binding, but clang before 16 refuses it.
    const auto split = SplitCommand(line);
    const std::string& verb = split.first;
    const std::string& args = split.second;
    const Command* command = FindCommand(kCommands, verb);
    if (!command) {
        Reply(500, "5.5.2", "Syntax Error");
        return;
    }
    if (!RunCommand("SMTP Command", verb, [&] { (this->*command->handler)(args); }))
        Reply(500, "", "Unknown Internal Error");
}

void TSMTPSession::Reply(int code, std::string_view enhanced, std::string_view text)
{
    out_ += std::to_string(code);
    out_ += ' ';
    if (esmtp_ && !enhanced.empty()) {
        out_ += enhanced;
        out_ += ' ';
    }
    out_ += text;
    out_ += "\r\n";
}

void TSMTPSession::ReplyLines(int code, const std::vector<std::string>& lines)
{
    // RFC 5321 §4.2.1: every line but the last has a hyphen after the code.
    for (std::size_t i = 0; i < lines.size(); ++i)
        out_ += std::to_string(code) + (i + 1 < lines.size() ? "-" : " ") + lines[i] + "\r\n";
}

void TSMTPSession::Flush()
{
    if (out_.empty())
        return;
    std::string pending;
    pending.swap(out_);
    c_.Write(pending, settings_.timeouts.writeMs);
}

void TSMTPSession::ResetTransaction()
{
    mailFrom_.reset();
    recipients_.clear();
}

// --- Greeting and TLS --------------------------------------------------------

void TSMTPSession::Helo(const std::string& args)
{
    const std::string domain = Trim(args);
    if (domain.empty()) {
        Reply(501, "", "Syntax: HELO hostname");
        return;
    }
    // RFC 5321 §4.1.4: HELO / EHLO also ends any open transaction.
    helo_ = domain;
    esmtp_ = false;
    ResetTransaction();
    Reply(250, "", "Hello " + domain);
}

void TSMTPSession::Ehlo(const std::string& args)
{
    const std::string domain = Trim(args);
    if (domain.empty()) {
        Reply(501, "5.5.4", "Syntax: EHLO hostname");
        return;
    }
    helo_ = domain;
    esmtp_ = true;
    ResetTransaction();
    std::vector<std::string> lines{"Hello " + domain, "ENHANCEDSTATUSCODES", "PIPELINING"};
    // RFC 3207 §4.2: STARTTLS is not offered once TLS is active.
    if (OffersUpgrade(server_.TlsMode()) && !c_.IsTls())
        lines.emplace_back("STARTTLS");
    ReplyLines(250, lines);
}

void TSMTPSession::StartTls(const std::string& args)
{
    if (!OffersUpgrade(server_.TlsMode())) {
        Reply(502, "5.5.1", "STARTTLS not available");
        return;
    }
    if (c_.IsTls()) {
        Reply(503, "5.5.1", "TLS already active");
        return;
    }
    if (!Trim(args).empty()) {
        Reply(501, "5.5.4", "Syntax error (no parameters allowed)");  // RFC 3207 §4
        return;
    }
    Reply(220, "2.0.0", "Ready to start TLS");
    Flush();
    // RFC 3207 §4.2: everything learnt before the handshake is forgotten;
    // the client greets again.
    helo_.clear();
    esmtp_ = false;
    ResetTransaction();
    c_.StartTls(*server_.tls_, settings_.timeouts.tlsHandshakeMs);
}

// --- Transaction -------------------------------------------------------------

bool TSMTPSession::TransactionAllowed()
{
    if (server_.TlsMode() == TTlsMode::Required && !c_.IsTls()) {
        Reply(530, "5.7.0", "Must issue a STARTTLS command first");  // RFC 3207 §4
        return false;
    }
    if (helo_.empty()) {
        Reply(503, "5.5.1", "Send HELO or EHLO first");
        return false;
    }
    return true;
}

void TSMTPSession::Mail(const std::string& args)
{
    if (!TransactionAllowed())
        return;
    if (mailFrom_) {
        Reply(503, "5.5.1", "Nested MAIL command");
        return;
    }
    const auto argument = AfterKeyword(args, "FROM:");
    if (!argument) {
        Reply(501, "5.5.4", "Syntax: MAIL FROM:<address>");
        return;
    }
    const auto path = ParseMailPath(*argument);
    if (!path) {
        Reply(501, "5.1.7", "Bad sender address syntax");
        return;
    }
    mailFrom_ = *path;
    recipients_.clear();
    server_.listener_.MarkEstablished(c_);
    Reply(250, "2.1.0", "Sender OK");
}

void TSMTPSession::Rcpt(const std::string& args)
{
    if (!mailFrom_) {
        Reply(503, "5.5.1", "Need MAIL before RCPT");
        return;
    }
    const auto argument = AfterKeyword(args, "TO:");
    if (!argument) {
        Reply(501, "5.5.4", "Syntax: RCPT TO:<address>");
        return;
    }
    const auto path = ParseMailPath(*argument);
    if (!path) {
        Reply(501, "5.1.3", "Bad recipient address syntax");
        return;
    }
    WriteTrace({"SMTP RcptTo", *path}, 0);
    if (path->empty()) {
        // Refused, so it is not relayed: the client was told it would not be.
        Reply(550, "5.7.1", "We do not relay " + *path);
        return;
    }
    if (recipients_.size() >= settings_.maxRecipients) {
        // RFC 5321 §4.5.3.1.10: the recipients buffer is full; 452 lets the
        // client send the rest in another transaction.
        Reply(452, "4.5.3", "Too many recipients");
        return;
    }
    recipients_.push_back(*path);
    // 250, not 251: RFC 5321 §4.2.2 gives 251 to a server that will forward
    // to another path, and clients that accept only 250 (swaks) end the
    // transaction on it.
    Reply(250, "2.1.5", "User " + *path + " not local; no forwarding address");
}

void TSMTPSession::Data(const std::string&)
{
    if (!mailFrom_) {
        Reply(503, "5.5.1", "Need MAIL command");
        return;
    }
    if (recipients_.empty()) {
        Reply(554, "5.5.1", "No valid recipients");  // RFC 5321 §3.3
        return;
    }
    Reply(354, "", "Start mail input; end with <CRLF>.<CRLF>");
    Flush();
    ReceiveData();
}

void TSMTPSession::ReceiveData()
{
    std::string text = BuildReceivedLine(ReceivedInfo(), std::time(nullptr));
    // RFC 5321 §4.5.2: the reader removes the transparency dot of each line
    // and stops at the line holding a single "."; the limit counts only what
    // the client sent.
    switch (c_.ReadDotBlock(text, false, settings_.maxMessageBytes, settings_.timeouts.idleMs)) {
    case ReadStatus::Line:
        break;
    case ReadStatus::TooLong:
        // Read to its end and dropped, so the session is still in step.
        ResetTransaction();
        Reply(552, "5.3.4", "Message size exceeds fixed maximum message size");  // RFC 5321 §4.5.3.1.10
        return;
    case ReadStatus::NeedMore:
        Reply(421, "4.4.2", "Idle timeout, closing connection");
        quit_ = true;
        return;
    case ReadStatus::Closed:
    case ReadStatus::Error:
        // The message never ended: nothing of it is relayed.
        quit_ = true;
        return;
    }
    const TRelayAnswer answer = server_.RelayMessage(std::move(text), *mailFrom_, recipients_);
    ResetTransaction();
    if (answer.result == TRelayResult::Relayed)
        Reply(250, "", "Ok");
    else if (answer.refusal)
        ReplyRefusal(*answer.refusal);
    else
        // RFC 3463 §2: the class digit of the enhanced code tells success,
        // transient or permanent failure as the reply code does, so a
        // permanent 554 carries 5.x.x.
        Reply(554, "5.2.0", " Transaction failed");
}

// The account's server refused: the client hears its words and its class,
// with a code RFC 5321 §4.3.2 allows after the data.
void TSMTPSession::ReplyRefusal(const TSmtpReply& refusal)
{
    const bool transient = IsTransientReply(refusal.Code);
    int code = transient ? 451 : 554;
    for (const int allowed : {450, 451, 452, 550, 552, 554})
        if (refusal.Code == allowed)
            code = allowed;
    std::string enhanced = EnhancedStatusCode(refusal);
    if (enhanced.empty())
        enhanced = transient ? "4.0.0" : "5.0.0";
    std::string text = TextWithoutEnhancedCode(refusal);
    // RFC 5321 §4.5.3.1.5: a reply line holds at most 512 bytes; a control
    // character of the upstream text must not reach the client's parser.
    if (text.size() > kMaxRefusalText)
        text.resize(kMaxRefusalText);
    for (char& ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f)
            ch = ' ';
    if (text.empty())
        text = "Refused by the account's server";
    Reply(code, enhanced, text);
}

TReceivedInfo TSMTPSession::ReceivedInfo()
{
    TReceivedInfo info;
    info.clientAddress = HostOfPeer(c_.PeerAddress());
    if (clientHost_.empty())
        clientHost_ = HostNameOf(info.clientAddress);
    info.clientHost = clientHost_;
    info.helo = helo_;
    info.serverHost = server_.ServerHostName();
    info.serverAddress = LocalAddressFor(info.clientAddress, settings_.listenAddresses);
    info.esmtp = esmtp_;
    return info;
}

void TSMTPSession::Rset(const std::string&)
{
    ResetTransaction();
    Reply(250, "2.0.0", "Ok");
}

void TSMTPSession::Noop(const std::string&)
{
    Reply(250, "2.0.0", "Ok");
}

void TSMTPSession::Quit(const std::string&)
{
    Reply(221, "2.0.0", "Bye");
    quit_ = true;
}

void TSMTPSession::Help(const std::string&)
{
    Reply(214, "2.0.0", "No help is available");
}

void TSMTPSession::Vrfy(const std::string&)
{
    // RFC 5321 §3.5.3: a server that does not verify says so with 252.
    Reply(252, "2.5.2", "Cannot VRFY user, but will accept message and attempt delivery");
}

void TLocalSMTPServerMdl::RunSession(TcpConnection& connection)
{
    TSMTPSession(*this, connection).Run();
}

} // namespace bm
