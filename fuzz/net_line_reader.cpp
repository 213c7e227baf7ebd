// Feeds arbitrary bytes through a socket pair into the connection's readers,
// mixing line reads and dot-terminated block reads as a protocol does: every
// call must end with a bounded result, never read past the input, and the
// stream must end with Closed.
#include "net/socketU.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

// One line read: a Line holds no LF and fits; TooLong holds exactly max bytes.
bm::ReadStatus OneLine(bm::TcpConnection& c, std::size_t max)
{
    std::string line;
    const bm::ReadStatus s = c.ReadLine(line, max, 1000);
    if (s == bm::ReadStatus::Line)
        Check(line.size() <= max && line.find('\n') == std::string::npos);
    if (s == bm::ReadStatus::TooLong)
        Check(line.size() == max);
    return s;
}

// One block read: whatever was appended is whole CR LF lines within the bound.
bm::ReadStatus OneBlock(bm::TcpConnection& c, bool raw, std::size_t max)
{
    std::string block;
    const bm::ReadStatus s = c.ReadDotBlock(block, raw, max, 1000);
    Check(block.size() <= max + 3);
    Check(block.empty() || (block.size() >= 2 && block.compare(block.size() - 2, 2, "\r\n") == 0));
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > 60000)
        return 0;
    const std::size_t maxLine = 1 + data[0] % 64;
    const std::uint8_t pattern = data[1];
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    const std::size_t n = size - 2;
    Check(::write(fds[1], data + 2, n) == static_cast<ssize_t>(n));
    ::close(fds[1]);
    bm::TcpConnection c(fds[0], "fuzz");
    bm::ReadStatus s = bm::ReadStatus::Line;
    for (unsigned step = 0; s != bm::ReadStatus::Closed; ++step) {
        Check(step <= n + 1);  // every call but the last consumes input
        const unsigned kind = (pattern >> (step % 4 * 2)) & 3;
        s = kind == 0 ? OneBlock(c, step % 2 == 0, maxLine * 4) : OneLine(c, maxLine);
        Check(s != bm::ReadStatus::Error && s != bm::ReadStatus::NeedMore);
    }
    return 0;
}
