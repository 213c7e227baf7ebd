// The reading side of TcpConnection: lines, dot-terminated blocks, exact
// byte counts, all taken from the connection's buffer.

#include <algorithm>
#include <cstring>

#include "net/socketU.h"

namespace bm {

namespace {

// ReadDotBlock hands a line longer than this on in pieces.
constexpr std::size_t kBlockLinePiece = 64 * 1024;

// Position of the next LF at or after `from` in buf, or npos.
std::size_t FindLf(const std::string& buf, std::size_t from)
{
    if (from >= buf.size())
        return std::string::npos;
    const void* p = std::memchr(buf.data() + from, '\n', buf.size() - from);
    return p ? static_cast<std::size_t>(static_cast<const char*>(p) - buf.data()) : std::string::npos;
}

// Length of the line [start, lf) without a CR right before the LF.
std::size_t ContentLength(const std::string& buf, std::size_t start, std::size_t lf)
{
    std::size_t len = lf - start;
    if (len > 0 && buf[lf - 1] == '\r')
        --len;
    return len;
}

} // namespace

bool TcpConnection::SkipLongLineRest(int timeoutMs, ReadStatus& status)
{
    for (;;) {
        const std::size_t lf = FindLf(readBuf_, readPos_);
        if (lf != std::string::npos) {
            readPos_ = lf + 1;
            skippingLine_ = false;
            return true;
        }
        readPos_ = readBuf_.size();
        switch (FillBuffer(timeoutMs)) {
        case Fill::Data: continue;
        case Fill::Timeout: status = ReadStatus::NeedMore; return false;
        case Fill::Closed: status = ReadStatus::Closed; return false;
        case Fill::Error: status = ReadStatus::Error; return false;
        }
    }
}

ReadStatus TcpConnection::ReadLine(std::string& line, std::size_t maxLength, int timeoutMs)
{
    line.clear();
    ReadStatus status = ReadStatus::Line;
    if (skippingLine_ && !SkipLongLineRest(timeoutMs, status))
        return status;
    std::size_t scanned = 0;  // bytes after readPos_ known to hold no LF
    for (;;) {
        const std::size_t lf = FindLf(readBuf_, readPos_ + scanned);
        if (lf != std::string::npos) {
            const std::size_t len = ContentLength(readBuf_, readPos_, lf);
            line.assign(readBuf_, readPos_, len < maxLength ? len : maxLength);
            readPos_ = lf + 1;
            return len > maxLength ? Fail(ReadStatus::TooLong, kLineTooLong) : ReadStatus::Line;
        }
        const std::size_t pending = readBuf_.size() - readPos_;
        // maxLength bytes plus a CR still waiting for its LF may yet be a
        // line that fits; anything more cannot.
        const bool crLast = pending > 0 && readBuf_.back() == '\r';
        if (pending > maxLength + (crLast ? 1 : 0)) {
            line.assign(readBuf_, readPos_, maxLength);
            readPos_ = readBuf_.size();
            skippingLine_ = true;
            return Fail(ReadStatus::TooLong, kLineTooLong);
        }
        scanned = pending;
        switch (FillBuffer(timeoutMs)) {
        case Fill::Data: continue;
        case Fill::Timeout: return ReadStatus::NeedMore;
        case Fill::Closed: return ReadStatus::Closed;
        case Fill::Error: return ReadStatus::Error;
        }
    }
}

std::string TcpConnection::ReadLineOrThrow(std::size_t maxLength, int timeoutMs)
{
    std::string line;
    switch (ReadLine(line, maxLength, timeoutMs)) {
    case ReadStatus::Line: return line;
    case ReadStatus::NeedMore: throw ESocketTimeout();
    case ReadStatus::TooLong: throw ELineTooLong();
    case ReadStatus::Closed: throw EConnectionClosed();
    case ReadStatus::Error: break;
    }
    throw ESocketError(lastError_);
}

ReadStatus TcpConnection::ReadDotBlock(std::string& out, bool keepRaw, std::size_t maxTotal, int timeoutMs)
{
    return ReadDotBlock([&out](std::string_view piece) { out.append(piece); }, keepRaw, maxTotal, timeoutMs);
}

ReadStatus TcpConnection::ReadDotBlock(const BlockSink& sink, bool keepRaw, std::size_t maxTotal, int timeoutMs)
{
    ReadStatus status = ReadStatus::Line;
    if (skippingLine_ && !SkipLongLineRest(timeoutMs, status))
        return status;
    std::size_t scanned = 0;
    for (;;) {
        const std::size_t lf = FindLf(readBuf_, readPos_ + scanned);
        if (lf == std::string::npos) {
            const std::size_t pending = readBuf_.size() - readPos_;
            if (!blockOverflow_ && blockBytes_ + pending > maxTotal + 2)
                blockOverflow_ = true;
            if (blockOverflow_ && pending > 2) {
                // Nothing of this line is kept; only whether it started a
                // line matters for spotting the final ".".
                readPos_ = readBuf_.size();
                blockMidLine_ = true;
            } else if (!blockOverflow_ && pending > kBlockLinePiece) {
                // A long line is handed on in pieces rather than held whole;
                // its last byte waits, as it may be the CR of the line end.
                std::size_t from = readPos_;
                std::size_t count = pending - 1;
                if (!blockPartLine_ && !keepRaw && readBuf_[from] == '.') {
                    ++from;
                    --count;
                }
                sink(std::string_view(readBuf_).substr(from, count));
                blockBytes_ += count;
                readPos_ += pending - 1;
                blockPartLine_ = true;
            }
            scanned = readBuf_.size() - readPos_;
            switch (FillBuffer(timeoutMs)) {
            case Fill::Data: continue;
            case Fill::Timeout: return ReadStatus::NeedMore;
            case Fill::Closed: break;
            case Fill::Error: break;
            }
            const bool closed = lastError_ == kConnectionClosedGracefully;
            blockBytes_ = 0;
            blockOverflow_ = blockMidLine_ = blockPartLine_ = false;
            return closed ? ReadStatus::Closed : ReadStatus::Error;
        }
        scanned = 0;
        const std::size_t start = readPos_;
        const std::size_t len = ContentLength(readBuf_, start, lf);
        readPos_ = lf + 1;
        const bool wasMidLine = blockMidLine_;
        const bool wasPartLine = blockPartLine_;
        blockMidLine_ = blockPartLine_ = false;
        if (!wasMidLine && !wasPartLine && len == 1 && readBuf_[start] == '.') {
            if (keepRaw && !blockOverflow_)
                sink(".\r\n");
            const bool overflow = blockOverflow_;
            blockBytes_ = 0;
            blockOverflow_ = false;
            return overflow ? Fail(ReadStatus::TooLong, kMessageTooLarge) : ReadStatus::Line;
        }
        if (blockOverflow_ || wasMidLine)
            continue;
        std::size_t from = start;
        std::size_t count = len;
        if (!keepRaw && !wasPartLine && count > 0 && readBuf_[from] == '.') {
            ++from;
            --count;
        }
        if (blockBytes_ + count + 2 > maxTotal) {
            blockOverflow_ = true;
            continue;
        }
        sink(std::string_view(readBuf_).substr(from, count));
        sink("\r\n");
        blockBytes_ += count + 2;
    }
}

ReadStatus TcpConnection::ReadExact(std::string& out, std::size_t n, int timeoutMs)
{
    for (;;) {
        const std::size_t take = std::min(n, readBuf_.size() - readPos_);
        out.append(readBuf_, readPos_, take);
        readPos_ += take;
        n -= take;
        if (n == 0)
            return ReadStatus::Line;
        switch (FillBuffer(timeoutMs)) {
        case Fill::Data: continue;
        case Fill::Timeout: return ReadStatus::NeedMore;
        case Fill::Closed: return ReadStatus::Closed;
        case Fill::Error: return ReadStatus::Error;
        }
    }
}

} // namespace bm
