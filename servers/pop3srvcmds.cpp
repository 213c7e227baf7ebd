// One POP3 session (RFC 1939, CAPA of RFC 2449, STLS of RFC 2595): the
// command table and one handler per command.

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>
#include <charconv>
#include <exception>
#include <fstream>
#include <optional>
#include <string_view>
#include <system_error>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/loggerU.h"
#include "servers/pop3srvmdl.h"
#include "servers/srvsessionU.h"

namespace bm {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

// The message number of an argument: digits only; a number too large for
// any listing becomes the largest value (so it is simply out of bounds).
std::optional<std::uintmax_t> ParseNumber(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::uintmax_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9')
            return std::nullopt;
    }
    if (std::from_chars(text.data(), text.data() + text.size(), value).ec == std::errc::result_out_of_range)
        return UINTMAX_MAX;
    return value;
}

// The blank-separated words of an argument text.
std::vector<std::string> Words(const std::string& text)
{
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto start = text.find_first_not_of(' ', pos);
        if (start == std::string::npos)
            break;
        const auto end = text.find(' ', start);
        words.push_back(text.substr(start, end - start));
        pos = end;
    }
    return words;
}

// An open message file, read in large chunks. Size() is the size of the
// file opened, even when it was removed meanwhile.
class TMessageFile {
public:
    explicit TMessageFile(const fs::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~TMessageFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TMessageFile(const TMessageFile&) = delete;
    TMessageFile& operator=(const TMessageFile&) = delete;
    bool IsOpen() const { return fd_ >= 0; }
    std::uintmax_t Size() const
    {
        struct stat st{};
        return ::fstat(fd_, &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
    }
    // Replaces out with up to n bytes; false at the end or on a read error.
    bool Read(std::string& out, std::size_t n)
    {
        out.resize(n);
        ssize_t got;
        do
            got = ::read(fd_, out.data(), n);
        while (got < 0 && errno == EINTR);
        out.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return got > 0;
    }

private:
    int fd_;
};

} // namespace

class TPOP3Session {
public:
    TPOP3Session(TLocalPOP3ServerMdl& server, TcpConnection& connection)
        : server_(server), settings_(server.Settings()), c_(connection)
    {
    }
    void Run();

private:
    using Handler = void (TPOP3Session::*)(const std::string& args);
    struct Command {
        std::string_view name;
        Handler handler;
        bool needsLogin;
    };
    static const std::array<Command, 16> kCommands;

    void Dispatch(const std::string& line);
    void Ok(std::string_view text) { Send(text.empty() ? "+OK" : "+OK " + std::string(text)); }
    void Err(std::string_view text) { Send("-ERR " + std::string(text)); }
    void Send(std::string_view line) { c_.WriteLine(line, settings_.timeouts.writeMs); }
    void Write(std::string_view bytes) { c_.Write(bytes, settings_.timeouts.writeMs); }
    // Entry of the number in arg, or null after sending the error reply
    // (also for a message marked for deletion, RFC 1939 §5).
    const TPOP3Entry* TakeEntry(const std::string& verb, const std::string& arg);
    // The message number of an entry of the listing.
    std::string NumberOf(const TPOP3Entry* entry) { return std::to_string(entry - data_->Listing().data() + 1); }
    void SendFile(const fs::path& path);
    void SendTop(const fs::path& path, std::uintmax_t bodyLines, const std::string& linesText);
    bool LoginAllowed();
    // Answers a failed login after its delay, closing the connection at the
    // last failure allowed.
    void LoginFailed();
    // Waits ms, or less when the connection is aborted (the server stops).
    void Pause(int ms);
    // The UPDATE state: removes the marked files and raises OnMessageDeleted
    // for each; false when one could not be removed.
    bool Update();

    void User(const std::string& args);
    void Pass(const std::string& args);
    void Apop(const std::string& args);
    void Auth(const std::string& args);
    void Stat(const std::string& args);
    void List(const std::string& args);
    void Uidl(const std::string& args);
    void Retr(const std::string& args);
    void Top(const std::string& args);
    void Dele(const std::string& args);
    void Rset(const std::string& args);
    void Noop(const std::string& args);
    void Quit(const std::string& args);
    void Capa(const std::string& args);
    void Stls(const std::string& args);
    void Help(const std::string& args);

