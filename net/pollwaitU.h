#pragma once
// Internal to net/: waiting on a non-blocking socket together with the abort
// (or stop) descriptor, and the raw I/O result convention shared by the plain
// and the TLS transport.

#include <string>

namespace bm::netdetail {

// Raw transport results: > 0 bytes moved, 0 peer closed in order.
inline constexpr long kIoTimeout = -1;
inline constexpr long kIoError = -2;  // text in the error out-parameter

enum class Wait { Ready, Timeout, Aborted, Error };

// Waits until fd is readable (forWrite false) or writable, wakeFd becomes
// readable (Aborted), or timeoutMs passes (negative: no limit). EINTR is
// retried with the time left. On Error, error holds the reason.
Wait WaitFd(int fd, bool forWrite, int wakeFd, int timeoutMs, std::string& error);

// Text of errno value e, as "<what>: <strerror>".
std::string ErrnoText(const std::string& what, int e);

// A fresh non-blocking, close-on-exec eventfd; throws ESocketError on failure.
int MakeWakeFd();
// Makes wakeFd readable for every later poll (never reset).
void Signal(int wakeFd);

} // namespace bm::netdetail
