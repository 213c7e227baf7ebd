#pragma once
// A private tinyproxy (HTTP proxy with CONNECT) on 127.0.0.1 for the tunnel tests.

#include "tests/support/peerprocess.h"
#include "tests/support/testenv.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bm::test {

struct TinyproxyOptions {
    // The ports CONNECT may reach (tinyproxy's ConnectPort lines); tinyproxy
    // refuses a CONNECT to any other port with 403.
    std::vector<std::uint16_t> connectPorts;
    // Proxy authentication (BasicAuth user password); none when empty. With
    // it, a missing Proxy-Authorization gets 407 and a wrong one 401.
    // Neither may hold blanks or quotes (tinyproxy's syntax).
    std::string user;
    std::string password;
};

// Starts /usr/bin/tinyproxy -d -c <conf> with a configuration of its own in a
// temporary folder: Listen 127.0.0.1 on a free port, the given ConnectPort
// and BasicAuth lines, log to a file there. The constructor returns once the
// proxy accepts connections and throws std::runtime_error (quoting the log)
// when it does not within `startTimeout` (a port taken meanwhile by someone
// else is retried with another). The destructor stops it and removes the
// folder. Test thread only.
class TinyproxyServer {
public:
    explicit TinyproxyServer(const TinyproxyOptions& options,
                             std::chrono::milliseconds startTimeout = std::chrono::seconds(20));
    ~TinyproxyServer();
    TinyproxyServer(const TinyproxyServer&) = delete;
    TinyproxyServer& operator=(const TinyproxyServer&) = delete;

    std::uint16_t Port() const { return port_; }
    // tinyproxy's log so far, for failure messages.
    std::string Log() const;
    void Stop();

private:
    bool StartOnce(const TinyproxyOptions& options, std::chrono::milliseconds timeout);

    TempDir dir_;
    std::uint16_t port_ = 0;
    std::unique_ptr<PeerProcess> process_;
};

} // namespace bm::test