    TLocalPOP3ServerMdl& server_;
    const TPOP3ServerSettings& settings_;
    TcpConnection& c_;
    std::string user_;
    std::string password_;
    std::unique_ptr<TConnData> data_;  // set at the first successful login
    bool loggedIn_ = false;
    bool quit_ = false;
    int loginFailures_ = 0;
};

// RFC 1939 §3: commands are case-insensitive keywords. "Please login first"
// guards the transaction commands (RFC 1939 §5).
const std::array<TPOP3Session::Command, 16> TPOP3Session::kCommands{{
    {"USER", &TPOP3Session::User, false},
    {"PASS", &TPOP3Session::Pass, false},
    {"APOP", &TPOP3Session::Apop, false},
    {"AUTH", &TPOP3Session::Auth, false},
    {"STAT", &TPOP3Session::Stat, true},
    {"LIST", &TPOP3Session::List, true},
    {"UIDL", &TPOP3Session::Uidl, true},
    {"RETR", &TPOP3Session::Retr, true},
    {"TOP", &TPOP3Session::Top, true},
    {"DELE", &TPOP3Session::Dele, true},
    {"RSET", &TPOP3Session::Rset, true},
    {"NOOP", &TPOP3Session::Noop, true},
    {"QUIT", &TPOP3Session::Quit, false},
    {"CAPA", &TPOP3Session::Capa, false},
    {"STLS", &TPOP3Session::Stls, false},
    {"HELP", &TPOP3Session::Help, false},
}};

void TPOP3Session::Run()
{
    if (const std::string why = RefusedPeerReason(c_, settings_.peerPolicy); !why.empty()) {
        WriteTrace({"POP3 Refused", c_.PeerAddress(), why}, kTraceEvent);
        Err("Access denied: this server serves only its own user");
        return;
    }
    Ok("Welcome to Brixmoor POP3 Server");
    std::string line;
    while (!quit_) {
        switch (c_.ReadLine(line, settings_.maxLineLength, settings_.timeouts.idleMs)) {
        case ReadStatus::Line:
            Dispatch(line);
            break;
        case ReadStatus::TooLong:
            // The reader skips the rest of the line, so the next command is
            // read in step again (RFC 2449 §4 bounds command lines).
            Err("Command line too long");
            break;
        case ReadStatus::NeedMore:
            // RFC 1939 §3: an idle client is logged out without any update.
            Err("Disconnected for inactivity.");
            return;
        case ReadStatus::Closed:
        case ReadStatus::Error:
            return;
        }
    }
}

void TPOP3Session::Dispatch(const std::string& line)
{
    // Named variables, not a structured binding: C++20 lets a lambda capture
    // a binding, but clang before 16 refuses it.
    const auto split = SplitCommand(line);
    const std::string& verb = split.first;
    const std::string& args = split.second;
    const Command* command = FindCommand(kCommands, verb);
    if (!command) {
        Err("Sorry, Unknown Command");
        return;
    }
    if (command->needsLogin && !loggedIn_) {
        Err("Please login first");
        return;
    }
    if (!RunCommand("POP3 Command", verb, [&] { (this->*command->handler)(args); }))
        Err("Unknown Internal Error");
}

// --- Authorization -----------------------------------------------------------

bool TPOP3Session::LoginAllowed()
{
    if (server_.TlsMode() == TTlsMode::Required && !c_.IsTls()) {
        Err("Command not permitted without TLS");
        return false;
    }
    return true;
}

void TPOP3Session::User(const std::string& args)
{
    if (!LoginAllowed())
        return;
    user_ = args;
    Ok("Password required");
}

void TPOP3Session::Pass(const std::string& args)
{
    if (!LoginAllowed())
        return;
    password_ = args;
    std::string account;
    if (settings_.accounts)
        account = FindLoginAccount(*settings_.accounts, user_, password_);
    if (account.empty()) {
        LoginFailed();
        return;
    }
    loggedIn_ = true;
    server_.listener_.MarkEstablished(c_);
    if (data_)
        data_->SetAccountName(account);
    else
        data_ = std::make_unique<TConnData>(settings_.dataFolder, account);
    Ok("Login OK");
}

void TPOP3Session::LoginFailed()
{
    ++loginFailures_;
    WriteTrace({"POP3 Login failed", c_.PeerAddress(), user_, std::to_string(loginFailures_)}, kTraceEvent);
    Pause(LoginFailureDelayMs(loginFailures_, settings_.loginFailureDelayMs, settings_.maxLoginFailureDelayMs));
    Err("Login failed");
    if (loginFailures_ >= settings_.maxLoginFailures) {
        WriteTrace({"POP3 Login failed", c_.PeerAddress(), "disconnected"}, kTraceEvent);
        quit_ = true;
    }
}

void TPOP3Session::Pause(int ms)
{
    constexpr int kStepMs = 50;
    for (int waited = 0; waited < ms && !c_.IsAborted(); waited += kStepMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kStepMs, ms - waited)));
}

