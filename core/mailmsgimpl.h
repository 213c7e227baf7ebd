#pragma once
// Internals of the mail message model shared by its source files; not for
// use outside core/mailmsg*.cpp and core/mailaddrU.cpp (core/commonsU.cpp
// exposes the UTF-8 helpers).

#include "core/mailmsgU.h"

#include <string>
#include <string_view>
#include <vector>

namespace bm::mailimpl {

// --- Text helpers (mailtext.cpp) ---------------------------------------------

// Splits at CR LF, LF or lone CR; a line end at the very end opens no further
// line, so "a\r\nb\r\n" and "a\r\nb" both give {"a", "b"} and "" gives {}.
std::vector<std::string> SplitLines(std::string_view text);
// True when text is well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8(std::string_view text);
// Reads bytes as Windows-1252 into UTF-8.
std::string Cp1252ToUtf8(std::string_view bytes);
// The text when it is valid UTF-8, else its bytes read as Windows-1252.
std::string EnsureUtf8(std::string_view bytes);
// ASCII case-insensitive equality and ordering.
bool EqualsNoCase(std::string_view a, std::string_view b);
int CompareNoCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view text);
// Blanks and tabs removed at both ends.
std::string_view TrimBlanks(std::string_view text);
// The longest prefix of text of at most maxBytes bytes that does not end
// inside a UTF-8 sequence.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes);

// --- Stored form (mailtext.cpp) ----------------------------------------------

// Reads the message text form from a stream buffer up to and including the
// terminating line (or the end), un-stuffing dots and normalising line ends;
// every line of the result ends in CR LF. Throws TMailMessageError beyond
// maxBytes of input.
std::string ReadStoredForm(std::streambuf* in, std::size_t maxBytes);
// Normalises the line ends of a raw message to CR LF, the last line included.
std::string NormaliseLineEnds(std::string_view raw);
// Dot-stuffs a raw text whose lines all end in CR LF and appends the
// terminating line.
std::string StuffAndTerminate(std::string_view raw);

// --- Header block (mailtext.cpp) ---------------------------------------------

// One header field of the raw text: its name, the unfolded value, and the
// raw bytes (name through the last continuation line, CR LF included).
struct TRawHeader {
    std::string Name;
    std::string Value;
    std::string_view Raw;
};

// The header block of a normalised raw text split into fields. Lines that are
// neither a field nor a continuation are skipped; a text whose first line is
// no field at all has no header block (everything is body). Lines starting
// after maxBlock bytes are left out; an unfolded value is cut to maxLine bytes.
struct THeaderBlock {
    std::vector<TRawHeader> Fields;
    std::size_t BodyStart = 0; // offset of the body in the raw text
};
THeaderBlock SplitHeaderBlock(std::string_view raw, std::size_t maxBlock, std::size_t maxLine);


// --- Uuencoded and xxencoded blocks (mailuucode.cpp) -------------------------

// Moves every "begin <mode> <name>" ... "end" block of lines out of lines into
// attachment parts (appended to parts while parts.size() < maxParts).
void ExtractUuBlocks(std::vector<std::string>& lines, std::vector<TMessagePart>& parts,
                     std::size_t maxParts);

// --- Parsing (mailmsgparse.cpp) ----------------------------------------------

// Fills an empty message's fields from a normalised raw text.
void ParseMessage(std::string_view raw, const TMessageLimits& limits, TMailMessage& msg);

// --- Charsets and encoded words (mailmsgwords.cpp) -------------------------

// Text in a declared charset as UTF-8 (an RFC 2231 "*language" suffix is
// ignored); text that does not convert is read as UTF-8 when it is valid
// UTF-8, else as Windows-1252.
std::string CharsetToUtf8(const std::string& bytes, std::string_view charset);
// Decodes the RFC 2047 encoded words of a header text (UTF-8 in and out);
// blanks between adjacent words are dropped, malformed words stay as text.
std::string DecodeHeaderText(std::string_view text);

// --- Writing (mailmsgwrite.cpp) ----------------------------------------------

// The raw text (CR LF lines, not stuffed) generated from the fields.
std::string GenerateMessage(const TMailMessage& msg);

} // namespace bm::mailimpl
