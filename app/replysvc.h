#pragma once
// TReplyService: the quick reply to one message of either list: who sends
// it, to whom, its subject and its quoted text, ready for the user's mail
// program (which the view hands it to).
//
// Threads: main thread.

#include "app/appcoreU.h"

#include <functional>
#include <string>
#include <vector>

namespace bm {

struct TQuickReplyMail {
    std::string FromEmail; // the DefaultEMailAddress of the row's account ("" without one)
    std::string ToEmail;   // the From text of the message replied to
    std::string Subject;   // "Re: " and its subject
    std::string TextToSend;
};

// True when the lower-case text holds one of "<html", "<body", "<b>",
// "<font", "<i>", "<head>", "<div", "<br>".
bool IsHtmlText(const std::string& text);

// The reply's text: recipient, " wrote on ", date, " concerning ", subject,
// ":" and an empty line, then every line quoted: an empty line stays empty;
// any other is cut with WordWrap into pieces of " > " and what is left of
// the line, none longer than 70 characters; every line ends in CR LF.
std::string QuoteReplyText(const std::string& recipient, const std::string& date, const std::string& subject,
                           const std::vector<std::string>& lines);

class TReplyService {
public:
    // The mail program refused the text (title "Error", a warning icon).
    inline static const char* const kTextTooLarge = "Unable to send message!\r\nToo much text!";
    // Gives the plain text of an HTML document (the preview's converter).
    using THtmlToText = std::function<std::string(const std::string& html)>;

    explicit TReplyService(TAppCore& core) : core_(core) {}

    // The reply to an inbox row (its record's text lines and date text), or
    // to a quarantine row (its file's readable text and Date header; a file
    // that cannot be read gives an empty text). An HTML text is made a whole
    // document when it lacks "<html" and turned into plain text by toText
    // (left as it is when toText is unset).
    TQuickReplyMail ReplyTo(const TInboxRow& row, const THtmlToText& toText) const;
    TQuickReplyMail ReplyTo(const TTrashRow& row, const THtmlToText& toText) const;

private:
    TQuickReplyMail Build(const std::string& account, const std::string& from, const std::string& subject,
                          const std::string& date, std::vector<std::string> lines, const THtmlToText& toText) const;

    TAppCore& core_;
};

} // namespace bm
