#include "core/loggerU.h"

#include "core/commonsU.h"
#include "core/datetimeU.h"
#include "platform/privatefiles.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace bm {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeader = "Brixmoor Log";
constexpr std::string_view kEnabledEntry = "**** Logging Enabled";

// A log grown past the limit is kept once as "<file>.old"; failures only mean
// the log keeps growing.
void RollOver(const std::filesystem::path& file)
{
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    if (ec || size <= TTraceLog::kRollOverBytes)
        return;
    std::filesystem::path old = file;
    old += ".old";
    std::filesystem::remove(old, ec);
    std::filesystem::rename(file, old, ec);
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Appends to the file, with the header first when the file is new or empty.
bool AppendToFile(const std::filesystem::path& file, std::string_view body)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && st.st_size == 0)
        ok = WriteAll(fd, std::string(kHeader) + std::string(kCrLf) + std::string(kCrLf));
    ok = ok && WriteAll(fd, body);
    return ::close(fd) == 0 && ok;
}

std::string FormatLine(const std::string_view* values, std::size_t count)
{
    std::string line = FormatDateTimeText(kDisplayDateTimeFormat, Now());
    for (std::size_t i = 0; i < count; ++i) {
        line += '\t';
        line.append(values[i]);
    }
    return line;
}

} // namespace

std::string FormatTracePrefix(std::uint64_t elapsedMs)
{
    char digits[32];
    std::snprintf(digits, sizeof digits, "%07llu", static_cast<unsigned long long>(elapsedMs));
    std::string prefix = digits;
    // Seconds and milliseconds: the point stands before the last three digits
    // (after the fourth character while the run is under 10000 s).
    prefix.insert(prefix.size() - 3, ".");
    return prefix + " : ";
}

TTraceLog::TTraceLog() : originTicks_(GetTickCount()) {}

void TTraceLog::Open(const std::filesystem::path& file)
{
    RollOver(file);
    {
        std::lock_guard lock(mutex_);
        file_ = file;
        open_ = true;
        originTicks_ = GetTickCount();
    }
    AddEntry(std::string(kEnabledEntry) + std::string(kCrLf));
}

bool TTraceLog::IsOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

std::filesystem::path TTraceLog::FileName() const
{
    std::lock_guard lock(mutex_);
    return file_;
}

void TTraceLog::Write(std::initializer_list<std::string_view> values, std::uint8_t level)
{
    if (level < kMinLevel)
        return;
    AddEntry(FormatLine(values.begin(), values.size()));
}

void TTraceLog::Write(const std::vector<std::string>& values, std::uint8_t level)
{
    if (level < kMinLevel)
        return;
    std::vector<std::string_view> views(values.begin(), values.end());
    AddEntry(FormatLine(views.data(), views.size()));
}

void TTraceLog::AddEntry(std::string text)
{
    const std::size_t cost = text.size() + kEntryOverhead;
    const std::uint64_t now = GetTickCount();
    std::lock_guard lock(mutex_);
    if (cost > kRingBytes)
        return;
    while (used_ + cost > kRingBytes) {
        used_ -= ring_.front().Text.size() + kEntryOverhead;
        ring_.pop_front();
    }
    ring_.push_back({now >= originTicks_ ? now - originTicks_ : 0, std::move(text)});
    used_ += cost;
}

std::string TTraceLog::FormatEntries() const
{
    std::string body;
    body.reserve(used_ + ring_.size() * 16);
    for (const Entry& e : ring_) {
        body += FormatTracePrefix(e.ElapsedMs);
        body += e.Text;
        body += kCrLf;
    }
    return body;
}

bool TTraceLog::Flush()
{
    std::lock_guard lock(mutex_);
    if (!open_)
        return false;
    if (!AppendToFile(file_, FormatEntries()))
        return false;   // the entries wait for the next flush
    ring_.clear();
    used_ = 0;
    return true;
}

void TTraceLog::Close()
{
    Flush();
    std::lock_guard lock(mutex_);
    open_ = false;
}

std::size_t TTraceLog::EntryCount() const
{
    std::lock_guard lock(mutex_);
    return ring_.size();
}

std::size_t TTraceLog::UsedBytes() const
{
    std::lock_guard lock(mutex_);
    return used_;
}

TTraceLog& TraceLog()
{
    static TTraceLog log;
    return log;
}

std::filesystem::path DefaultTraceFile()
{
    return GetDataFolder() / "brixmoor.log";
}

void OpenTrace(const std::filesystem::path& file)
{
    TraceLog().Open(file.empty() ? DefaultTraceFile() : file);
}

void WriteTrace(std::initializer_list<std::string_view> values, std::uint8_t level)
{
    TraceLog().Write(values, level);
}

void WriteTrace(const std::vector<std::string>& values, std::uint8_t level)
{
    TraceLog().Write(values, level);
}

bool FlushTrace()
{
    return TraceLog().Flush();
}

void CloseTrace()
{
    TraceLog().Close();
}

} // namespace bm
