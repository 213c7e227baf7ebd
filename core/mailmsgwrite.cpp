// Generating the text of a message the program built or changed: header
// fields from the message's fields (RFC 5322), encoded words for non-ASCII
// header text (RFC 2047), a single utf-8 text/plain body or a
// multipart/mixed body of the parts (RFC 2045, RFC 2046, RFC 2231).

#include "core/mailmsgimpl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <random>

namespace bm::mailimpl {

namespace {

// Header lines are folded to this width where a blank allows it
// (RFC 5322 section 2.1.1).
constexpr std::size_t kFoldWidth = 78;
// Longest line that 7bit and 8bit data may have, CR LF excluded
// (RFC 5322 section 2.1.1, RFC 2045 section 2.8).
constexpr std::size_t kMaxLine = 998;
// Bytes of UTF-8 per encoded word: 52 base64 characters, 64 in all.
constexpr std::size_t kWordBytes = 39;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const auto b = [&](std::size_t k) {
            return i + k < bytes.size() ? static_cast<unsigned char>(bytes[i + k]) : 0u;
        };
        const unsigned v = (b(0) << 16) | (b(1) << 8) | b(2);
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kBase64[v & 63] : '=';
    }
    return out;
}

// Base64 body lines of 76 characters (RFC 2045 section 6.8).
std::string Base64Body(std::string_view bytes) {
    const std::string encoded = Base64(bytes);
    std::string out;
    for (std::size_t i = 0; i < encoded.size(); i += 76) {
        out.append(encoded, i, 76);
        out += "\r\n";
    }
    return out;
}

bool IsPlainAscii(std::string_view text) {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u >= 0x7F) return false;
    }
    return true;
}

// Text that a reader would not give back as written unless encoded: 8-bit or
// control characters, "=?" (it would read as an encoded word), blanks at
// either end (the reader trims them).
bool NeedsEncodedWords(std::string_view text) {
    if (text.empty()) return false;
    return !IsPlainAscii(text) || text.find("=?") != std::string_view::npos || text.front() == ' ' ||
           text.front() == '\t' || text.back() == ' ' || text.back() == '\t';
}

// The text as base64 encoded words separated by blanks, never splitting a
// UTF-8 sequence (RFC 2047 sections 2 and 5).
std::string EncodedWords(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        std::string_view chunk = Utf8Prefix(text, kWordBytes);
        if (chunk.empty()) chunk = text.substr(0, kWordBytes); // a stray byte run
        if (!out.empty()) out += ' ';
        out += "=?utf-8?B?" + Base64(chunk) + "?=";
        text.remove_prefix(chunk.size());
    }
    return out;
}

// The longest run without blanks: a run too long to fold needs encoded words.
std::size_t LongestWord(std::string_view text) {
    std::size_t longest = 0, run = 0;
    for (const char c : text) {
        run = (c == ' ' || c == '\t') ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    return longest;
}

std::string OneLine(std::string_view value) {
    std::string out(value);
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The blank at which a line starting at start should fold: the last one
// within the width that is followed by a non-blank (a continuation line is
// never blank alone), else the first such one beyond it; npos for none.
std::size_t FoldPoint(std::string_view line, std::size_t start, std::size_t minPos) {
    std::size_t best = std::string_view::npos;
    for (std::size_t p = std::max(start + 1, minPos); p + 1 < line.size(); ++p) {
        if (!IsBlank(line[p]) || IsBlank(line[p + 1])) continue;
        if (p - start > kFoldWidth && best != std::string_view::npos) break;
        best = p;
        if (p - start > kFoldWidth) break;
    }
    return best;
}

// "Name: value" CR LF, folded before blanks so that unfolding (removing the
// inserted CR LF, RFC 5322 section 2.2.3) gives the value back exactly.
void WriteField(std::string& out, std::string_view name, std::string_view value) {
    const std::string line = std::string(name) + ": " + OneLine(value);
    std::size_t start = 0;
    while (line.size() - start > kFoldWidth) {
        const std::size_t fold = FoldPoint(line, start, name.size() + 2);
        if (fold == std::string::npos) break;
        out.append(line, start, fold - start);
        out += "\r\n";
        start = fold;
    }
    out.append(line, start);
    out += "\r\n";
}

std::string AddressText(const TMailAddress& item) {
    if (!item.Name.empty() && NeedsEncodedWords(item.Name))
        return EncodedWords(item.Name) + " <" + item.Address + ">";
    return item.GetText();
}

// Items holding neither a name nor an address are never written.
void WriteAddressField(std::string& out, std::string_view name, const TMailAddressList& list) {
    std::string value;
    for (const TMailAddress& item : list) {
        if (item.Name.empty() && item.Address.empty()) continue;
        if (!value.empty()) value += ", ";
        value += AddressText(item);
    }
    if (!value.empty()) WriteField(out, name, value);
}

// RFC 5322 section 3.3 date-time in local time with its offset; names are
// written out here since strftime would follow the user's locale.
std::string FormatMailDate(TSystemTime when) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    const long offset = tm.tm_gmtoff / 60;
    const long absOffset = offset < 0 ? -offset : offset;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday % 7],
                  tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return buffer;
}

