// Keys, the key search, the sender rules and the two messages built for the
// challenge exchange (the part of the classifier that touches no store).
#include "check/remotechkmdl.h"

#include "config/acctU.h"
#include "config/badmailreplyU.h"
#include "config/textcaseU.h"
#include "core/commonsU.h"
#include "core/errorsU.h"
#include "core/mailmsgU.h"
#include "core/msghelpersU.h"
#include "store/quarantinedbU.h"

#include <cctype>
#include <initializer_list>
#include <mutex>
#include <random>
#include <vector>

namespace bm {

namespace {

std::vector<std::string> Tokens(std::string_view text)
{
    std::vector<std::string> tokens;
    ExtractTokens(text, " ", false, tokens);
    return tokens;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One line as a reader sees it: the quote marks in front dropped.
std::string_view Unquoted(std::string_view line)
{
    std::size_t i = 0;
    while (i < line.size() && (line[i] == '>' || IsBlank(line[i])))
        ++i;
    return line.substr(i);
}

// Appends the line to text: one blank before it, blank runs read as one.
void AppendUnwrapped(std::string& text, std::string_view line)
{
    text += ' ';
    for (char c : Unquoted(line)) {
        if (IsBlank(c)) {
            if (text.back() != ' ')
                text += ' ';
        } else {
            text += c;
        }
    }
}

std::string SearchedText(const TMailMessage& message)
{
    std::string text;
    for (const std::string& line : message.Body)
        AppendUnwrapped(text, line);
    for (const TMessagePart& part : message.Parts) {
        if (part.Kind != TPartKind::Text)
            continue;
        for (const std::string& line : part.Lines)
            AppendUnwrapped(text, line);
    }
    return text;
}

} // namespace

std::string GenerateKey()
{
    static std::mutex mutex;
    static std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    std::uniform_int_distribution<std::size_t> pick(0, kKeyAlphabet.size() - 1);
    std::string key(kKeyLength, ' ');
    std::lock_guard lock(mutex);
    for (char& c : key)
        c = kKeyAlphabet[pick(generator)];
    return key;
}

std::string KeyMarkerLine(std::string_view key)
{
    return std::string(kKeyMarkerOpening) + std::string(key) + std::string(kKeyMarkerClosing);
}

std::string ExtractKey(const TMailMessage& message)
{
    const std::string text = SearchedText(message);
    const std::size_t opening = text.find(kKeyMarkerOpening);
    if (opening == std::string::npos)
        return {};
    const std::size_t start = opening + kKeyMarkerOpening.size();
    const std::size_t closing = text.find(kKeyMarkerClosing, start);
    if (closing == std::string::npos)
        return {};
    std::string key = TrimText(std::string_view(text).substr(start, closing - start));
    if (key.size() > kKeyFieldSize)
        return {};
    return key;
}

bool SendersMatch(std::string_view fromList, std::string_view senderText)
{
    const std::vector<std::string> known = Tokens(fromList);
    for (const std::string& address : Tokens(senderText)) {
        for (const std::string& k : known) {
            if (SameTextIgnoringCase(address, k))
                return true;
        }
    }
    return false;
}

std::string SenderRecipientsText(std::string_view senderText)
{
    std::string text;
    for (const std::string& address : Tokens(senderText)) {
        if (!text.empty())
            text += ", ";
        text += address;
    }
    return text;
}

bool IsFromOwnAddress(const TAccount& account, const TMailMessage& message)
{
    const std::vector<std::string> own = account.Outgoing().EMailAddresses();
    const std::string defaultAddress = account.Outgoing().DefaultEMailAddress();
    for (const std::string& sender : GetSenderAddresses(message)) {
        if (!defaultAddress.empty() && sender == defaultAddress)
            return true;
        for (const std::string& address : own) {
            if (SameTextIgnoringCase(sender, address))
                return true;
        }
    }
    return false;
}

TMailMessage BuildChallenge(const TAccount& account, const TBadMailReply& reply, std::string_view key,
                            std::string_view senderText, const std::string& ownAddress)
{
    TMailMessage m;
    m.Body = reply.Body;
    if (account.KeysInMessages()) {
        m.Body.push_back(" -- DO NOT EDIT BELOW THIS LINE --");
        m.Body.push_back(KeyMarkerLine(key));
        m.Body.push_back(" -- This message was sent by " + GetProductTitle());
        m.Body.push_back(" -- " + GetProductName() + ", challenge/response mail filter: " +
                         std::string(kProductHomePage));
    }
    m.Recipients.SetFromText(SenderRecipientsText(senderText));
    m.Subject = ownAddress + ": " + reply.Subject();
    if (!ownAddress.empty())
        m.GetFrom().Address = ownAddress;
    return m;
}

TMailMessage BuildConfirmation(std::string_view key, std::string_view senderText, const std::string& subject,
                               const std::string& ownAddress)
{
    TMailMessage m;
    m.Body.push_back(KeyMarkerLine(key));
    m.Recipients.SetFromText(SenderRecipientsText(senderText));
    m.Subject = subject;
    if (!ownAddress.empty())
        m.GetFrom().Address = ownAddress;
    return m;
}

namespace {

bool HeaderIs(const TMailMessage& message, std::string_view name, std::initializer_list<std::string_view> values)
{
    for (const std::string& value : message.Headers.Values(name)) {
        const std::string v = TrimText(value);
        for (const std::string_view candidate : values)
            if (SameTextIgnoringCase(v, candidate))
                return true;
    }
    return false;
}

bool LocalPartIs(std::string_view address, std::string_view local)
{
    const std::size_t at = address.find('@');
    return SameTextIgnoringCase(address.substr(0, at), local);
}

// The authserv-id of an Authentication-Results value: its first token,
// before any version number or ";" (RFC 8601 §2.2).
std::string AuthServId(std::string_view value)
{
    std::string id = TrimText(value.substr(0, value.find(';')));
    return id.substr(0, id.find_first_of(" \t"));
}

// The result a method gives in an Authentication-Results value: the word
// after "method=" in the first resinfo of that method, lower-cased.
std::string AuthResult(std::string_view value, std::string_view method)
{
    std::size_t semicolon = value.find(';');
    while (semicolon != std::string_view::npos) {
        const std::size_t next = value.find(';', semicolon + 1);
        const std::string info = TrimText(value.substr(semicolon + 1, next == std::string_view::npos
                                                                           ? std::string_view::npos
                                                                           : next - semicolon - 1));
        const std::size_t eq = info.find('=');
        if (eq != std::string::npos && SameTextIgnoringCase(TrimText(info.substr(0, eq)), method)) {
            std::string result = TrimText(info.substr(eq + 1));
            result = result.substr(0, result.find_first_of(" \t("));
            for (char& c : result)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return result;
        }
        semicolon = next;
    }
    return {};
}

} // namespace

std::string AutomaticMailReason(const TMailMessage& message)
{
    for (const char* name : {"List-Id", "List-Unsubscribe", "List-Post", "Mailing-List", "X-Mailing-List"})
        if (!message.Headers.Values(name).empty())
            return "list mail";
    if (HeaderIs(message, "Precedence", {"list"}))
        return "list mail";
    for (const std::string& value : message.Headers.Values("Auto-Submitted"))
        if (!SameTextIgnoringCase(TrimText(value.substr(0, value.find(';'))), "no"))
            return "automatic mail";
    if (HeaderIs(message, "Precedence", {"bulk", "junk"}))
        return "automatic mail";
    const std::vector<std::string> returnPath = message.Headers.Values("Return-Path");
    if (HeaderIs(message, "Return-Path", {"<>"}) ||
        (returnPath.empty() && !message.Headers.Values("Delivered-To").empty()))
        return "automatic mail";
    for (const std::string& sender : GetSenderAddresses(message))
        if (LocalPartIs(sender, "MAILER-DAEMON") || LocalPartIs(sender, "postmaster"))
            return "automatic mail";
    const std::string type = message.Headers.Value("Content-Type");
    if (SameTextIgnoringCase(TrimText(type.substr(0, type.find(';'))), "multipart/report"))
        return "automatic mail";
    return {};
}

bool FailsOwnServerAuthentication(const TAccount& account, const TMailMessage& message)
{
    const std::string host = TrimText(account.Incoming().Server());
    if (host.empty())
        return false;
    const std::size_t dot = host.find('.');
    // "example.com" of "pop.example.com"; a two-label host is its own domain.
    const std::string domain =
        dot != std::string::npos && host.find('.', dot + 1) != std::string::npos ? host.substr(dot + 1) : host;
    for (const std::string& value : message.Headers.Values("Authentication-Results")) {
        const std::string id = AuthServId(value);
        if (!SameTextIgnoringCase(id, host) && !SameTextIgnoringCase(id, domain))
            continue;
        if (AuthResult(value, "dmarc") == "fail")
            return true;
        return AuthResult(value, "spf") == "fail" && AuthResult(value, "dkim") != "pass";
    }
    return false;
}

std::string MarkAsAutoReply(TMailMessage& reply, const TMailMessage& answered, const std::string& ownAddress)
{
    const std::size_t at = ownAddress.rfind('@');
    const std::string domain =
        at != std::string::npos && at + 1 < ownAddress.size() ? ownAddress.substr(at + 1) : "brixmoor.localhost";
    const std::string id = GenerateKey() + ".auto@" + domain;
    reply.Headers.Add("Message-ID", "<" + id + ">");
    const std::vector<std::string> answeredIds = MessageIdsIn(answered.Headers.Value("Message-ID"));
    if (!answeredIds.empty()) {
        const std::string parent = "<" + answeredIds.front() + ">";
        reply.Headers.Add("In-Reply-To", parent);
        std::string references;
        for (const std::string& r : MessageIdsIn(answered.Headers.Value("References")))
            references += "<" + r + "> ";
        if (references.empty())
            for (const std::string& r : MessageIdsIn(answered.Headers.Value("In-Reply-To")))
                references += "<" + r + "> ";
        reply.Headers.Add("References", references + parent);
    }
    reply.Headers.Add("Auto-Submitted", "auto-replied");
    reply.Headers.Add("Precedence", "bulk");
    return id;
}

} // namespace bm
