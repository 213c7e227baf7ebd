#pragma once
// The mail message model: a message parsed from its RFC 5322 / MIME text
// (RFC 2045-2049) into address lists, a subject, a date, the raw header
// lines, the body lines and the flattened MIME parts, and the message text
// form in which messages are stored and transferred.
//
// Message text form (message files, the send queue, POP3 RETR and SMTP DATA):
// header lines, one empty line, the body; every line ends in CR LF; a line
// beginning with "." gets one more "." in front (RFC 1939 section 3,
// RFC 5321 section 4.5.2); the last line is a single "." and CR LF. A stored
// message is therefore 3 bytes longer than the message it holds.
//
// A message that was read keeps the exact text it was read from; SaveToStream
// writes that text back unchanged, byte for byte, as long as no field
// differs from what was read. Only messages the program built or changed are
// generated from their fields.
//
// All strings are UTF-8: text parts and encoded words are converted from
// their declared charsets, header bytes that are not valid UTF-8 are read as
// Windows-1252. Parsing is bounded (TMessageLimits) and never fails on
// malformed input; it gives whatever could be parsed.
//
// Threads: a message object is used by one thread at a time; any number of
// threads may parse their own messages at the same time.

#include "core/datetimeU.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// --- Addresses ---------------------------------------------------------------

// One address item.
class TMailAddress {
public:
    std::string Name;    // display name, unquoted and decoded; may be empty
    std::string Address; // local part, "@", domain; letter case as written

    // The item in header form: the bare Address when Name is empty (in angle
    // brackets when it holds a colon, which would read as a group name), otherwise
    // the name, a blank and "<" Address ">". The name is put in double quotes
    // (with \ and " escaped by a backslash) when it holds a character other
    // than an ASCII letter, a digit, a blank or one of !#$%&'*+-/=?_`{|}~.
    std::string GetText() const;
    // Parses one item in header form into Name and Address:
    //   addr | name <addr> | "quoted name" <addr> | addr (comment as name)
    // Surrounding blanks are dropped, a quoted name is unquoted, a group name
    // before a ":" (RFC 5322 section 3.4 "group") is dropped. Never fails.
    void SetText(std::string_view text);

    bool operator==(const TMailAddress&) const = default;
};

// An ordered list of address items.
class TMailAddressList {
public:
    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    // Item by index; the index must be below Count().
    TMailAddress& operator[](std::size_t index) { return items_.at(index); }
    const TMailAddress& operator[](std::size_t index) const { return items_.at(index); }
    // Appends an empty item and returns it (the reference lives until the
    // list is next changed).
    TMailAddress& Add();
    // Appends a copy of an item.
    void Add(const TMailAddress& item);
    // Removes the item at index (below Count()).
    void Delete(std::size_t index);
    void Clear() { items_.clear(); }

    // Clears the list, then reads text as an address list: only "," and ";"
    // separate items; blanks and tabs stay inside an item; a double-quoted
    // string or a parenthesised comment stays whole; a backslash quotes the
    // next character. Each item's text goes to TMailAddress::SetText. An item
    // whose text (blanks trimmed) is empty or exactly "<>" is dropped, and so
    // is one that gives neither a name nor an address (a bare group name such
    // as "undisclosed-recipients:"). An empty or blank text leaves the list
    // empty.
    void SetFromText(std::string_view text);
    // The items' GetText() joined by ", "; "" for an empty list.
    std::string GetListText() const;

    std::vector<TMailAddress>::iterator begin() { return items_.begin(); }
    std::vector<TMailAddress>::iterator end() { return items_.end(); }
    std::vector<TMailAddress>::const_iterator begin() const { return items_.begin(); }
    std::vector<TMailAddress>::const_iterator end() const { return items_.end(); }

    bool operator==(const TMailAddressList&) const = default;

private:
    std::vector<TMailAddress> items_;
};

// --- Header lines ------------------------------------------------------------

// One header line as received: the name as written, the value unfolded
// (the CR LF of each continuation removed, RFC 5322 section 2.2.3), with the
// blanks after the colon dropped; not decoded.
struct THeaderLine {
    std::string Name;
    std::string Value;
    bool operator==(const THeaderLine&) const = default;
};

// The ordered header lines of a message.
class THeaderList {
public:
    std::vector<THeaderLine> Lines;

    // Every value of the header lines named name (compared without regard to
    // letter case), in order; used to collect the "Received" chain.
    std::vector<std::string> Values(std::string_view name) const;
    // The first value named name, or "" when there is none.
    std::string Value(std::string_view name) const;
    // The whole block as text: name, ": ", value and CR LF for each line.
    std::string Text() const;
    void Add(std::string name, std::string value);
    void Clear() { Lines.clear(); }
    std::size_t Count() const { return Lines.size(); }

    bool operator==(const THeaderList&) const = default;
};

// --- Parts -------------------------------------------------------------------

enum class TPartKind { Text, Attachment };

// One leaf MIME part, in document order.
struct TMessagePart {
    TPartKind Kind = TPartKind::Attachment;
    // The media type alone, lower case, without parameters ("text/plain").
    std::string ContentType;
    // Text part: the decoded text as lines (UTF-8, line ends removed).
    std::vector<std::string> Lines;
    // Attachment: the file name from Content-Disposition filename= or else
    // Content-Type name= (RFC 2231 and RFC 2047 decoded); may be empty.
    std::string FileName;
    // Attachment: the decoded content bytes (read it as a stream with
    // std::istringstream).
    std::string Content;