std::string RandomHex(std::size_t digits) {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < digits; ++i) out += kHex[engine() & 15];
    return out;
}

std::string MessageId(const TMailMessage& msg) {
    std::string domain = "brixmoor.localhost";
    for (const TMailAddress& item : msg.FromList) {
        const std::size_t at = item.Address.rfind('@');
        if (at != std::string::npos && at + 1 < item.Address.size() && IsPlainAscii(item.Address)) {
            domain = item.Address.substr(at + 1);
            break;
        }
    }
    return "<" + RandomHex(24) + "@" + domain + ">";
}

// Header names the fields give; read lines of these names are not copied.
bool IsGeneratedName(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "From", "Sender", "Reply-To", "To", "Cc", "Bcc", "Subject", "Date", "MIME-Version",
        "Content-Type", "Content-Transfer-Encoding", "Content-Disposition", "Content-Length"};
    for (const std::string_view n : kNames)
        if (EqualsNoCase(n, name)) return true;
    return false;
}

void WriteHeaderFields(std::string& out, const TMailMessage& msg) {
    for (const THeaderLine& line : msg.Headers.Lines)
        if (!IsGeneratedName(line.Name) && !line.Name.empty()) WriteField(out, line.Name, line.Value);
    WriteAddressField(out, "From", msg.FromList);
    TMailAddressList sender;
    sender.Add(msg.Sender);
    WriteAddressField(out, "Sender", sender);
    WriteAddressField(out, "Reply-To", msg.ReplyTo);
    WriteAddressField(out, "To", msg.Recipients);
    WriteAddressField(out, "Cc", msg.CCList);
    if (!msg.Subject.empty()) {
        const bool encode = NeedsEncodedWords(msg.Subject) || LongestWord(msg.Subject) > kMaxLine - 100;
        WriteField(out, "Subject", encode ? EncodedWords(msg.Subject) : msg.Subject);
    }
    // Date 0 is stamped with the moment of writing; so is a date the clock
    // cannot hold (it spans about 1680 to 2255).
    const bool dated = msg.Date != 0 && msg.Date > -80000 && msg.Date < 130000;
    WriteField(out, "Date", FormatMailDate(dated ? TimePointFromDateTime(msg.Date) : SystemNow()));
    if (msg.Headers.Values("Message-ID").empty()) WriteField(out, "Message-ID", MessageId(msg));
    out += "MIME-Version: 1.0\r\n";
}

} // namespace

// --- Bodies ---------------------------------------------------------------------

namespace {

enum class TTextEncoding { SevenBit, EightBit, QuotedPrintable };

// 7bit or 8bit keep the lines as they are; quoted-printable is needed for a
// line over 998 octets or one holding NUL, CR or LF (RFC 2045 section 2.8).
TTextEncoding ChooseEncoding(const std::vector<std::string>& lines) {
    bool eightBit = false;
    for (const std::string& line : lines) {
        if (line.size() > kMaxLine || line.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos)
            return TTextEncoding::QuotedPrintable;
        for (const char c : line) eightBit = eightBit || static_cast<unsigned char>(c) >= 0x80;
    }
    return eightBit ? TTextEncoding::EightBit : TTextEncoding::SevenBit;
}

const char* EncodingName(TTextEncoding e) {
    switch (e) {
    case TTextEncoding::SevenBit: return "7bit";
    case TTextEncoding::EightBit: return "8bit";
    case TTextEncoding::QuotedPrintable: return "quoted-printable";
    }
    return "7bit";
}

// One line in quoted-printable with soft breaks keeping encoded lines at 76
// characters (RFC 2045 section 6.7); blanks at the end are encoded.
void AppendQpLine(std::string& out, std::string_view line) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t width = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        const bool last = i + 1 == line.size();
        const bool literal = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last);
        const std::size_t need = literal ? 1 : 3;
        if (width + need > 75) {
            out += "=\r\n";
            width = 0;
        }
        if (literal) {
            out += static_cast<char>(c);
        } else {
            out += '=';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        width += need;
    }
    out += "\r\n";
}

