// The POP3 client connection: commands, replies and the login.

#include "proto/pop3clientU.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "net/tlsU.h"

namespace bm {

namespace {

enum class TReplyKind { Ok, Err, Continue, Invalid };

TReplyKind KindOf(const std::string& line)
{
    auto startsWord = [&](std::string_view word) {
        return line.compare(0, word.size(), word) == 0 &&
               (line.size() == word.size() || line[word.size()] == ' ');
    };
    if (startsWord("+OK"))
        return TReplyKind::Ok;
    if (startsWord("-ERR"))
        return TReplyKind::Err;
    if (startsWord("+"))
        return TReplyKind::Continue;
    return TReplyKind::Invalid;
}

// The text after the status word and its blank.
std::string ReplyText(const std::string& line, std::size_t wordLength)
{
    return line.size() > wordLength + 1 ? line.substr(wordLength + 1) : std::string();
}

std::string ErrText(const std::string& line)
{
    std::string text = ReplyText(line, 4);
    return text.empty() ? std::string("-ERR") : text;
}

// A short quotation of a reply for an error text.
std::string Quote(const std::string& line)
{
    std::string q = line.substr(0, 80);
    for (char& c : q)
        if (static_cast<unsigned char>(c) < ' ')
            c = ' ';
    return q;
}

std::string UpperWord(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> SplitLines(const std::string& block)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < block.size()) {
        std::size_t end = block.find("\r\n", pos);
        if (end == std::string::npos)
            end = block.size();
        lines.push_back(block.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

std::int64_t LeadingNumber(std::string_view text)
{
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

} // namespace

EPop3Error::EPop3Error(const std::string& text, bool loginRefused)
    : std::runtime_error(text), loginRefused_(loginRefused)
{
    // "[SYS/TEMP] ..." names the code, "[AUTH]" or "[IN-USE]" alone too.
    const std::size_t close = text.find(']');
    if (text.starts_with('[') && close != std::string::npos && close > 1)
        code_ = UpperWord(std::string_view(text).substr(1, close - 1));
}

TPop3Tls Pop3TlsFromSSLValue(int ssl)
{
    switch (ssl) {
    case 0: return TPop3Tls::None;
    case 1: return TPop3Tls::Explicit;
    case 2: return TPop3Tls::Implicit;
    default: return TPop3Tls::Required;
    }
}

TPop3Client::TPop3Client(const TPop3ClientSettings& settings) : settings_(settings) {}

TPop3Client::~TPop3Client()
{
    CloseSocket();
}

// Runs one exchange; any failure but a "-ERR" reply or an oversized message
// leaves the session unusable and closes it without QUIT.
template <class Fn>
auto TPop3Client::Guarded(Fn&& fn) -> decltype(fn())
{
    try {
        return fn();
    } catch (const EPop3Error&) {
        throw;
    } catch (const EPop3MessageTooLarge&) {
        throw;
    } catch (...) {
        CloseSocket();
        throw;
    }
}

void TPop3Client::CloseSocket()
{
    usable_ = false;
    outstanding_ = 0;
    std::unique_ptr<TcpConnection> old;
    {
        std::lock_guard lock(mutex_);
        old = std::move(conn_);
    }
    if (old)
        old->Close();
}

void TPop3Client::Abort()
{
    std::lock_guard lock(mutex_);
    aborted_ = true;
    if (conn_)
        conn_->Abort();
}

bool TPop3Client::Aborted() const
{
    std::lock_guard lock(mutex_);
    return aborted_;
}

bool TPop3Client::Connected() const
{
    return usable_ && conn_ != nullptr;
}

void TPop3Client::Send(const std::string& line)
{
    conn_->WriteLine(line, settings_.WriteTimeoutMs);
}

std::string TPop3Client::ReadReplyLine()
{
    std::string line;
    switch (conn_->ReadLine(line, settings_.MaxReplyLine, settings_.ReadTimeoutMs)) {
    case ReadStatus::Line: return line;
    case ReadStatus::NeedMore: throw ESocketTimeout();
    case ReadStatus::TooLong: throw EPop3ProtocolError("Invalid POP3 response: " + Quote(line));
    case ReadStatus::Closed: throw EConnectionClosed();
    case ReadStatus::Error: break;
    }
    throw ESocketError(conn_->LastError());
}

// Sends a command and reads its status line: the text after "+OK", or
// EPop3Error for "-ERR".
std::string TPop3Client::Command(const std::string& line, bool loginRefused)
{
    if (outstanding_ > 0)
        throw EPop3ProtocolError("POP3 command sent with answers outstanding.");
    Send(line);
    return ReadStatusLine(loginRefused);
}

// One status line: the text after "+OK", or EPop3Error for "-ERR".
std::string TPop3Client::ReadStatusLine(bool loginRefused)
{
    const std::string reply = ReadReplyLine();
    switch (KindOf(reply)) {
    case TReplyKind::Ok: return ReplyText(reply, 3);
    case TReplyKind::Err: throw EPop3Error(ErrText(reply), loginRefused);
    default: throw EPop3ProtocolError("Invalid POP3 response: " + Quote(reply));
    }
}

// The lines of a multi-line reply after its "+OK" status line.
std::string TPop3Client::ReadListing(std::size_t limit)
{
    std::string block;
    switch (conn_->ReadDotBlock(block, false, limit, settings_.ReadTimeoutMs)) {
    case ReadStatus::Line: return block;
    case ReadStatus::NeedMore: throw ESocketTimeout();
    case ReadStatus::TooLong: throw EPop3ProtocolError("Invalid POP3 response: listing too long.");
    case ReadStatus::Closed: throw EConnectionClosed();
    case ReadStatus::Error: break;
    }
    throw ESocketError(conn_->LastError());
}

void TPop3Client::OpenTransport(const TPop3ConnectParams& params)
{
    auto conn = std::make_unique<TcpConnection>();
    {
        // Published before the connect, so Abort() can end a connect in progress.
        std::lock_guard lock(mutex_);
        if (aborted_)
            conn->Abort();
        conn_ = std::move(conn);
    }
    usable_ = true;
    OpenConnection(*conn_, params.Host, params.Port, params.Proxy, {settings_.ConnectTimeoutMs});
    if (params.Tls == TPop3Tls::Implicit)
        conn_->StartTls(*params.Context, settings_.ReadTimeoutMs, params.Host);
}

void TPop3Client::ReadGreeting()
{
    const std::string reply = ReadReplyLine();
    const TReplyKind kind = KindOf(reply);
    if (kind == TReplyKind::Err)
        throw EPop3Error(ErrText(reply), false);
    if (kind != TReplyKind::Ok)
        throw EPop3ProtocolError("Invalid POP3 response: " + Quote(reply));
}

// RFC 2449: a server without CAPA answers "-ERR"; it then has no capabilities.
void TPop3Client::ReadCapabilities()
{
    capabilities_.clear();
    try {
        Command("CAPA");
    } catch (const EPop3Error&) {
        return;
    }
    for (std::string& line : SplitLines(ReadListing(64 * 1024))) {
        const std::size_t blank = line.find(' ');
        capabilities_.push_back(UpperWord(line.substr(0, blank)) +
                                (blank == std::string::npos ? std::string() : line.substr(blank)));
    }
}

void TPop3Client::UpgradeToTls(const TPop3ConnectParams& params)
{
    const bool offered = std::find(capabilities_.begin(), capabilities_.end(), "STLS") != capabilities_.end();
    if (!offered && params.Tls == TPop3Tls::Explicit) {
        if (params.TlsOfferedBefore)
            throw ETlsError(kTlsDowngradePop3);
        return;
    }
    try {
        Command("STLS");
    } catch (const EPop3Error&) {
        if (params.Tls == TPop3Tls::Required)
            throw;
        if (params.TlsOfferedBefore)
            throw ETlsError(kTlsDowngradePop3);
        return; // explicit only: the server refused, the session goes on in plain text
    }
    conn_->StartTls(*params.Context, settings_.ReadTimeoutMs, params.Host);
    ReadCapabilities();
}

void TPop3Client::Connect(const TPop3ConnectParams& params)
{
    CloseSocket();
    loginMechanism_.clear();
    capabilities_.clear();
    Guarded([&] {
        OpenTransport(params);
        ReadGreeting();
        if (params.Tls == TPop3Tls::Explicit || params.Tls == TPop3Tls::Required ||
            params.Login == TPop3Login::Sasl)
            ReadCapabilities();
        if (params.Tls == TPop3Tls::Explicit || params.Tls == TPop3Tls::Required)
            UpgradeToTls(params);
        if (params.Login == TPop3Login::Sasl)
            LoginSasl(params);
        else
            LoginUserPass(params.UserName, params.Password);
    });
}

void TPop3Client::LoginUserPass(const std::string& user, const std::string& password)
{
    Command("USER " + user, true);
    Command("PASS " + password, true);
}

void TPop3Client::LoginSasl(const TPop3ConnectParams& params)
{
    std::vector<std::string> announced;
    for (const std::string& cap : capabilities_)
        if (cap.starts_with("SASL ")) {
            std::size_t pos = 5;
            while (pos < cap.size()) {
                std::size_t end = cap.find(' ', pos);
                if (end == std::string::npos)
                    end = cap.size();
                if (end > pos)
                    announced.push_back(cap.substr(pos, end - pos));
                pos = end + 1;
            }
        }
    std::string failure;
    for (TSaslMechanism m : SaslAttemptOrder(announced)) {
        const bool configured = std::find(params.Mechanisms.begin(), params.Mechanisms.end(), m) !=
                                params.Mechanisms.end();
        if (configured && SaslMechanismDoable(m) && TrySasl(m, params.UserName, params.Password, failure))
            return;
    }
    if (!failure.empty())
        throw EPop3Error(failure, true);
    throw EPop3ProtocolError("The server offers no usable SASL mechanism.");
}

// One AUTH exchange. True when logged in; false when the exchange ended
// without success (failure holds the server's text). A refusal of the AUTH
// command itself throws EPop3Error: the login fails.
bool TPop3Client::TrySasl(TSaslMechanism mechanism, const std::string& user, const std::string& password,
                          std::string& failure)
{
    TSaslExchange exchange(mechanism, user, password);
    Send(std::string("AUTH ") + SaslMechanismName(mechanism));
    for (bool first = true;; first = false) {
        const std::string reply = ReadReplyLine();
        switch (KindOf(reply)) {
        case TReplyKind::Ok:
            loginMechanism_ = SaslMechanismName(mechanism);
            return true;
        case TReplyKind::Err:
            if (first)
                throw EPop3Error(ErrText(reply), true);
            failure = ErrText(reply);
            return false;
        case TReplyKind::Continue: {
            const auto response = exchange.Respond(ReplyText(reply, 1));
            Send(response ? *response : std::string("*"));
            break;
        }
        case TReplyKind::Invalid:
            throw EPop3ProtocolError("Invalid POP3 response: " + Quote(reply));
        }
    }
}

// Guarded, on a session that must be usable.
template <class Fn>
auto TPop3Client::Exchange(Fn&& fn) -> decltype(fn())
{
    return Guarded([&] {
        if (!usable_ || !conn_)
            throw ESocketError(Aborted() ? kConnectionAborted : "Not connected.");
        return fn();
    });
}

int TPop3Client::Stat()
{
    return Exchange([&] { return static_cast<int>(LeadingNumber(Command("STAT"))); });
}

std::vector<TUidlLine> TPop3Client::Uidl()
{
    return Exchange([&] {
        Command("UIDL");
        std::vector<TUidlLine> items;
        for (std::string& line : SplitLines(ReadListing(settings_.MaxListing))) {
            const std::size_t blank = line.find(' ');
            if (blank == std::string::npos)
                items.push_back({line, {}});
            else
                items.push_back({line.substr(0, blank), line.substr(blank + 1)});
        }
        return items;
    });
}

std::int64_t TPop3Client::List(int number)
{
    return Exchange([&] {
        const std::string text = Command("LIST " + std::to_string(number));
        const std::size_t blank = text.find(' ');
        return blank == std::string::npos ? std::int64_t{0} : LeadingNumber(text.substr(blank + 1));
    });
}

std::string TPop3Client::Retr(int number, std::size_t sizeHint)
{
    return Exchange([&] {
        Command("RETR " + std::to_string(number));
        return ReadMessageBlock(sizeHint);
    });
}

// The message after a RETR's "+OK".
std::string TPop3Client::ReadMessageBlock(std::size_t sizeHint)
{
    std::string text;
    // The LIST size counts octets on the wire closely enough to spare the
    // regrowth of a large message.
    text.reserve(std::min(sizeHint + sizeHint / 16 + 64, settings_.MaxMessageBytes));
    switch (conn_->ReadDotBlock(text, true, settings_.MaxMessageBytes, settings_.ReadTimeoutMs)) {
    case ReadStatus::Line: return text;
    case ReadStatus::NeedMore: throw ESocketTimeout();
    case ReadStatus::TooLong: throw EPop3MessageTooLarge(kMessageTooLarge);
    case ReadStatus::Closed: throw EConnectionClosed();
    case ReadStatus::Error: break;
    }
    throw ESocketError(conn_->LastError());
}

bool TPop3Client::CanPipeline() const
{
    return std::find(capabilities_.begin(), capabilities_.end(), "PIPELINING") != capabilities_.end();
}

void TPop3Client::RequestRetrieval(int number)
{
    Exchange([&] {
        const std::string n = std::to_string(number);
        conn_->Write("LIST " + n + "\r\nRETR " + n + "\r\n", settings_.WriteTimeoutMs);
        ++outstanding_;
    });
}

std::pair<std::int64_t, std::string> TPop3Client::ReadRetrieval(std::size_t sizeHint)
{
    return Exchange([&] {
        if (outstanding_ <= 0)
            throw EPop3ProtocolError("No POP3 answer outstanding.");
        --outstanding_;
        std::int64_t size = 0;
        std::optional<EPop3Error> listError;
        try {
            const std::string text = ReadStatusLine();
            const std::size_t blank = text.find(' ');
            size = blank == std::string::npos ? 0 : LeadingNumber(text.substr(blank + 1));
        } catch (const EPop3Error& e) {
            listError = e;
        }
        ReadStatusLine(); // RETR's; its -ERR is thrown as is
        std::string message = ReadMessageBlock(sizeHint ? sizeHint : static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
        if (listError)
            throw *listError;
        return std::make_pair(size, std::move(message));
    });
}

void TPop3Client::RequestDele(int number)
{
    Exchange([&] {
        conn_->WriteLine("DELE " + std::to_string(number), settings_.WriteTimeoutMs);
        ++outstanding_;
    });
}

bool TPop3Client::ReadDele()
{
    return Exchange([&] {
        if (outstanding_ <= 0)
            throw EPop3ProtocolError("No POP3 answer outstanding.");
        --outstanding_;
        try {
            ReadStatusLine();
            return true;
        } catch (const EPop3Error&) {
            return false;
        }
    });
}

void TPop3Client::Dele(int number)
{
    Exchange([&] { Command("DELE " + std::to_string(number)); });
}

void TPop3Client::Quit()
{
    if (!Connected() || outstanding_ > 0) {
        CloseSocket();
        return;
    }
    try {
        Exchange([&] { Command("QUIT"); });
    } catch (...) {
        CloseSocket();
        throw;
    }
    CloseSocket();
}

void TPop3Client::Disconnect()
{
    CloseSocket();
}

} // namespace bm
