// The delivery status notification the relay puts into the inbox when the
// account's server refused some recipients of a message it took for the
// others (RFC 3464 in a multipart/report of RFC 6522).

#include "servers/smtpsrvmdl.h"

#include <atomic>
#include <cstdio>
#include <random>

#include "store/msgfilesU.h"

namespace bm {

namespace {

std::string HexOf(unsigned long long value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llx", value);
    return buffer;
}

// Unique within the process, and across runs by the random part.
std::string UniquePart(std::time_t now)
{
    static std::atomic<unsigned> counter{0};
    static const unsigned long long seed = std::random_device{}();
    return HexOf(static_cast<unsigned long long>(now)) + "-" + HexOf(seed & 0xffffffffULL) + "-" +
           HexOf(++counter);
}

std::string StatusOf(const TSmtpReply& reply)
{
    const std::string enhanced = EnhancedStatusCode(reply);
    if (!enhanced.empty())
        return enhanced;
    return IsTransientReply(reply.Code) ? "4.0.0" : "5.0.0";
}

std::string TextPart(const TDeliveryNotice& notice)
{
    std::string text = "This is the mail system at host " + notice.reportingHost +
                       ".\r\n\r\n"
                       "Your message was delivered to its other recipients, but the server\r\n" +
                       notice.remoteHost + " refused the recipients below. A refusal whose code\r\n"
                       "begins with 4 is temporary: send the message to that recipient again\r\n"
                       "later. One beginning with 5 is final.\r\n\r\n";
    for (const TRecipientRefusal& r : notice.refused)
        text += "<" + r.Address + ">: " + r.Reply.CodeAndText() + "\r\n";
    return text;
}

std::string StatusPart(const TDeliveryNotice& notice, std::time_t now)
{
    // RFC 3464 §2.2: the per-message fields, then one block per recipient.
    std::string text = "Reporting-MTA: dns; " + notice.reportingHost + "\r\n" +
                       "Arrival-Date: " + FormatMailDate(now) + "\r\n";
    for (const TRecipientRefusal& r : notice.refused) {
        text += "\r\n"
                "Final-Recipient: rfc822; " + r.Address + "\r\n"
                "Action: failed\r\n"
                "Status: " + StatusOf(r.Reply) + "\r\n"
                "Remote-MTA: dns; " + notice.remoteHost + "\r\n"
                "Diagnostic-Code: smtp; " + r.Reply.CodeAndText() + "\r\n";
    }
    return text;
}

} // namespace

std::string BuildDeliveryNotice(const TDeliveryNotice& notice, std::time_t now)
{
    const std::string unique = UniquePart(now);
    const std::string boundary = "=_brixmoor-report-" + unique;
    std::string headers = notice.headerBlock;
    if (!headers.empty() && !headers.ends_with("\r\n"))
        headers += "\r\n";
    return "From: Mail Delivery System <MAILER-DAEMON@" + notice.reportingHost + ">\r\n"
           "To: <" + notice.sender + ">\r\n"
           "Subject: Undelivered Mail Returned to Sender\r\n"
           "Date: " + FormatMailDate(now) + "\r\n"
           "Message-ID: <dsn-" + unique + "@" + notice.reportingHost + ">\r\n"
           "Auto-Submitted: auto-replied\r\n"  // RFC 3834 §5
           "MIME-Version: 1.0\r\n"
           "Content-Type: multipart/report; report-type=delivery-status;\r\n"
           "\tboundary=\"" + boundary + "\"\r\n"
           "\r\n"
           "This is a MIME-encapsulated message.\r\n"
           "\r\n"
           "--" + boundary + "\r\n"
           "Content-Type: text/plain; charset=utf-8\r\n"
           "\r\n" +
           TextPart(notice) +
           "\r\n"
           "--" + boundary + "\r\n"
           "Content-Type: message/delivery-status\r\n"
           "\r\n" +
           StatusPart(notice, now) +
           "\r\n"
           "--" + boundary + "\r\n"
           "Content-Type: text/rfc822-headers\r\n"
           "\r\n" +
           headers +
           "\r\n"
           "--" + boundary + "--\r\n";
}

std::string SaveDeliveryNotice(const std::string& account, const std::string& text, std::time_t now)
{
    const std::string id = "dsn-" + UniquePart(now);
    SaveMessageText(account, id, false, StuffRawText(text));
    return id;
}

} // namespace bm
