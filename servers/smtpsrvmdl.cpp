// The SMTP listener and its relay rule: which account a message belongs to,
// who receives it, and what text goes out. The command handlers are in
// smtpsrvcmds.cpp.

#include "servers/smtpsrvmdl.h"

#include <array>
#include <cstdio>
#include <exception>
#include <set>
#include <stdexcept>

#include <unistd.h>

#include "config/textcaseU.h"
#include "core/commonsU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "store/threaddatamdl.h"
#include "platform/shellU.h"

namespace bm {

namespace {

bool IsOwnAddress(const std::vector<std::string>& own, const std::string& address)
{
    if (address.empty())
        return false;
    for (const auto& item : own)
        if (SameTextIgnoringCase(item, address))
            return true;
    return false;
}

bool AnyOwn(const std::vector<std::string>& own, const TMailAddressList& list)
{
    for (const auto& item : list)
        if (IsOwnAddress(own, item.Address))
            return true;
    return false;
}

bool IsHeaderName(std::string_view line, std::string_view name)
{
    if (line.size() <= name.size() || !SameTextIgnoringCase(line.substr(0, name.size()), name))
        return false;
    // RFC 5322 §2.2: the name, then the colon; blanks before it are obsolete
    // syntax (§4.5) but still seen.
    const auto colon = line.find_first_not_of(" \t", name.size());
    return colon != std::string_view::npos && line[colon] == ':';
}

// A client's name made safe for a header line: no control character, at
// most 255 bytes, never ending inside a UTF-8 sequence.
std::string SafeHeaderText(std::string_view text)
{
    constexpr std::size_t kMaxName = 255;
    std::string out;
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        out += byte < 0x20 || byte == 0x7f ? '?' : ch;
    }
    if (out.size() > kMaxName) {
        std::size_t cut = kMaxName;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;
        out.resize(cut);
    }
    return out;
}

// The header block of the text, and where its body begins: the lines
// before its first empty line, or, when there is none within
// kMaxRelayHeader bytes, the whole lines of those bytes. Throws what
// reading the spool throws.
std::string ReadHeaderBlock(const TDataSpool& text, std::uint64_t& bodyOffset)
{
    std::string header;
    text.Read(0, kMaxRelayHeader, header);
    std::size_t end = HeaderBlockEnd(header);
    if (end == header.size() && text.Size() > header.size()) {
        const auto lf = header.rfind('\n');
        end = lf == std::string::npos ? 0 : lf + 1;
    }
    header.resize(end);
    bodyOffset = end;
    return header;
}

} // namespace

TSMTPServerSettings SMTPSettingsFromOptions(TOptions& options, TAccountList& accounts, TWhiteList& friends)
{
    const TOptionsValues values = options.Snapshot();
    TSMTPServerSettings settings;
    settings.options = &options;
    settings.accounts = &accounts;
    settings.friends = &friends;
    settings.listenAddresses = ServerListenAddresses(values.ListenAddress);
    settings.port = static_cast<uint16_t>(values.SMTPPort);
    settings.portSSL = static_cast<uint16_t>(values.SMTPPortSSL);
    settings.certFolders = {GetProgramFolder(), GetDataFolder()};
    return settings;
}

// --- Relay rule --------------------------------------------------------------

std::optional<std::string> ParseMailPath(std::string_view argument)
{
    const auto start = argument.find_first_not_of(" \t");
    if (start == std::string_view::npos)
        return std::string();
    argument.remove_prefix(start);
    if (argument.front() != '<')
        return std::string(argument.substr(0, argument.find_first_of(" \t")));
    const auto close = argument.find('>');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string_view path = argument.substr(1, close - 1);
    // RFC 5321 §4.1.2 / §3.3: a source route "@a,@b:" before the mailbox
    // is to be ignored by the receiver.
    if (path.starts_with('@')) {
        const auto colon = path.find(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        path.remove_prefix(colon + 1);
    }
    return std::string(path);
}

TAccountPtr FindRelayAccount(const TAccountList& accounts, const TMailMessage& message)
{
    for (const auto& account : accounts.Items()) {
        const std::vector<std::string> own = account->Outgoing().EMailAddresses();
        if (AnyOwn(own, message.FromList) || IsOwnAddress(own, message.Sender.Address) ||
            AnyOwn(own, message.ReplyTo))
            return account;
    }
    return nullptr;
}

std::size_t HeaderBlockEnd(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == '\n' || text.substr(pos).starts_with("\r\n"))
            return pos;  // the empty line
        const auto lf = text.find('\n', pos);
        if (lf == std::string_view::npos)
            return text.size();
        pos = lf + 1;
    }
    return text.size();
}

