#include "app/replysvc.h"

#include "app/svcsupport.h"
#include "config/acctU.h"
#include "config/textcaseU.h"
#include "core/commonsU.h"
#include "core/datetimeU.h"
#include "core/msghelpersU.h"
#include "store/msgsU.h"

#include <algorithm>

namespace bm {

namespace {

// The quote prefix: three characters of each quoted line's 70.
constexpr std::string_view kQuote = " > ";
constexpr int kQuoteMargin = 70;

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\r\n" : "") + lines[i];
    return text;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        lines.push_back(std::move(line));
        line.clear();
    }
    if (!line.empty())
        lines.push_back(std::move(line));
    return lines;
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

bool IsHtmlText(const std::string& text)
{
    const std::string lower = LowerText(text);
    for (const char* tag : {"<html", "<body", "<b>", "<font", "<i>", "<head>", "<div", "<br>"})
        if (lower.find(tag) != std::string::npos)
            return true;
    return false;
}

std::string QuoteReplyText(const std::string& recipient, const std::string& date, const std::string& subject,
                           const std::vector<std::string>& lines)
{
    std::string text = recipient + " wrote on " + date + " concerning " + subject + ":\r\n\r\n";
    for (const std::string& line : lines) {
        if (line.empty()) {
            text += "\r\n";
            continue;
        }
        // Wrapping what is left at 67 and putting the prefix before it cuts
        // where wrapping the prefixed rest at 70 would, except that the
        // prefix's own blank is never taken for a break (which would never
        // shorten a line that begins with a long word).
        std::string rest = line;
        do {
            const TWrappedText piece = WordWrap(rest, kQuoteMargin - static_cast<int>(kQuote.size()));
            text += std::string(kQuote) + piece.First + "\r\n";
            rest = piece.Rest;
        } while (!rest.empty());
    }
    return text;
}

TQuickReplyMail TReplyService::Build(const std::string& account, const std::string& from,
                                     const std::string& subject, const std::string& date,
                                     std::vector<std::string> lines, const THtmlToText& toText) const
{
    std::string body = JoinLines(lines);
    if (IsHtmlText(body) && toText) {
        if (LowerText(Trimmed(body)).find("<html") == std::string::npos)
            body = "<html><head></head><body>" + body + "</body></html>";
        lines = SplitLines(toText(body));
    }
    TQuickReplyMail mail;
    if (const TAccountPtr a = core_.accounts_.FindByName(account))
        mail.FromEmail = a->Outgoing().DefaultEMailAddress();
    mail.ToEmail = from;
    mail.Subject = "Re: " + subject;
    mail.TextToSend = QuoteReplyText(from, date, subject, lines);
    return mail;
}

TQuickReplyMail TReplyService::ReplyTo(const TInboxRow& row, const THtmlToText& toText) const
{
    std::vector<std::string> lines;
    std::string date = row.DateText;
    if (const TKnownMessage* record = core_.inboxList_.Find(row.Account, row.Id))
        lines = record->TextLines;
    return Build(row.Account, row.From, row.Subject, date, std::move(lines), toText);
}

TQuickReplyMail TReplyService::ReplyTo(const TTrashRow& row, const THtmlToText& toText) const
{
    std::vector<std::string> lines;
    std::string date;
    std::optional<TMailMessage> message;
    try {
        message = ReadMessageFile(MessageFilePath(row.Account, row.UIDL, true));
    } catch (const std::exception&) {
        // an account name that names no folder: an empty text
    }
    if (message) {
        lines = GetMessageText(*message);
        if (message->Date != 0)
            date = FormatDateTimeText(kDisplayDateTimeFormat, message->Date);
    }
    return Build(row.Account, row.From, row.Subject, date, std::move(lines), toText);
}

} // namespace bm
