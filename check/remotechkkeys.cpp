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

} // namespace bm
