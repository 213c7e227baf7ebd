#include "servers/smtpsrvspool.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "core/loggerU.h"
#include "platform/privatefiles.h"

namespace bm {

namespace {

// Writes to the spool file and reads for the relay go in pieces of this size.
constexpr std::size_t kFilePiece = 64 * 1024;

std::string ErrnoText(int error)
{
    return std::generic_category().message(error);
}

std::filesystem::path NewSpoolName(const std::filesystem::path& folder)
{
    static std::atomic<unsigned> counter{0};
    return folder / (std::to_string(::getpid()) + "-" + std::to_string(++counter) + kSpoolFileExtension);
}

} // namespace

// --- TDataMemoryBudget -------------------------------------------------------

bool TDataMemoryBudget::TryTake(std::size_t n)
{
    std::size_t held = held_.load();
    do {
        if (n > cap_ || held > cap_ - n)
            return false;
    } while (!held_.compare_exchange_weak(held, held + n));
    return true;
}

void TDataMemoryBudget::Give(std::size_t n)
{
    held_.fetch_sub(n);
}

void RemoveSpoolLeftovers(const std::filesystem::path& folder)
{
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::filesystem::path& path = it->path();
        std::error_code entryError;
        if (path.extension() != kSpoolFileExtension || !it->is_regular_file(entryError))
            continue;
        // A file of a session of this process is unnamed before its first
        // byte is written, so only files nobody reads any more go here.
        if (!std::filesystem::remove(path, entryError) && entryError)
            WriteTrace({"SMTP Spool", path.string(), entryError.message()}, kTraceEvent);
    }
}

// --- TDataSpool --------------------------------------------------------------

TDataSpool::TDataSpool(std::filesystem::path folder, std::size_t memoryLimit, TDataMemoryBudget& budget)
    : folder_(std::move(folder)), memoryLimit_(memoryLimit), budget_(budget)
{
}

TDataSpool::~TDataSpool()
{
    budget_.Give(memory_.size());
    if (fd_ >= 0)
        ::close(fd_);
}

void TDataSpool::Fail(TSpoolState state, std::string error)
{
    state_ = state;
    error_ = std::move(error);
    // The message is refused: nothing of it needs to stay.
    budget_.Give(memory_.size());
    std::string().swap(memory_);
    std::string().swap(pending_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void TDataSpool::Append(std::string_view piece) noexcept
{
    if (state_ != TSpoolState::Ok)
        return;
    try {
        if (fd_ < 0 && memory_.size() + piece.size() > memoryLimit_ && !MoveToFile())
            return;
        if (fd_ >= 0) {
            pending_.append(piece);
            size_ += piece.size();
            if (pending_.size() >= kFilePiece && WriteOut(pending_))
                pending_.clear();
            return;
        }
        if (!budget_.TryTake(piece.size())) {
            Fail(TSpoolState::OverBudget, "memory for messages in transfer used up");
            return;
        }
        memory_.append(piece);
        size_ += piece.size();
    } catch (const std::bad_alloc&) {
        Fail(TSpoolState::OverBudget, "out of memory");
    }
}

bool TDataSpool::MoveToFile()
{
    std::error_code ec;
    if (!CreatePrivateFolders(folder_, ec)) {
        Fail(TSpoolState::WriteFailed, "cannot create " + folder_.string() + ": " + ec.message());
        return false;
    }
    const std::filesystem::path name = NewSpoolName(folder_);
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0) {
        Fail(TSpoolState::WriteFailed, "cannot create " + name.string() + ": " + ErrnoText(errno));
        return false;
    }
    // Unnamed from now on: the file goes with its descriptor, whatever ends
    // the session or the process.
    ::unlink(name.c_str());
    fd_ = fd;
    pending_.reserve(kFilePiece + memoryLimit_ / 8);
    if (!WriteOut(memory_))
        return false;
    budget_.Give(memory_.size());
    std::string().swap(memory_);
    return true;
}

bool TDataSpool::WriteOut(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Fail(TSpoolState::WriteFailed, "cannot write the spool file: " + ErrnoText(n < 0 ? errno : ENOSPC));
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void TDataSpool::Finish() noexcept
{
    if (state_ == TSpoolState::Ok && fd_ >= 0 && WriteOut(pending_))
        pending_.clear();
}

void TDataSpool::Read(std::uint64_t offset, std::size_t n, std::string& out) const
{
    out.clear();
    if (offset >= size_)
        return;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
    if (fd_ < 0) {
        out.assign(memory_, static_cast<std::size_t>(offset), n);
        return;
    }
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd_, out.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            throw std::runtime_error("Cannot read the spool file: " + ErrnoText(r < 0 ? errno : EIO));
        got += static_cast<std::size_t>(r);
    }
}

// --- TSpoolDataSource --------------------------------------------------------

TSpoolDataSource::TSpoolDataSource(std::string_view header, const TDataSpool& spool, std::uint64_t bodyOffset)
    : header_(header), spool_(spool), bodyOffset_(bodyOffset), offset_(bodyOffset)
{
}

void TSpoolDataSource::Rewind()
{
    offset_ = bodyOffset_;
    headerGiven_ = false;
    finished_ = false;
    stuffer_ = TRawTextStuffer();
}

std::string_view TSpoolDataSource::Next()
{
    out_.clear();
    while (out_.empty() && !finished_) {
        if (!headerGiven_) {
            headerGiven_ = true;
            stuffer_.Feed(header_, out_);
            continue;
        }
        try {
            spool_.Read(offset_, kFilePiece, in_);
        } catch (const std::exception&) {
            readFailed_ = true;
            throw;
        }
        if (in_.empty()) {
            stuffer_.Finish(out_);
            finished_ = true;
            continue;
        }
        offset_ += in_.size();
        stuffer_.Feed(in_, out_);
    }
    return out_;
}

} // namespace bm
