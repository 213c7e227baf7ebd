#include "net/pollwaitU.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "net/socketU.h"

namespace bm::netdetail {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

Wait WaitFd(int fd, bool forWrite, int wakeFd, int timeoutMs, std::string& error)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd fds[2] = {{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0}, {wakeFd, POLLIN, 0}};
        const int wait = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        const int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, wait);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = ErrnoText("poll", errno);
            return Wait::Error;
        }
        if (wakeFd >= 0 && (fds[1].revents & POLLIN))
            return Wait::Aborted;
        // POLLERR / POLLHUP count as ready: the following recv/send reports them.
        if (fds[0].revents != 0)
            return Wait::Ready;
        if (n == 0 && timeoutMs >= 0 && RemainingMs(deadline) == 0)
            return Wait::Timeout;
    }
}

std::string ErrnoText(const std::string& what, int e)
{
    return what + ": " + std::strerror(e);
}

int MakeWakeFd()
{
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        throw ESocketError(ErrnoText("eventfd", errno));
    return fd;
}

void Signal(int wakeFd)
{
    const std::uint64_t one = 1;
    // The counter only grows, so the descriptor stays readable; a full
    // counter (EAGAIN) is readable already.
    [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
}

} // namespace bm::netdetail
