#pragma once
// Outgoing connections, direct or through an HTTP proxy tunnel (CONNECT,
// RFC 9110 §9.3.6). The tunnel carries plain bytes; TLS from the first byte or
// a later STLS / STARTTLS upgrade runs over it with TcpConnection::StartTls,
// exactly as over a direct connection.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/socketU.h"

namespace bm {

// A proxy failure; what() names the proxy's answer.
class EProxyError : public ESocketError {
public:
    using ESocketError::ESocketError;
};

struct HttpProxy {
    std::string host;
    uint16_t port = 0;
    bool logon = false;    // send Proxy-Authorization: Basic (RFC 7617)
    std::string username;  // used only with logon
    std::string password;
};

// Opens a tunnel: connects to the proxy, sends
//   CONNECT host:port HTTP/1.1, Host: host:port [, Proxy-Authorization: Basic ...]
// and reads the status line and headers (each line at most 8 KiB, at most
// 100 header lines, each read within options.connectTimeoutMs). Any 2xx
// answer (HTTP/1.0 or 1.1) opens the tunnel. The returned connection's
// RemoteHost() is the target host (for SNI), not the proxy.
// Throws ESocketError when the proxy cannot be reached, ESocketTimeout
// "Proxy did not answer in time." when an answer line is late, and EProxyError:
//   407: "Proxy authentication required (407 <reason>)"
//   401: "Proxy authentication failed (401 <reason>)"
//   other: "Proxy refused the connection to <host>:<port> (<code> <reason>)"
//   malformed or missing answer: "Invalid proxy response: <first line>"
std::unique_ptr<TcpConnection> ConnectThroughProxy(const HttpProxy& proxy, const std::string& host,
                                                   uint16_t port, const ConnectOptions& options = {});

// Direct when proxy is empty, else through it. Throws as the two above.
std::unique_ptr<TcpConnection> ConnectTo(const std::string& host, uint16_t port,
                                         const std::optional<HttpProxy>& proxy,
                                         const ConnectOptions& options = {});

// The same on a connection object made before (see TcpConnection()), so that
// another thread can Abort() it while it connects or waits for the proxy.
void OpenThroughProxy(TcpConnection& connection, const HttpProxy& proxy, const std::string& host,
                      uint16_t port, const ConnectOptions& options = {});
void OpenConnection(TcpConnection& connection, const std::string& host, uint16_t port,
                    const std::optional<HttpProxy>& proxy, const ConnectOptions& options = {});

// "Basic " + base64(user ":" password) as sent in Proxy-Authorization.
std::string BasicAuthorization(const std::string& username, const std::string& password);

} // namespace bm