// The lines, each ended by CR LF, in the given transfer encoding.
std::string TextBody(const std::vector<std::string>& lines, TTextEncoding encoding) {
    std::string out;
    for (const std::string& line : lines) {
        if (encoding == TTextEncoding::QuotedPrintable) {
            AppendQpLine(out, line);
        } else {
            out += line;
            out += "\r\n";
        }
    }
    return out;
}

// A quoted-string parameter value (RFC 2045 section 5.1).
std::string QuotedParam(std::string_view value) {
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// RFC 2231 section 4 extended value: utf-8'' and percent-encoded bytes.
std::string ExtendedParam(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = "utf-8''";
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

bool IsMediaType(std::string_view type) {
    const std::size_t slash = type.find('/');
    if (slash == 0 || slash == std::string_view::npos || slash + 1 == type.size()) return false;
    for (const char c : type) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 32 || u >= 127 || c == ';' || c == '"' || c == '(' || c == ')' || c == ',') return false;
    }
    return true;
}

void WriteAttachmentPart(std::string& out, const TMessagePart& part) {
    const std::string type = IsMediaType(part.ContentType) ? part.ContentType : "application/octet-stream";
    std::string contentType = type;
    std::string disposition = "attachment";
    if (!part.FileName.empty()) {
        const bool plain = IsPlainAscii(part.FileName) && part.FileName.find("=?") == std::string::npos;
        // One encoded word for name= (readers that join adjacent base64 words
        // stumble over padding inside); filename*= is the standard form.
        contentType += "; name=" + QuotedParam(plain ? part.FileName : "=?utf-8?B?" + Base64(part.FileName) + "?=");
        disposition += plain ? "; filename=" + QuotedParam(part.FileName)
                             : "; filename*=" + ExtendedParam(part.FileName);
    }
    WriteField(out, "Content-Type", contentType);
    out += "Content-Transfer-Encoding: base64\r\n";
    WriteField(out, "Content-Disposition", disposition);
    out += "\r\n";
    out += Base64Body(part.Content);
}

void WriteTextPart(std::string& out, const TMessagePart& part) {
    const std::string type = IsMediaType(part.ContentType) ? part.ContentType : "text/plain";
    const TTextEncoding encoding = ChooseEncoding(part.Lines);
    out += "Content-Type: " + type + "; charset=utf-8\r\n";
    out += std::string("Content-Transfer-Encoding: ") + EncodingName(encoding) + "\r\n\r\n";
    out += TextBody(part.Lines, encoding);
}

// A boundary that no line of the message holds (RFC 2046 section 5.1.1);
// encoded parts cannot hold "=_", so only text lines are checked.
std::string ChooseBoundary(const TMailMessage& msg) {
    for (;;) {
        const std::string boundary = "=_bm_" + RandomHex(28);
        bool clash = false;
        const auto check = [&](const std::vector<std::string>& lines) {
            for (const std::string& line : lines) clash = clash || line.find(boundary) != std::string::npos;
        };
        check(msg.Body);
        for (const TMessagePart& part : msg.Parts) check(part.Lines);
        if (!clash) return boundary;
    }
}

void WriteMultipartBody(std::string& out, const TMailMessage& msg) {
    const std::string boundary = ChooseBoundary(msg);
    out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
    // The preamble is not MIME content: written as its lines (RFC 2046 5.1.1).
    for (const std::string& line : msg.Body) out += OneLine(line) + "\r\n";
    for (const TMessagePart& part : msg.Parts) {
        out += "--" + boundary + "\r\n";
        if (part.Kind == TPartKind::Text) WriteTextPart(out, part);
        else WriteAttachmentPart(out, part);
        out += "\r\n"; // belongs to the delimiter line
    }
    out += "--" + boundary + "--\r\n";
}

} // namespace

std::string GenerateMessage(const TMailMessage& msg) {
    std::string out;
    WriteHeaderFields(out, msg);
    if (msg.Parts.empty()) {
        const TTextEncoding encoding = ChooseEncoding(msg.Body);
        out += "Content-Type: text/plain; charset=utf-8\r\n";
        out += std::string("Content-Transfer-Encoding: ") + EncodingName(encoding) + "\r\n\r\n";
        out += TextBody(msg.Body, encoding);
    } else {
        WriteMultipartBody(out, msg);
    }
    return out;
}

} // namespace bm::mailimpl
