#include "store/knownmsgU.h"

#include "core/commonsU.h"
#include "core/streamU.h"
#include "platform/atomicfile.h"
#include "store/msgsU.h"
#include "store/quarantinedbU.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace bm {

namespace {

// Offsets of the record's fields.
constexpr std::size_t kSizeTextAt = 3, kDateTextAt = 24, kAccountAt = 45, kStatusAt = 126, kFromAt = 207,
                      kSubjectAt = 463, kSizeAt = 719, kDateAt = 723, kIdAt = 732;
// In memory these hold references (the filter, the two line lists); in the
// file they mean nothing and are written as zero.
constexpr std::size_t kFilterRefAt = 813, kLinesRefAt = 822, kAttachRefAt = 826;

// Lines of a block: each line ended by CR LF; a lone CR or LF also ends a
// line, and a last line without an end counts.
std::vector<std::string> SplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text.append(line).append("\r\n");
    return text;
}

std::filesystem::path KnownMessagesFile(const std::filesystem::path& file)
{
    return file.empty() ? GetDataFolder() / std::string(kKnownMessagesFileName) : file;
}

std::atomic<bool> knownMessagesChanged{false};

} // namespace

// --- Known-message record --------------------------------------------------

TKnownMessage::TKnownMessage() = default;

void TKnownMessage::SetBytes(const TBytes& bytes)
{
    bytes_ = bytes;
    for (std::size_t at : {kFilterRefAt, kLinesRefAt, kAttachRefAt})
        std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at), 4, std::uint8_t{0});
}

std::string TKnownMessage::Text(std::size_t offset, std::size_t capacity) const
{
    std::size_t length = std::min<std::size_t>(bytes_[offset], capacity);
    return std::string(reinterpret_cast<const char*>(bytes_.data()) + offset + 1, length);
}

void TKnownMessage::SetText(std::size_t offset, std::size_t capacity, std::string_view value)
{
    std::string fitted = FitToField(value, capacity);
    auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
    std::fill_n(first, capacity + 1, std::uint8_t{0});
    bytes_[offset] = static_cast<std::uint8_t>(fitted.size());
    std::memcpy(bytes_.data() + offset + 1, fitted.data(), fitted.size());
}

std::string TKnownMessage::SizeText() const { return Text(kSizeTextAt, 20); }
void TKnownMessage::SetSizeText(std::string_view v) { SetText(kSizeTextAt, 20, v); }
std::string TKnownMessage::DateText() const { return Text(kDateTextAt, 20); }
void TKnownMessage::SetDateText(std::string_view v) { SetText(kDateTextAt, 20, v); }
std::string TKnownMessage::Account() const { return Text(kAccountAt, 80); }
void TKnownMessage::SetAccount(std::string_view v) { SetText(kAccountAt, 80, v); }
std::string TKnownMessage::Status() const { return Text(kStatusAt, 11); }
void TKnownMessage::SetStatus(std::string_view v) { SetText(kStatusAt, 11, v); }
std::string TKnownMessage::From() const { return Text(kFromAt, 255); }
void TKnownMessage::SetFrom(std::string_view v) { SetText(kFromAt, 255, v); }
std::string TKnownMessage::Subject() const { return Text(kSubjectAt, 255); }
void TKnownMessage::SetSubject(std::string_view v) { SetText(kSubjectAt, 255, v); }
std::string TKnownMessage::Id() const { return Text(kIdAt, 80); }
void TKnownMessage::SetId(std::string_view v) { SetText(kIdAt, 80, v); }

std::int32_t TKnownMessage::Size() const
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | bytes_[kSizeAt + static_cast<std::size_t>(i)];
    return static_cast<std::int32_t>(v);
}

void TKnownMessage::SetSize(std::int32_t value)
{
    auto v = static_cast<std::uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i)
        bytes_[kSizeAt + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

double TKnownMessage::Date() const
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | bytes_[kDateAt + static_cast<std::size_t>(i)];
    return std::bit_cast<double>(v);
}

void TKnownMessage::SetDate(double value)
{
    auto v = std::bit_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < 8; ++i)
        bytes_[kDateAt + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// --- knownmessages.dat -----------------------------------------------------

std::vector<std::unique_ptr<TKnownMessage>> ReadKnownMessages(std::string_view bytes,
                                                              const TFilterExists& filterExists)
{
    std::vector<std::unique_ptr<TKnownMessage>> records;
    TByteReader r(bytes);
    if (ReadVersion(r) != kKnownMessagesVersion)
        return records;
    std::int32_t count = 0;
    try {
        count = ReadInt32(r);
    } catch (const TStreamError&) {
        return records;
    }
    for (std::int32_t i = 0; i < count && r.Remaining() >= kKnownRecordSize; ++i) {
        auto record = std::make_unique<TKnownMessage>();
        TKnownMessage::TBytes raw;
        std::memcpy(raw.data(), r.ReadRaw(kKnownRecordSize).data(), kKnownRecordSize);
        record->SetBytes(raw);
        try {
            record->TextLines = SplitLines(ReadBlock(r));
            record->AttachmentNames = SplitLines(ReadBlock(r));
            std::string filter = ReadZString(r);
            if (!filter.empty() && filterExists && filterExists(filter))
                record->FilterName = filter;
        } catch (const TStreamError&) {
            // A block cut off by the end of the file: the record is kept with
            // what was read, and nothing after it is there to read.
            records.push_back(std::move(record));
            break;
        }
        records.push_back(std::move(record));
    }
    return records;
}

std::string WriteKnownMessages(const TMessageList& list)
{
    TByteWriter w;
    WriteVersion(w, kKnownMessagesVersion);
    WriteInt32(w, list.Count());
    list.ForEach([&](const TKnownMessage& record) {
        w.WriteRaw(std::string_view(reinterpret_cast<const char*>(record.Bytes().data()), kKnownRecordSize));
        WriteBlock(w, JoinLines(record.TextLines));
        WriteBlock(w, JoinLines(record.AttachmentNames));
        WriteZString(w, record.FilterName);
    });
    return w.TakeBytes();
}

void LoadKnownMessages(TMessageList& known, const TFilterExists& filterExists, const std::filesystem::path& file)
{
    known.Clear();
    auto path = KnownMessagesFile(file);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        return;
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        throw std::runtime_error("Cannot read " + path.string());
    known.Assign(ReadKnownMessages(bytes, filterExists));
}

void SaveKnownMessages(const TMessageList& inbox, const std::filesystem::path& file)
{
    try {
        WriteFileAtomic(KnownMessagesFile(file), WriteKnownMessages(inbox));
    } catch (const EAtomicWriteError& e) {
        throw std::runtime_error(e.what());
    }
}

void SetKnownMessagesChanged(bool changed)
{
    knownMessagesChanged = changed;
}

bool KnownMessagesChanged()
{
    return knownMessagesChanged;
}

void FinishKnownMessages(TMessageList& inbox, TMessageList& known, const std::filesystem::path& file)
{
    if (knownMessagesChanged)
        SaveKnownMessages(inbox, file);
    inbox.Clear();
    known.Clear();
}

} // namespace bm