void TPOP3Session::Apop(const std::string&)
{
    Err(loggedIn_ ? "Wrong State" : "Command Not Handled: APOP");
}

void TPOP3Session::Auth(const std::string&)
{
    Err("Secure password authentication not implemented - please turn it off!");
}

void TPOP3Session::Capa(const std::string&)
{
    std::string reply = "+OK Capability list follows\r\nUIDL\r\n";
    // RFC 2595 §4: STLS is not offered once TLS is active.
    if (OffersUpgrade(server_.TlsMode()) && !c_.IsTls())
        reply += "STLS\r\n";
    reply += "USER\r\n.\r\n";
    Write(reply);
}

void TPOP3Session::Stls(const std::string&)
{
    if (!OffersUpgrade(server_.TlsMode())) {
        Err("Command Not Handled: STLS");
        return;
    }
    if (c_.IsTls()) {
        Err("Command not permitted when TLS active");
        return;
    }
    if (loggedIn_) {
        Err("Command not permitted in this state");
        return;
    }
    Ok("Begin TLS negotiation");
    // What the client said before the upgrade is forgotten (RFC 2595 §4).
    user_.clear();
    password_.clear();
    c_.StartTls(*server_.tls_, settings_.timeouts.tlsHandshakeMs);
}

void TPOP3Session::Help(const std::string&)
{
    Ok("No help available");
}

void TPOP3Session::Quit(const std::string&)
{
    quit_ = true;
    // RFC 1939 §6: QUIT in the TRANSACTION state commits the deletions.
    if (loggedIn_ && !Update()) {
        Err("Some deleted messages not removed");
        return;
    }
    Ok("Closing Connection Channel.");
}

// The events run before the reply: a client that has its answer to QUIT
// finds the program's lists already told.
bool TPOP3Session::Update()
{
    const TConnData::TRemoval removal = data_->RemoveMarked();
    for (const std::string& id : removal.removed) {
        if (!server_.OnMessageDeleted)
            break;
        try {
            server_.OnMessageDeleted(server_, data_->AccountName(), id);
        } catch (const std::exception& e) {
            WriteTrace({"POP3 OnMessageDeleted", id, e.what()}, kTraceEvent);
        }
    }
    return removal.complete;
}

// --- Transaction -------------------------------------------------------------

const TPOP3Entry* TPOP3Session::TakeEntry(const std::string& verb, const std::string& arg)
{
    const auto n = ParseNumber(arg);
    if (!n) {
        Err("Invalid Message Number");
        return nullptr;
    }
    const TPOP3Entry* entry = data_->Entry(*n);
    if (!entry) {
        Err(verb + ": Unknown message ID/nbr (#" + arg + " out of bounds)");
        return nullptr;
    }
    if (data_->IsMarked(*n)) {
        Err("Message " + NumberOf(entry) + " already deleted");
        return nullptr;
    }
    return entry;
}

// RFC 1939 §5: STAT, LIST and UIDL leave out the messages marked deleted,
// and the others keep the numbers the listing at login gave them.
void TPOP3Session::Stat(const std::string&)
{
    const auto [count, total] = data_->Unmarked();
    Ok(std::to_string(count) + " " + std::to_string(total));
}

void TPOP3Session::List(const std::string& args)
{
    const auto words = Words(args);
    if (!words.empty()) {
        if (const TPOP3Entry* entry = TakeEntry("LIST", words[0]))
            Ok(NumberOf(entry) + " " + std::to_string(entry->size));
        return;
    }
    std::string reply = "+OK\r\n";
    std::size_t n = 0;
    for (const auto& entry : data_->Listing())
        if (!data_->IsMarked(++n))
            reply += std::to_string(n) + " " + std::to_string(entry.size) + "\r\n";
    Write(reply + ".\r\n");
}

void TPOP3Session::Uidl(const std::string& args)
{
    const auto words = Words(args);
    if (!words.empty()) {
        if (const TPOP3Entry* entry = TakeEntry("UIDL", words[0]))
            Ok(NumberOf(entry) + " " + entry->id);
        return;
    }
    std::string reply = "+OK\r\n";
    std::size_t n = 0;
    for (const auto& entry : data_->Listing())
        if (!data_->IsMarked(++n))
            reply += std::to_string(n) + " " + entry.id + "\r\n";
    Write(reply + ".\r\n");
}

