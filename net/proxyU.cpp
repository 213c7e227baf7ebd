#include "net/proxyU.h"

#include <algorithm>
#include <cctype>

namespace bm {

namespace {

constexpr std::size_t kMaxProxyLine = 8192;
constexpr int kMaxProxyHeaders = 100;

std::string Base64(const std::string& in)
{
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < in.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, in.size() - i);
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (n > 1)
            v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (n > 2)
            v |= static_cast<unsigned char>(in[i + 2]);
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += n > 1 ? digits[(v >> 6) & 63] : '=';
        out += n > 2 ? digits[v & 63] : '=';
    }
    return out;
}

// "host:port" for the request line and Host; IPv6 literals in brackets
// (RFC 9110 §7.2, RFC 3986 §3.2.2).
std::string Authority(const std::string& host, uint16_t port)
{
    const bool v6 = host.find(':') != std::string::npos && host.front() != '[';
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

struct StatusLine {
    int code = 0;
    std::string text;  // "<code> <reason>"
};

// "HTTP/1.x SSS reason" (RFC 9112 §4); code 0 when the line is not one.
StatusLine ParseStatusLine(const std::string& line)
{
    StatusLine s;
    if (line.rfind("HTTP/", 0) != 0)
        return s;
    const std::size_t sp = line.find(' ');
    if (sp == std::string::npos || line.size() < sp + 4)
        return s;
    for (std::size_t i = sp + 1; i < sp + 4; ++i)
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return s;
    if (line.size() > sp + 4 && line[sp + 4] != ' ')
        return s;
    s.code = std::stoi(line.substr(sp + 1, 3));
    s.text = line.substr(sp + 1);
    return s;
}

std::string ReadProxyLine(TcpConnection& c, int timeoutMs)
{
    std::string line;
    switch (c.ReadLine(line, kMaxProxyLine, timeoutMs)) {
    case ReadStatus::Line: return line;
    case ReadStatus::NeedMore: throw ESocketTimeout("Proxy did not answer in time.");
    case ReadStatus::TooLong: throw EProxyError("Invalid proxy response: line too long");
    case ReadStatus::Closed: throw EProxyError("Invalid proxy response: the proxy closed the connection");
    case ReadStatus::Error: break;
    }
    throw ESocketError(c.LastError());
}

void SendConnect(TcpConnection& c, const HttpProxy& proxy, const std::string& target, int timeoutMs)
{
    std::string request = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n";
    if (proxy.logon)
        request += "Proxy-Authorization: " + BasicAuthorization(proxy.username, proxy.password) + "\r\n";
    request += "\r\n";
    c.Write(request, timeoutMs);
}

void CheckStatus(const StatusLine& s, const std::string& first, const std::string& target)
{
    if (s.code == 0)
        throw EProxyError("Invalid proxy response: " + first);
    if (s.code >= 200 && s.code < 300)
        return;
    if (s.code == 407)
        throw EProxyError("Proxy authentication required (" + s.text + ")");
    if (s.code == 401)
        throw EProxyError("Proxy authentication failed (" + s.text + ")");
    throw EProxyError("Proxy refused the connection to " + target + " (" + s.text + ")");
}

} // namespace

std::string BasicAuthorization(const std::string& username, const std::string& password)
{
    return "Basic " + Base64(username + ":" + password);
}

void OpenThroughProxy(TcpConnection& connection, const HttpProxy& proxy, const std::string& host,
                      uint16_t port, const ConnectOptions& options)
{
    const int timeoutMs = options.connectTimeoutMs;
    connection.Open(proxy.host, proxy.port, options);
    const std::string target = Authority(host, port);
    SendConnect(connection, proxy, target, timeoutMs);
    const std::string first = ReadProxyLine(connection, timeoutMs);
    const StatusLine status = ParseStatusLine(first);
    // The headers are read even for a refusal so the answer is complete; a
    // body after a refusal is left unread, the connection ends anyway.
    if (status.code != 0) {
        int headers = 0;
        while (!ReadProxyLine(connection, timeoutMs).empty())
            if (++headers > kMaxProxyHeaders)
                throw EProxyError("Invalid proxy response: too many header lines");
    }
    CheckStatus(status, first, target);
    connection.SetRemoteHost(host);
}

void OpenConnection(TcpConnection& connection, const std::string& host, uint16_t port,
                    const std::optional<HttpProxy>& proxy, const ConnectOptions& options)
{
    if (proxy)
        OpenThroughProxy(connection, *proxy, host, port, options);
    else
        connection.Open(host, port, options);
}

std::unique_ptr<TcpConnection> ConnectThroughProxy(const HttpProxy& proxy, const std::string& host,
                                                   uint16_t port, const ConnectOptions& options)
{
    auto connection = std::make_unique<TcpConnection>();
    OpenThroughProxy(*connection, proxy, host, port, options);
    return connection;
}

std::unique_ptr<TcpConnection> ConnectTo(const std::string& host, uint16_t port,
                                         const std::optional<HttpProxy>& proxy, const ConnectOptions& options)
{
    auto connection = std::make_unique<TcpConnection>();
    OpenConnection(*connection, host, port, proxy, options);
    return connection;
}

} // namespace bm
