// TMailMessage: loading, saving and change tracking; attachment saving.

#include "core/mailmsgU.h"

#include "core/mailmsgimpl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <streambuf>

namespace bm {

namespace {

// A stream buffer over a string view, to read a string as a stream without
// copying it.
class TViewBuf : public std::streambuf {
public:
    explicit TViewBuf(std::string_view text) {
        char* p = const_cast<char*>(text.data()); // only ever read
        setg(p, p, p + text.size());
    }
};

// FNV-1a over the fields, each value prefixed by its length so that moving
// bytes between neighbouring fields changes the result.
class THasher {
public:
    void Add(std::string_view bytes) {
        AddNumber(bytes.size());
        for (const char c : bytes) Byte(static_cast<unsigned char>(c));
    }
    void AddNumber(std::uint64_t n) {
        for (int i = 0; i < 8; ++i) Byte(static_cast<unsigned char>(n >> (8 * i)));
    }
    void Add(const TMailAddress& a) {
        Add(a.Name);
        Add(a.Address);
    }
    // An item holding nothing is never written (GetFrom may add one).
    void Add(const TMailAddressList& list) {
        for (const TMailAddress& a : list)
            if (!a.Name.empty() || !a.Address.empty()) Add(a);
        AddNumber(0xFFFF);
    }
    void Add(const std::vector<std::string>& lines) {
        AddNumber(lines.size());
        for (const std::string& line : lines) Add(line);
    }
    std::uint64_t Value() const { return h_; }

private:
    void Byte(unsigned char b) {
        h_ ^= b;
        h_ *= 0x100000001B3ull;
    }
    std::uint64_t h_ = 0xCBF29CE484222325ull;
};

std::string LoadError(const std::filesystem::path& file) {
    return "Cannot load message from file " + file.string();
}

} // namespace

TMailMessage::TMailMessage() = default;
TMailMessage::~TMailMessage() = default;
TMailMessage::TMailMessage(const TMailMessage&) = default;
TMailMessage& TMailMessage::operator=(const TMailMessage&) = default;
TMailMessage::TMailMessage(TMailMessage&&) noexcept = default;
TMailMessage& TMailMessage::operator=(TMailMessage&&) noexcept = default;

void TMailMessage::Clear() { *this = TMailMessage(); }

TMailAddress& TMailMessage::GetFrom() {
    if (FromList.Empty()) FromList.Add();
    return FromList[0];
}

void TMailMessage::ParseRaw(std::string raw, const TMessageLimits& limits) {
    raw_ = std::move(raw);
    mailimpl::ParseMessage(raw_, limits, *this);
    read_ = true;
    forcedChange_ = false;
    readPrint_ = Fingerprint();
}

void TMailMessage::LoadFromStream(std::istream& in, const TMessageLimits& limits) {
    Clear();
    std::string raw = mailimpl::ReadStoredForm(in.rdbuf(), limits.MaxMessageBytes);
    ParseRaw(std::move(raw), limits);
}

void TMailMessage::LoadFromFile(const std::filesystem::path& file, const TMessageLimits& limits) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) throw TMailMessageError(LoadError(file));
    std::ifstream in(file, std::ios::binary);
    if (!in) throw TMailMessageError(LoadError(file));
    LoadFromStream(in, limits);
}

void TMailMessage::LoadFromString(std::string_view stored, const TMessageLimits& limits) {
    TViewBuf buf(stored);
    std::istream in(&buf);
    LoadFromStream(in, limits);
}

void TMailMessage::LoadFromRaw(std::string_view raw, const TMessageLimits& limits) {
    Clear();
    if (raw.size() > limits.MaxMessageBytes)
        throw TMailMessageError("Message is larger than " + std::to_string(limits.MaxMessageBytes) + " bytes");
    ParseRaw(mailimpl::NormaliseLineEnds(raw), limits);
}

std::string TMailMessage::SaveToRaw() const {
    if (!IsChanged()) return raw_;
    return mailimpl::GenerateMessage(*this);
}

std::string TMailMessage::SaveToString() const { return mailimpl::StuffAndTerminate(SaveToRaw()); }

void TMailMessage::SaveToStream(std::ostream& out) const {
    const std::string text = SaveToString();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool TMailMessage::IsChanged() const { return !read_ || forcedChange_ || Fingerprint() != readPrint_; }

void TMailMessage::MarkChanged() { forcedChange_ = true; }

// BccList is left out: it is never written, so it cannot change the text.
std::uint64_t TMailMessage::Fingerprint() const {
    THasher h;
    h.Add(FromList);
    h.Add(Sender);
    h.Add(ReplyTo);
    h.Add(Recipients);
    h.Add(CCList);
    h.Add(Subject);
    std::uint64_t dateBits = 0;
    std::memcpy(&dateBits, &Date, sizeof dateBits);
    h.AddNumber(dateBits);
    h.AddNumber(Headers.Lines.size());
    for (const THeaderLine& line : Headers.Lines) {
        h.Add(line.Name);
        h.Add(line.Value);
    }
    h.Add(Body);
    h.AddNumber(Parts.size());
    for (const TMessagePart& part : Parts) {
        h.AddNumber(static_cast<std::uint64_t>(part.Kind));
        h.Add(part.ContentType);
        h.Add(part.Lines);
        h.Add(part.FileName);
        h.Add(part.Content);
    }
    return h.Value();
}

// --- Attachments ----------------------------------------------------------------

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

// Written to a temporary beside the target, flushed and renamed over it, so
// that the file is either the old one or the whole new one.
void TMessagePart::SaveContentToFile(const std::filesystem::path& file) const {
    const std::string error = "Cannot save attachment to file " + file.string();
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    std::string pattern = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw TMailMessageError(error);
    // mkstemp makes the file private; a saved attachment is an ordinary file.
    const bool ok = ::fchmod(fd, 0644) == 0 && WriteAll(fd, Content) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed || ::rename(pattern.c_str(), file.c_str()) != 0) {
        ::unlink(pattern.c_str());
        throw TMailMessageError(error);
    }
}

} // namespace bm
