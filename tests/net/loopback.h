#pragma once
// A one-client server on a loopback port for the net/ tests: runs a handler
// on the first accepted connection in its own thread.

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/socketU.h"

namespace bm::test {

class OneClientServer {
public:
    using Handler = std::function<void(TcpConnection&)>;

    explicit OneClientServer(Handler handler, const std::string& address = kLoopbackAddress)
        : listener_(0, address)
    {
        thread_ = std::thread([this, h = std::move(handler)] {
            try {
                auto c = listener_.Accept(kNoTimeout);
                if (c)
                    h(*c);
            } catch (const std::exception& e) {
                error_ = e.what();
            }
        });
    }
    // Stops a server whose client never came (a failed test), then joins.
    ~OneClientServer()
    {
        if (thread_.joinable()) {
            listener_.Stop();
            thread_.join();
        }
    }

    uint16_t Port() const { return listener_.Port(); }
    TcpListener& Listener() { return listener_; }

    // Waits for the handler to end (the client must have connected); fails
    // the test when the handler threw.
    void Join()
    {
        if (!thread_.joinable())
            return;
        thread_.join();
        EXPECT_EQ(error_, "") << "server handler failed";
    }

private:
    TcpListener listener_;
    std::thread thread_;
    std::string error_;
};

// Short time-outs for reads that must succeed, long enough never to fire on
// a loaded machine; and the short one for the "need more" cases.
inline constexpr int kLongMs = 20000;
inline constexpr int kShortMs = 50;

} // namespace bm::test