std::string RemoveBccHeader(std::string text)
{
    const std::size_t end = HeaderBlockEnd(text);
    const std::string_view header = std::string_view(text).substr(0, end);
    std::string kept;
    std::size_t pos = 0;
    bool dropping = false;  // inside a Bcc field: its continuation lines go too
    while (pos < end) {
        const auto lf = header.find('\n', pos);
        const std::size_t next = lf == std::string_view::npos ? end : lf + 1;
        const std::string_view line = header.substr(pos, next - pos);
        const bool continuation = line.front() == ' ' || line.front() == '\t';
        if (!continuation)
            dropping = IsHeaderName(line.substr(0, line.find_first_of("\r\n")), "Bcc");
        if (!dropping)
            kept.append(line);
        pos = next;
    }
    // Only the header block is rebuilt; the body, possibly large, stays where it is.
    text.replace(0, end, kept);
    return text;
}

std::string FormatMailDate(std::time_t now)
{
    static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    localtime_r(&now, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays.at(tm.tm_wday % 7),
                  tm.tm_mday, kMonths.at(tm.tm_mon % 12), tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return buffer;
}

std::string BuildReceivedLine(const TReceivedInfo& info, std::time_t now)
{
    return "Received: from " + SafeHeaderText(info.clientHost) + "[" + info.clientAddress + "] (helo=" +
           SafeHeaderText(info.helo) + ") by " + SafeHeaderText(info.serverHost) + "[" + info.serverAddress +
           "] with " + (info.esmtp ? "esmtp" : "smtp") + " (" + kSMTPServerName + "); " + FormatMailDate(now) +
           "\r\n";
}

// --- TLocalSMTPServerMdl -----------------------------------------------------

TLocalSMTPServerMdl::TLocalSMTPServerMdl(TSMTPServerSettings settings) : settings_(std::move(settings))
{
    if (!settings_.options || !settings_.accounts || !settings_.friends)
        throw std::logic_error("TLocalSMTPServerMdl needs options, accounts and a Friends list");
    if (!settings_.dataBudget)
        settings_.dataBudget = std::make_shared<TDataMemoryBudget>(kDefaultDataMemoryCap);
    sender_ = std::make_unique<TMailSender>(*settings_.options, *settings_.accounts, *settings_.friends,
                                            settings_.sender);
    sender_->CaptureErrors = true;
    sender_->OnAddressWhitelisted = [this](const std::string& address) {
        if (OnAddressWhitelisted)
            OnAddressWhitelisted(*this, address);
    };
}

TLocalSMTPServerMdl::~TLocalSMTPServerMdl()
{
    StopListening();
}

void TLocalSMTPServerMdl::StartListening(TTlsMode mode, uint16_t port)
{
    StopListening();
    RemoveSpoolLeftovers(SpoolFolder());
    stopping_ = false;
    tls_.reset();
    tls_ = ServerTlsContext(mode, settings_.certFolders);
    mode_ = mode;
    TListenSettings listen = ServerListenSettings(settings_.listenAddresses, port, settings_.maxConnections, mode,
                                                  tls_, settings_.timeouts.tlsHandshakeMs);
    listen.pendingTimeoutMs = settings_.timeouts.loginMs;
    listener_.Start(
        listen, [this](TcpConnection& c) { RunSession(c); }, [this](TcpConnection& c) { Refuse(c); });
}

void TLocalSMTPServerMdl::StopListening()
{
    if (listener_.IsListening()) {
        stopping_ = true;
        sender_->Abort();  // a relay in progress would hold the stop for its time-outs
    }
    listener_.Stop();
}

void TLocalSMTPServerMdl::Refuse(TcpConnection& connection) const
{
    // RFC 5321 §3.1: a server that cannot serve the client now greets with
    // 421. Short: this runs on the accept thread, which a slow client must
    // not hold.
    connection.WriteLine("421 Too many connections. Try again later.", 1000);
}

void TLocalSMTPServerMdl::Report(const std::string& message, const std::string& account) const
{
    if (settings_.reportError)
        settings_.reportError(message, account);
    else
        ReportError(message, account);
}

TRelayAnswer TLocalSMTPServerMdl::RelayMessage(const TDataSpool& text, const std::string& clientFrom,
                                               const std::vector<std::string>& envelope)
{
    // Every address the rule looks at is in the header block; the body is
    // relayed as it came, so it is not parsed (nor held) at all.
    std::uint64_t bodyOffset = 0;
    std::string header;
    try {
        header = ReadHeaderBlock(text, bodyOffset);
    } catch (const std::exception& e) {
        WriteTrace({"SMTP Spool", e.what()}, kTraceEvent);
        return {TRelayResult::LocalError, std::nullopt};
    }
    TMailMessage message;
    try {
        message.LoadFromRaw(header + "\r\n");
    } catch (const std::exception& e) {
        Report(e.what(), kUnknownAccountName);
        return {};
    }
    WriteTrace({"SMTP MsgReceive", "BCC", message.BccList.GetListText()}, 0);
    WriteTrace({"SMTP MsgReceive", "CC", message.CCList.GetListText()}, 0);
    WriteTrace({"SMTP MsgReceive", "Recipients", message.Recipients.GetListText()}, 0);
    const TAccountPtr account = FindRelayAccount(*settings_.accounts, message);
    if (!account) {
        Report(kUnknownAccountError, kUnknownAccountName);
        return {TRelayResult::UnknownAccount, std::nullopt};
    }
    std::lock_guard lock(relayMutex_);
    if (stopping_)
        return {};
    return Relay(*account, message, header, text, bodyOffset, clientFrom, envelope);
}

TRelayAnswer TLocalSMTPServerMdl::Relay(TAccount& account, const TMailMessage& message, const std::string& header,
                                        const TDataSpool& text, std::uint64_t bodyOffset,
                                        const std::string& clientFrom, const std::vector<std::string>& envelope)
{
    TMailEnvelope relayEnvelope = EnvelopeOf(message);
    relayEnvelope.Recipients = envelope;
    // The From address is what the account's server knows; a message
    // without one keeps the reverse-path the client gave.
    if (relayEnvelope.From.empty())
        relayEnvelope.From = clientFrom;
    const std::string name = account.Name();
    try {
        sender_->LastError.clear();
        const std::string kept = RemoveBccHeader(header);
        TSpoolDataSource data(kept, text, bodyOffset);
        if (sender_->SendText(account, relayEnvelope, data, false)) {
            RecordSent(account, message);
            if (!sender_->LastRelay().Refused.empty())
                NoticeRefusals(account, relayEnvelope.From, kept);
            return {TRelayResult::Relayed, std::nullopt};
        }
        if (data.ReadFailed()) {
            // Our own copy failed, not the account's server: the client
            // keeps the message and sends it again.
            WriteTrace({"SMTP Spool", sender_->LastError}, kTraceEvent);
            return {TRelayResult::LocalError, std::nullopt};
        }
        if (!sender_->LastError.empty())
            Report(sender_->LastError, name);
        return {TRelayResult::Failed, sender_->LastRelay().Refusal};
    } catch (const std::exception& e) {
        Report(e.what(), name);
    }
    return {};
}

// Best effort: the message is gone and the client must hear so; without the
// row a reply to it is only challenged as before.
void TLocalSMTPServerMdl::RecordSent(const TAccount& account, const TMailMessage& message) const
{
    const std::vector<std::string> ids = MessageIdsIn(message.Headers.Value("Message-ID"));
    if (ids.empty())
        return;
    try {
        TThreadData data(settings_.database);
        data.AppendSentMessage(ids.front(), TSentKind::Relayed, account.Name());
    } catch (const std::exception& e) {
        WriteTrace({"SentMessages Error: ", e.what()}, 2);
    }
}

void TLocalSMTPServerMdl::NoticeRefusals(TAccount& account, const std::string& sender, const std::string& header)
{
    TDeliveryNotice notice;
    notice.reportingHost = ServerHostName();
    notice.remoteHost = account.Outgoing().Server();
    notice.sender = sender;
    notice.headerBlock = header;
    notice.refused = sender_->LastRelay().Refused;
    const std::time_t now = std::time(nullptr);
    try {
        SaveDeliveryNotice(account.Name(), BuildDeliveryNotice(notice, now), now);
    } catch (const std::exception& e) {
        // The client was told 250 for the others; the refusals must still
        // reach the user.
        for (const TRecipientRefusal& r : notice.refused)
            Report("Message to " + r.Address + " refused: " + r.Reply.CodeAndText() + " (" + e.what() + ")",
                   account.Name());
    }
}

std::filesystem::path TLocalSMTPServerMdl::SpoolFolder() const
{
    return settings_.spoolFolder.empty() ? GetDataFolder() / kSMTPSpoolFolderName : settings_.spoolFolder;
}

std::string TLocalSMTPServerMdl::ServerHostName() const
{
    if (!settings_.serverHostName.empty())
        return settings_.serverHostName;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

std::pair<uint16_t, uint16_t> TLocalSMTPServerMdl::ChooseFreePorts(TOptions& options,
                                                                   const std::filesystem::path& optionsFile)
{
    std::set<uint16_t> skip;
    for (const int port : {options.POP3Port(), options.POP3PortSSL()})
        if (port > 0 && port <= 65535)
            skip.insert(static_cast<uint16_t>(port));
    const auto ports = ChooseFreePortPair(kFirstSMTPPort, skip, ServerListenAddresses(options.ListenAddress()));
    options.SetSMTPPort(ports.first);
    options.SetSMTPPortSSL(ports.second);
    options.SaveToFile(optionsFile);
    return ports;
}

bool TLocalSMTPServerMdl::TestPort(const TOptions& options)
{
    return TestOptionsPort(options.SMTPPort(), options.ListenAddress());
}

} // namespace bm
