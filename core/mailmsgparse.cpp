// Parsing a raw message into the fields of TMailMessage. The header block is
// split here (it must also survive lines GMime would stop at); GMime 3 gives
// the MIME structure, the transfer decodings (RFC 2045 section 6), encoded
// words (RFC 2047), parameter file names (RFC 2231) and dates (RFC 5322
// section 3.3).

#include "core/mailmsgimpl.h"

#include <gmime/gmime.h>

#include <mutex>

namespace bm::mailimpl {

namespace {

GMimeParserOptions* gOptions = nullptr;
std::once_flag gInitOnce;

// g_mime_init once per process; the options are built once and only read
// afterwards, so every thread may use them.
GMimeParserOptions* Options() {
    std::call_once(gInitOnce, [] {
        g_mime_init();
        gOptions = g_mime_parser_options_new();
        g_mime_parser_options_set_rfc2047_compliance_mode(gOptions, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(gOptions, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(gOptions, GMIME_RFC_COMPLIANCE_LOOSE);
        const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(gOptions, fallback);
    });
    return gOptions;
}

// Owns one GObject reference.
struct TGObject {
    explicit TGObject(gpointer p) : ptr(p) {}
    ~TGObject() {
        if (ptr != nullptr) g_object_unref(ptr);
    }
    TGObject(const TGObject&) = delete;
    TGObject& operator=(const TGObject&) = delete;
    gpointer ptr;
};

std::string TakeGString(char* text) {
    if (text == nullptr) return {};
    std::string out(text);
    g_free(text);
    return out;
}

std::string Bytes(const char* text) { return text == nullptr ? std::string() : std::string(text); }

std::string MediaType(GMimeObject* object) {
    GMimeContentType* type = g_mime_object_get_content_type(object);
    if (type == nullptr) return "text/plain"; // RFC 2045 section 5.2
    return ToLowerAscii(TakeGString(g_mime_content_type_get_mime_type(type)));
}

// The decoded content of a leaf part (its transfer encoding undone).
std::string DecodedContent(GMimePart* part) {
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) return {};
    TGObject mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, GMIME_STREAM(mem.ptr));
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.ptr));
    if (array == nullptr || array->len == 0) return {};
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

std::string ObjectFileName(GMimeObject* object) {
    const char* name = GMIME_IS_PART(object) ? g_mime_part_get_filename(GMIME_PART(object)) : nullptr;
    if (name == nullptr) name = g_mime_object_get_content_disposition_parameter(object, "filename");
    if (name == nullptr) name = g_mime_object_get_content_type_parameter(object, "name");
    return EnsureUtf8(Bytes(name));
}

bool IsAttachmentDisposition(GMimeObject* object) {
    const char* disposition = g_mime_object_get_disposition(object);
    return disposition != nullptr && EqualsNoCase(disposition, "attachment");
}

// The whole text of an object as it would be written, CR LF lines (for
// message/rfc822 parts and multiparts nested beyond the depth limit). Of a
// message/rfc822 part only the enclosed message is taken.
std::string WrittenObject(GMimeObject* object) {
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner == nullptr) return {};
        object = GMIME_OBJECT(inner);
    }
    GMimeFormatOptions* format = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(format, GMIME_NEWLINE_FORMAT_DOS);
    TGObject mem(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(object, format, GMIME_STREAM(mem.ptr));
    g_mime_format_options_free(format);
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.ptr));
    if (array == nullptr || array->len == 0) return {};
    return std::string(reinterpret_cast<const char*>(array->data), array->len);
}

class TPartWalker {
public:
    TPartWalker(const TMessageLimits& limits, TMailMessage& msg) : limits_(limits), msg_(msg) {}

    void Top(GMimeObject* top) {
        if (GMIME_IS_MULTIPART(top)) {
            const char* prologue = g_mime_multipart_get_prologue(GMIME_MULTIPART(top));
            msg_.Body = SplitLines(EnsureUtf8(Bytes(prologue)));
            Children(GMIME_MULTIPART(top), 1);
        } else if (IsTextLeaf(top)) {
            msg_.Body = SplitLines(LeafText(GMIME_PART(top)));
            ExtractUuBlocks(msg_.Body, msg_.Parts, limits_.MaxParts);
        } else {
            Walk(top, 0);
        }
    }

private:
    bool Full() const { return msg_.Parts.size() >= limits_.MaxParts; }

    static bool IsTextLeaf(GMimeObject* object) {
        if (!GMIME_IS_PART(object)) return false;
        return MediaType(object).starts_with("text/") && !IsAttachmentDisposition(object) &&
               ObjectFileName(object).empty();
    }

    static std::string LeafText(GMimePart* part) {
        const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
        return CharsetToUtf8(DecodedContent(part), charset == nullptr ? "" : charset);
    }