    // Writes Content to file, replacing it atomically. Throws TMailMessageError
    // "Cannot save attachment to file %s" when the file cannot be written.
    void SaveContentToFile(const std::filesystem::path& file) const;

    bool operator==(const TMessagePart&) const = default;
};

// --- Message -----------------------------------------------------------------

// Failures of the message model: a missing file, an over-long message.
class TMailMessageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bounds of the parser. Input beyond a bound is not an error (except
// MaxMessageBytes): it is left out of the parsed fields, while the text that
// was read is still kept whole.
struct TMessageLimits {
    // Longest message text accepted; LoadFromStream throws TMailMessageError
    // "Message is larger than %d bytes" beyond it (nothing is kept).
    std::size_t MaxMessageBytes = 256u * 1024 * 1024;
    // Header lines after this many bytes of header block are not parsed.
    std::size_t MaxHeaderBlockBytes = 1024 * 1024;
    // An unfolded header line is cut to this many bytes for parsing.
    std::size_t MaxHeaderLineBytes = 256 * 1024;
    // Leaf parts beyond this count are dropped.
    std::size_t MaxParts = 1000;
    // Multiparts nested deeper than this are not split further.
    int MaxDepth = 32;
};

class TMailMessage {
public:
    TMailMessage();
    ~TMailMessage();
    TMailMessage(const TMailMessage&);
    TMailMessage& operator=(const TMailMessage&);
    TMailMessage(TMailMessage&&) noexcept;
    TMailMessage& operator=(TMailMessage&&) noexcept;

    TMailAddressList FromList;   // From
    TMailAddress Sender;         // Sender (empty when absent)
    TMailAddressList ReplyTo;    // Reply-To
    TMailAddressList Recipients; // To
    TMailAddressList CCList;     // Cc
    // Bcc when one was read; for an outgoing message also the extra envelope
    // recipients. Never written as a header (RFC 5322 section 3.6.3), so
    // changing it does not count as a change of the message text.
    TMailAddressList BccList;
    std::string Subject; // decoded
    // The Date header in local time; 0 when absent or unreadable. A built
    // message keeps 0: writing it stamps the moment of writing.
    TDateTime Date = 0;
    THeaderList Headers; // every header line as received, in order
    // The text of a message that is not multipart (decoded, without any
    // uuencoded or xxencoded block); for a multipart message the preamble.
    std::vector<std::string> Body;
    // The leaf MIME parts, nested multiparts flattened in document order;
    // uuencoded and xxencoded blocks of a plain body become attachments here.
    std::vector<TMessagePart> Parts;

    // Makes the message empty, as new (no text kept).
    void Clear();

    // The first FromList item; when FromList is empty an empty item is added
    // first. (An empty item is never written, and adding it is not a change.)
    TMailAddress& GetFrom();

    // Clears the message, then reads the message text form from the stream's
    // current position up to and including the terminating "." line, or to
    // the end of the stream when that line is missing; undoes dot-stuffing,
    // reads lone CR or LF line ends as CR LF, and parses the text. Reads no
    // byte past the terminating line. Throws TMailMessageError only for a
    // text beyond limits.MaxMessageBytes.
    void LoadFromStream(std::istream& in, const TMessageLimits& limits = {});
    // The same from a file. Throws TMailMessageError
    // "Cannot load message from file %s" (the path) when it cannot be opened.
    void LoadFromFile(const std::filesystem::path& file, const TMessageLimits& limits = {});
    // The same from a string holding the message text form.
    void LoadFromString(std::string_view stored, const TMessageLimits& limits = {});
    // Parses a message text that is NOT in the stored form: no dot-stuffing,
    // no terminating line (line ends are still normalised to CR LF).
    void LoadFromRaw(std::string_view raw, const TMessageLimits& limits = {});

    // Writes the message text form, ending with the terminating line. A read,
    // unchanged message writes the text it was read from, Bcc lines included
    // (a relay removes them itself); any other is generated: the header lines read (except those the
    // fields give), From, Sender, Reply-To, To, Cc, Subject, Date (now when
    // Date is 0), a Message-ID when none was read, MIME-Version and content
    // headers; a single text/plain utf-8 message (7bit, 8bit, or
    // quoted-printable for lines over 998 octets) when there are no Parts,
    // else multipart/mixed. Non-ASCII header text is written as RFC 2047
    // encoded words. May be called from any thread that owns the message.
    void SaveToStream(std::ostream& out) const;
    // The message text form as a string.
    std::string SaveToString() const;
    // The message without the stored form's dot-stuffing and terminating line.
    std::string SaveToRaw() const;

    // True when the message was not read, or a field differs from what was
    // read (or MarkChanged was called): SaveToStream then generates the text.
    bool IsChanged() const;
    // Forces the next SaveToStream to generate the text from the fields.
    void MarkChanged();

private:
    void ParseRaw(std::string raw, const TMessageLimits& limits);
    std::uint64_t Fingerprint() const;

    std::string raw_;                // the text as read (CR LF lines), or ""
    bool read_ = false;              // raw_ holds the text the fields came from
    bool forcedChange_ = false;      // MarkChanged was called
    std::uint64_t readPrint_ = 0;    // Fingerprint() right after reading
};

} // namespace bm
