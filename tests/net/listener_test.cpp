// TcpListener binding, stopping and TestPort over loopback.

#include <latch>
#include <thread>

#include <gtest/gtest.h>

#include "net/socketU.h"
#include "tests/net/loopback.h"

namespace bm {
namespace {

using test::kLongMs;

TEST(ListenerTest, BindsToIpv4LoopbackByDefault)
{
    TcpListener listener(0);
    EXPECT_EQ(listener.BoundAddress(), "127.0.0.1:" + std::to_string(listener.Port()));
}

TEST(ListenerTest, BindsToIpv6LoopbackWhenAsked)
{
    std::unique_ptr<TcpListener> listener;
    try {
        listener = std::make_unique<TcpListener>(0, "::1");
    } catch (const ESocketError& e) {
        GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
    }
    EXPECT_EQ(listener->BoundAddress(), "[::1]:" + std::to_string(listener->Port()));
    auto client = TcpConnection::Connect("::1", listener->Port());
    auto served = listener->Accept(kLongMs);
    ASSERT_TRUE(served);
    EXPECT_EQ(served->RemoteHost(), "::1");
}

TEST(ListenerTest, AnyAddressTakesIpv4Clients)
{
    TcpListener listener(0, kAnyAddress);
    const std::string bound = listener.BoundAddress();
    EXPECT_TRUE(bound == "[::]:" + std::to_string(listener.Port()) ||
                bound == "0.0.0.0:" + std::to_string(listener.Port()))
        << bound;
    auto client = TcpConnection::Connect("127.0.0.1", listener.Port());
    auto served = listener.Accept(kLongMs);
    ASSERT_TRUE(served);
    served->WriteLine("hello", kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "hello");
}

TEST(ListenerTest, StopFromAnotherThreadEndsABlockedAccept)
{
    TcpListener listener(0);
    std::latch accepting(1);
    bool gotNull = false;
    std::thread t([&] {
        accepting.count_down();
        gotNull = listener.Accept(kNoTimeout) == nullptr;
    });
    accepting.wait();
    listener.Stop();
    t.join();
    EXPECT_TRUE(gotNull);
    EXPECT_EQ(listener.Accept(kNoTimeout), nullptr);  // and every later one
}

TEST(ListenerTest, AcceptTimeOutGivesNull)
{
    TcpListener listener(0);
    EXPECT_EQ(listener.Accept(test::kShortMs), nullptr);
    EXPECT_FALSE(listener.IsStopped());
}

TEST(ListenerTest, TakenPortFailsWithTheBindMessageAndTestPortSaysSo)
{
    auto listener = std::make_unique<TcpListener>(0);
    const uint16_t port = listener->Port();
    EXPECT_FALSE(TestPort(port));
    try {
        TcpListener second(port);
        ADD_FAILURE() << "bound twice";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    listener.reset();
    EXPECT_TRUE(TestPort(port));
}

TEST(ListenerTest, InvalidAddressIsNamed)
{
    try {
        TcpListener l(0, "not-an-address");
        ADD_FAILURE() << "bound";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Invalid listen address: not-an-address");
    }
}

TEST(ListenerTest, PeerAddressIsNumeric)
{
    test::OneClientServer server([](TcpConnection& c) { c.WriteLine(c.PeerAddress(), kLongMs); });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "127.0.0.1:" + std::to_string(client->LocalPort()));
    server.Join();
}

} // namespace
} // namespace bm