    void Children(GMimeMultipart* multipart, int depth) {
        const int count = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < count && !Full(); ++i) Walk(g_mime_multipart_get_part(multipart, i), depth);
    }

    void Walk(GMimeObject* object, int depth) {
        if (object == nullptr || Full()) return;
        if (GMIME_IS_MULTIPART(object) && depth < limits_.MaxDepth) {
            Children(GMIME_MULTIPART(object), depth + 1);
        } else if (IsTextLeaf(object)) {
            TMessagePart part;
            part.Kind = TPartKind::Text;
            part.ContentType = MediaType(object);
            part.Lines = SplitLines(LeafText(GMIME_PART(object)));
            // Blocks found in the text follow it; collected apart, since
            // adding to Parts would move the lines being scanned.
            std::vector<TMessagePart> blocks;
            if (part.ContentType == "text/plain")
                ExtractUuBlocks(part.Lines, blocks, limits_.MaxParts - msg_.Parts.size() - 1);
            msg_.Parts.push_back(std::move(part));
            for (TMessagePart& block : blocks) msg_.Parts.push_back(std::move(block));
        } else {
            TMessagePart part;
            part.Kind = TPartKind::Attachment;
            part.ContentType = MediaType(object);
            part.FileName = ObjectFileName(object);
            part.Content = GMIME_IS_PART(object) ? DecodedContent(GMIME_PART(object)) : WrittenObject(object);
            msg_.Parts.push_back(std::move(part));
        }
    }

    const TMessageLimits& limits_;
    TMailMessage& msg_;
};

// The text handed to GMime: the fields kept (cut ones rewritten short), an
// empty line, the body. Skipped lines never reach it.
std::string GMimeInput(std::string_view raw, const THeaderBlock& block, const TMessageLimits& limits) {
    std::string text;
    text.reserve(raw.size() - block.BodyStart + 2 + block.BodyStart);
    for (const TRawHeader& field : block.Fields) {
        if (field.Value.size() >= limits.MaxHeaderLineBytes) text += field.Name + ": " + field.Value + "\r\n";
        else text.append(field.Raw);
    }
    text += "\r\n";
    text.append(raw.substr(block.BodyStart));
    return text;
}

void ParseStructure(std::string_view raw, const THeaderBlock& block, const TMessageLimits& limits,
                    TMailMessage& msg) {
    GMimeParserOptions* options = Options();
    const std::string text = GMimeInput(raw, block, limits);
    TGObject stream(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    TGObject parser(g_mime_parser_new_with_stream(GMIME_STREAM(stream.ptr)));
    g_mime_parser_set_format(GMIME_PARSER(parser.ptr), GMIME_FORMAT_MESSAGE);
    TGObject message(g_mime_parser_construct_message(GMIME_PARSER(parser.ptr), options));
    GMimeObject* top = message.ptr == nullptr ? nullptr : g_mime_message_get_mime_part(GMIME_MESSAGE(message.ptr));
    if (top == nullptr) {
        msg.Body = SplitLines(EnsureUtf8(raw.substr(block.BodyStart)));
        return;
    }
    TPartWalker(limits, msg).Top(top);
}

// --- Header fields --------------------------------------------------------------

void DecodeNames(TMailAddressList& list) {
    for (TMailAddress& item : list) {
        if (item.Name.find("=?") != std::string::npos) item.Name = TrimBlanks(DecodeHeaderText(item.Name));
    }
}

void ReadAddressField(const std::string& value, TMailAddressList& list) {
    list.SetFromText(value);
    DecodeNames(list);
}

TDateTime ReadDate(const std::string& value) {
    if (value.empty()) return 0;
    GDateTime* date = g_mime_utils_header_decode_date(value.c_str());
    if (date == nullptr) return 0;
    const gint64 seconds = g_date_time_to_unix(date);
    g_date_time_unref(date);
    // The system clock (nanoseconds in 64 bits) spans the years 1678 to 2261;
    // a date beyond that cannot be a real sending time and reads as absent.
    constexpr gint64 kClockSpan = 9'000'000'000;
    if (seconds <= -kClockSpan || seconds >= kClockSpan) return 0;
    return UnixToDateTime(seconds);
}

// Every value of one name joined as one list (several To lines are one list).
std::string JoinedValues(const THeaderList& headers, std::string_view name) {
    std::string out;
    for (const std::string& value : headers.Values(name)) {
        if (!out.empty()) out += ", ";
        out += value;
    }
    return out;
}

void ReadFields(TMailMessage& msg) {
    Options();
    const THeaderList& h = msg.Headers;
    ReadAddressField(h.Value("From"), msg.FromList);
    TMailAddressList sender;
    ReadAddressField(h.Value("Sender"), sender);
    if (sender.Count() > 0) msg.Sender = sender[0];
    ReadAddressField(h.Value("Reply-To"), msg.ReplyTo);
    ReadAddressField(JoinedValues(h, "To"), msg.Recipients);
    ReadAddressField(JoinedValues(h, "Cc"), msg.CCList);
    ReadAddressField(JoinedValues(h, "Bcc"), msg.BccList);
    msg.Subject = DecodeHeaderText(h.Value("Subject"));
    msg.Date = ReadDate(h.Value("Date"));
}

} // namespace

void ParseMessage(std::string_view raw, const TMessageLimits& limits, TMailMessage& msg) {
    const THeaderBlock block = SplitHeaderBlock(raw, limits.MaxHeaderBlockBytes, limits.MaxHeaderLineBytes);
    for (const TRawHeader& field : block.Fields) msg.Headers.Add(EnsureUtf8(field.Name), EnsureUtf8(field.Value));
    ReadFields(msg);
    ParseStructure(raw, block, limits, msg);
}

} // namespace bm::mailimpl
