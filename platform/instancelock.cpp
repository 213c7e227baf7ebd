#include "platform/instancelock.h"

#include "platform/shellU.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace bm {

namespace {

using Clock = std::chrono::steady_clock;

// Polling step while waiting for the lock: flock has no timed wait.
constexpr std::chrono::milliseconds kLockPoll(5);
// How long a signal keeps trying while a new holder is still binding its sockets.
constexpr std::chrono::milliseconds kBindGrace(1000);

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_un AddressOf(const std::filesystem::path& path)
{
    sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    const std::string& s = path.native();
    if (s.size() >= sizeof addr.sun_path)
        throw std::runtime_error("Socket path too long: " + s);
    std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
    return addr;
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

TInstanceLock::TInstanceLock(std::string name, std::filesystem::path folder)
    : name_(std::move(name))
    , folder_(std::move(folder))
{
}

TInstanceLock::~TInstanceLock()
{
    Release();
}

std::filesystem::path TInstanceLock::Folder() const
{
    return folder_.empty() ? GetRuntimeFolder() : folder_;
}

std::filesystem::path TInstanceLock::SocketPath(TInstanceSignal signal) const
{
    return Folder() / (name_ + (signal == TInstanceSignal::Show ? ".Event" : ".Close"));
}

bool TInstanceLock::LockFile(std::chrono::milliseconds timeout, int& fd) const
{
    std::filesystem::path file = Folder() / (name_ + ".lock");
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        Fail("Cannot open " + file.string());
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            int err = errno;
            CloseFd(fd);
            errno = err;
            Fail("Cannot lock " + file.string());
        }
        if (Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(kLockPoll);
    }
    CloseFd(fd);
    return false;
}

bool TInstanceLock::Held() const
{
    std::lock_guard guard(mutex_);
    return lockFd_ >= 0;
}

bool TInstanceLock::TryAcquire(std::chrono::milliseconds timeout)
{
    if (Held())
        return true;
    int fd = -1;
    if (!LockFile(timeout, fd))
        return false;
    {
        std::lock_guard guard(mutex_);
        lockFd_ = fd;
    }
    try {
        Listen();
    } catch (...) {
        Release();
        throw;
    }
    return true;
}

// Binds the two signal sockets. Only the lock holder does this, so removing
// a socket file left by an earlier (perhaps crashed) holder is safe.
void TInstanceLock::Listen()
{
    std::lock_guard guard(mutex_);
    for (TInstanceSignal s : {TInstanceSignal::Show, TInstanceSignal::Close}) {
        sockaddr_un addr = AddressOf(SocketPath(s));
        ::unlink(addr.sun_path);
        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            Fail("Cannot create socket");
        (s == TInstanceSignal::Show ? showFd_ : closeFd_) = fd;
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            Fail(std::string("Cannot bind ") + addr.sun_path);
    }
    if (::pipe2(cancelPipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        Fail("Cannot create pipe");
    cancelled_ = false;
    showPending_ = closePending_ = false;
}

void TInstanceLock::CloseSockets()
{
    for (TInstanceSignal s : {TInstanceSignal::Show, TInstanceSignal::Close}) {
        int& fd = s == TInstanceSignal::Show ? showFd_ : closeFd_;
        if (fd >= 0)
            ::unlink(SocketPath(s).c_str());
        CloseFd(fd);
    }
    CloseFd(cancelPipe_[0]);
    CloseFd(cancelPipe_[1]);
}

void TInstanceLock::Release()
{
    CancelWait();
    std::unique_lock guard(mutex_);
    idle_.wait(guard, [this] { return waiting_ == 0; });
    if (lockFd_ < 0)
        return;
    // Sockets go first, while the lock still keeps a new holder from binding.
    CloseSockets();
    CloseFd(lockFd_);
}

bool TInstanceLock::IsAnotherRunning(std::chrono::milliseconds timeout)
{
    if (Held())
        return false;
    int fd = -1;
    bool free = LockFile(timeout, fd);
    CloseFd(fd);
    return !free;
}

bool TInstanceLock::Signal(TInstanceSignal signal) const
{
    sockaddr_un addr = AddressOf(SocketPath(signal));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto deadline = Clock::now() + kBindGrace;
    bool sent = false;
    for (;;) {
        const char byte = 1;
        if (::sendto(fd, &byte, 1, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 1) {
            sent = true;
            break;
        }
        // A full queue already holds signals the holder has not read: as with
        // an auto-reset event, one more adds nothing.
        if (errno == EAGAIN || errno == ENOBUFS) {
            sent = true;
            break;
        }
        if (errno != ENOENT && errno != ECONNREFUSED)
            break;
        // A holder that has just taken the lock may not have bound yet.
        int probe = -1;
        bool free = LockFile(std::chrono::milliseconds(0), probe);
        CloseFd(probe);
        if (free || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(kLockPoll);
    }
    ::close(fd);
    return sent;
}

void TInstanceLock::Drain(int fd, bool& pending)
{
    char buf[16];
    while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0)
        pending = true;
}

std::optional<TInstanceSignal> TInstanceLock::Wait()
{
    {
        std::lock_guard guard(mutex_);
        if (lockFd_ < 0 || cancelled_)
            return std::nullopt;
        ++waiting_;
    }
    std::optional<TInstanceSignal> result;
    for (;;) {
        std::unique_lock guard(mutex_);
        if (cancelled_)
            break;
        if (showPending_ || closePending_) {
            result = showPending_ ? TInstanceSignal::Show : TInstanceSignal::Close;
            (showPending_ ? showPending_ : closePending_) = false;
            break;
        }
        pollfd fds[3] = {{showFd_, POLLIN, 0}, {closeFd_, POLLIN, 0}, {cancelPipe_[0], POLLIN, 0}};
        guard.unlock();
        // The descriptors stay open while waiting_ > 0: Release waits for us.
        int n = ::poll(fds, 3, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || (fds[2].revents & POLLIN))
            break;
        guard.lock();
        if (fds[0].revents & POLLIN)
            Drain(showFd_, showPending_);
        if (fds[1].revents & POLLIN)
            Drain(closeFd_, closePending_);
        if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLNVAL))
            break;
    }
    std::lock_guard guard(mutex_);
    --waiting_;
    idle_.notify_all();
    return result;
}

void TInstanceLock::CancelWait()
{
    std::lock_guard guard(mutex_);
    cancelled_ = true;
    if (cancelPipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(cancelPipe_[1], &byte, 1);
    }
}

} // namespace bm
