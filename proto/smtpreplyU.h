#pragma once
// The pieces of the SMTP client that read what a server sends and lay out
// what it is sent, kept apart from the connection so they can be tested on
// their own: the reply parser (RFC 5321 §4.2), the EHLO capability reading
// (RFC 5321 §4.1.1.1, RFC 4954 §3), and the DATA text of both text forms
// (RFC 5321 §4.5.2).

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// One complete reply.
struct TSmtpReply {
    int Code = 0;                   // the three-digit code
    std::vector<std::string> Lines; // the text of each line, without code and separator
    // The lines joined by one blank: the text an error shows.
    std::string Text() const;
    // The code, a blank and Text(): the reply as the server wrote it, for
    // reports and delivery status notifications.
    std::string CodeAndText() const;
};

// A recipient the server refused at RCPT, with its reply.
struct TRecipientRefusal {
    std::string Address;
    TSmtpReply Reply;
};

// RFC 5321 §4.2.1: the first digit of the code alone decides; the text is
// for people (Postfix names the recipient in its refusals, "554 5.7.1
// <bob@example.net>: Relay access denied").
inline bool IsPositiveReply(int code) { return code >= 200 && code < 300; }
inline bool IsTransientReply(int code) { return code >= 400 && code < 500; }
inline bool IsPermanentReply(int code) { return code >= 500 && code < 600; }

// The enhanced status code (RFC 3463 §2, RFC 2034 §4) that begins the
// reply's first line, e.g. "5.7.1"; "" when there is none or its class
// digit differs from the reply code's.
std::string EnhancedStatusCode(const TSmtpReply& reply);

// The reply's text without the enhanced status code in front of its first
// line (the code a server of ours puts there itself).
std::string TextWithoutEnhancedCode(const TSmtpReply& reply);

// True when the refusal is one a login would lift: 530 (authentication
// required, RFC 4954 §6), 535 (credentials refused), or 550 / 554 with an
// enhanced code of the security or policy class 5.7.x (RFC 3463 §3.8), as
// Postfix refuses relaying for a client that has not logged in.
bool LoginWouldCure(const TSmtpReply& reply);

// An error reply (code 4yz or 5yz, or a code the command did not expect).
// what() is the reply's text (without the code), as servers word it, e.g.
// "5.7.0 Authentication required".
class ESmtpReplyError : public std::runtime_error {
public:
    explicit ESmtpReplyError(TSmtpReply reply);
    const TSmtpReply& Reply() const { return reply_; }
    int Code() const { return reply_.Code; }

private:
    TSmtpReply reply_;
};

// A reply that breaks the grammar (no code, codes differing between the lines
// of one reply, too many lines). what() "Invalid SMTP reply: " and the line.
class ESmtpProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Collects the lines of one reply. Lines are given without their CR LF. Each
// line is "ddd-text" (more lines follow), "ddd text" or "ddd" (the last
// line, RFC 5321 §4.2.1). A line that was cut by the reader's limit is given
// as far as it was kept.
class TSmtpReplyParser {
public:
    explicit TSmtpReplyParser(std::size_t maxLines) : maxLines_(maxLines) {}
    // True when the line completed the reply (see Reply()); false when more
    // lines must follow. Throws ESmtpProtocolError; the parser is unusable
    // afterwards (the connection has lost synchronisation).
    bool Feed(std::string_view line);
    const TSmtpReply& Reply() const { return reply_; }
    // Makes the parser ready for the next reply.
    void Reset();

private:
    std::size_t maxLines_;
    TSmtpReply reply_;
};

// What an EHLO reply offers.
struct TSmtpCapabilities {
    bool StartTls = false;
    bool AuthLogin = false;
    bool AuthPlain = false;
};
// Reads the keyword lines of an EHLO reply (every line after the first).
// AUTH mechanisms come from "AUTH m1 m2" and from the older "AUTH=m1 m2";
// keywords and mechanisms are compared without regard to letter case.
TSmtpCapabilities ReadCapabilities(const TSmtpReply& ehloReply);

// The DATA bytes of a text in the message text form: the text itself when it
// ends with the line "." (or is that line alone); otherwise the text with the
// missing CR LF and the line "." added.
std::string CompleteStoredText(std::string_view stored);

// The DATA bytes of a plain RFC 5322 text: every CR LF, lone CR and lone LF
// ends a line and is sent as CR LF; a line beginning with "." gets one more
// "." in front (RFC 5321 §4.5.2); an unended last line is ended; the line "."
// follows. A text in CR LF lines comes back with only those two changes.
std::string StuffRawText(std::string_view raw);

// True when text contains needle, compared without regard to ASCII letter
// case (addresses in reply texts are compared this way).
bool ContainsIgnoringCase(std::string_view text, std::string_view needle);

} // namespace bm
