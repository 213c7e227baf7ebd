#pragma once
// The single-instance lock and the two wake-up signals of one user: the
// named mutex and auto-reset events the program used on Windows.
//
// The lock "<name>" is an flock on "<runtime>/<name>.lock" (runtime folder:
// GetRuntimeFolder in platform/shellU.h). Each TInstanceLock opens the file
// anew, so two objects in one process exclude each other as two copies of
// the program do, and the kernel drops the lock when a copy dies.
//
// The signals "<name>.Event" (show request) and "<name>.Close" (close
// request) are Unix datagram sockets of those names in the runtime folder,
// bound by the lock holder. A datagram waits in the socket until the holder
// reads it, so a signal sent while the holder is not waiting is seen at its
// next Wait. As with auto-reset events, several signals of one kind that
// arrive before a Wait count as one. Signalling when no copy holds the lock
// does nothing.

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace bm {

enum class TInstanceSignal { Show, Close };

class TInstanceLock {
public:
    // name: the lock's name ("BrixmoorMutex"); folder: where the lock file and
    // the sockets live, default GetRuntimeFolder(). Nothing is opened yet.
    explicit TInstanceLock(std::string name, std::filesystem::path folder = {});
    ~TInstanceLock(); // Release()
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    const std::string& Name() const { return name_; }

    // Waits at most timeout for the lock. On success this object holds it
    // and listens for the two signals (signals pending from an earlier
    // holder are discarded). True when held (also when already held).
    // Throws std::runtime_error when the lock file or the sockets cannot be
    // created. Any thread, but one object is used by one thread at a time
    // except for Wait/CancelWait below.
    bool TryAcquire(std::chrono::milliseconds timeout = std::chrono::milliseconds(100));
    // Stops listening (a Wait in progress is cancelled and waited for) and
    // releases the lock. Harmless when not held.
    void Release();
    bool Held() const;

    // True when another object or process holds the lock: takes it for at
    // most timeout and releases it at once, without listening for signals.
    // False when this object holds it.
    bool IsAnotherRunning(std::chrono::milliseconds timeout = std::chrono::milliseconds(100));

    // Sends the signal to the holder of the lock. True when it was delivered
    // (or one of its kind was still pending); false when nobody listens.
    bool Signal(TInstanceSignal signal) const;

    // Blocks until a signal arrives (gives it) or CancelWait is called, the
    // lock is not held, or reading fails (gives nullopt). Meant for one
    // waiting thread while the owner thread keeps the object.
    std::optional<TInstanceSignal> Wait();
    // Makes the current and every later Wait return nullopt until the next
    // TryAcquire. Any thread.
    void CancelWait();

private:
    std::string name_;
    std::filesystem::path folder_;
    int lockFd_ = -1;
    int showFd_ = -1;
    int closeFd_ = -1;
    int cancelPipe_[2] = {-1, -1};

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    bool cancelled_ = false;
    int waiting_ = 0;
    bool showPending_ = false;
    bool closePending_ = false;

    std::filesystem::path Folder() const;
    std::filesystem::path SocketPath(TInstanceSignal signal) const;
    bool LockFile(std::chrono::milliseconds timeout, int& fd) const;
    void Listen();
    void CloseSockets();
    void Drain(int fd, bool& pending);
};

} // namespace bm
