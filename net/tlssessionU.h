#pragma once
// Internal to net/: one TLS session on a non-blocking socket, used by
// TcpConnection. Waits go through netdetail::WaitFd with the connection's
// abort descriptor, so Abort() ends a handshake, read or write at once.

#include <cstddef>
#include <memory>
#include <string>

namespace bm {

class TlsContext;

class TlsSession {
public:
    // Runs the handshake as the context's side. serverName: SNI (not sent for
    // IP literals) and, with verification on, the name to check.
    // Throws ETlsError, ESocketTimeout, or ESocketError ("Connection aborted.").
    static std::unique_ptr<TlsSession> Handshake(const TlsContext& context, int fd, int abortFd,
                                                 const std::string& serverName, int timeoutMs);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // As netdetail's raw convention: > 0 bytes, 0 closed in order (close_notify
    // or plain EOF: many mail servers never send close_notify), kIoTimeout,
    // kIoError with the reason in error.
    long Read(char* data, std::size_t size, int timeoutMs, std::string& error);
    long Write(const char* data, std::size_t size, int timeoutMs, std::string& error);

    // Sends close_notify without waiting for the peer's. Never throws.
    void Shutdown();

    struct Impl;

private:
    explicit TlsSession(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace bm