void TPOP3Session::Retr(const std::string& args)
{
    const auto words = Words(args);
    const TPOP3Entry* entry = TakeEntry("RETR", words.empty() ? std::string() : words[0]);
    if (entry)
        SendFile(data_->FilePath(entry->id));
}

void TPOP3Session::Top(const std::string& args)
{
    const auto words = Words(args);
    if (words.size() < 2 || !ParseNumber(words[1])) {
        Err("Invalid Message Number");
        return;
    }
    const TPOP3Entry* entry = TakeEntry("TOP", words[0]);
    if (entry)
        SendTop(data_->FilePath(entry->id), *ParseNumber(words[1]), words[1]);
}

void TPOP3Session::Dele(const std::string& args)
{
    const auto words = Words(args);
    const std::string arg = words.empty() ? std::string() : words[0];
    const auto n = ParseNumber(arg);
    if (!n) {
        Err("Invalid Message Number");
        return;
    }
    const TPOP3Entry* entry = data_->Entry(*n);
    if (!entry) {
        Err("DELE: Unknown message ID/nbr (#" + arg + " out of bounds)");
        return;
    }
    // Marked before, or its file gone since the listing (another session's
    // QUIT, the program): QUIT could not remove it.
    const fs::path path = data_->FilePath(entry->id);
    std::error_code ec;
    if (data_->IsMarked(*n) || !fs::exists(path, ec)) {
        Err("DELE: Unknown message ID/nbr - unable to delete " + path.string());
        return;
    }
    data_->Mark(*n);
    Ok("Message " + NumberOf(entry) + " deleted");
}

void TPOP3Session::Rset(const std::string&)
{
    data_->UnmarkAll();
    Ok("Reset");
}

void TPOP3Session::Noop(const std::string&)
{
    Ok("NOOP");
}

// --- Sending messages --------------------------------------------------------

// The file is opened before the status line, so a message that disappeared
// since the listing gets "-ERR" and the session goes on. Its bytes go out
// unchanged in large chunks; should a damaged file lack the final "." line,
// one is added so the client is never left waiting for it.
void TPOP3Session::SendFile(const fs::path& path)
{
    TMessageFile file(path);
    if (!file.IsOpen()) {
        Err("RETR: message no longer available");
        return;
    }
    const std::uintmax_t size = file.Size();
    // The status line leaves with the first chunk, and a message that fits
    // one chunk goes out in one write: a separate small write ahead of the
    // body costs a segment and a wake-up of the client per message.
    std::string out = "+OK " + std::to_string(size > 3 ? size - 3 : 0) + " octets\r\n";
    std::string chunk;
    std::string tail;  // the last bytes sent, to check the terminator
    while (file.Read(chunk, kChunkSize)) {
        tail += chunk.substr(chunk.size() > 5 ? chunk.size() - 5 : 0);
        tail.erase(0, tail.size() > 5 ? tail.size() - 5 : 0);
        out += chunk;
        if (out.size() >= kChunkSize) {
            Write(out);
            out.clear();
        }
    }
    if (tail != ".\r\n" && !tail.ends_with("\r\n.\r\n"))
        out += tail.empty() || tail.ends_with("\r\n") ? ".\r\n" : "\r\n.\r\n";
    Write(out);
}

// RFC 1939 §7 TOP: the header, the empty line and the first k body lines.
// The stored lines are already dot-stuffed; the stored "." line ends the
// message, so lines stop there whatever k is.
void TPOP3Session::SendTop(const fs::path& path, std::uintmax_t bodyLines, const std::string& linesText)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Err("TOP: message no longer available");
        return;
    }
    std::string out = "+OK " + linesText + " lines\r\n";  // with the first lines, as in SendFile
    std::string line;
    bool inBody = false;
    std::uintmax_t sentBody = 0;
    while ((!inBody || sentBody < bodyLines) && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line == ".")
            break;
        if (inBody)
            ++sentBody;
        else if (line.empty())
            inBody = true;
        out += line;
        out += "\r\n";
        if (out.size() >= kChunkSize) {
            Write(out);
            out.clear();
        }
    }
    Write(out + ".\r\n");
}

void TLocalPOP3ServerMdl::RunSession(TcpConnection& connection)
{
    TPOP3Session(*this, connection).Run();
}

} // namespace bm
