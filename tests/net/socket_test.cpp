// TcpConnection reading and writing over real loopback sockets.

#include <latch>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/socketU.h"
#include "tests/net/loopback.h"

namespace bm {
namespace {

using test::kLongMs;
using test::kShortMs;
using test::OneClientServer;

// Sends bytes whole or one byte per write, then closes.
void Send(TcpConnection& c, const std::string& bytes, bool byteWise)
{
    if (!byteWise) {
        c.Write(bytes, kLongMs);
        return;
    }
    for (char ch : bytes)
        c.Write(std::string_view(&ch, 1), kLongMs);
}

struct Read {
    ReadStatus status;
    std::string line;
    bool operator==(const Read&) const = default;
};

void PrintTo(const Read& r, std::ostream* os)
{
    *os << "{" << static_cast<int>(r.status) << ", \"" << r.line << "\"}";
}

struct LineCase {
    const char* name;
    std::string input;
    std::size_t maxLength;
    std::vector<Read> expected;  // then Closed
};

const std::string kHuge(100000, 'x');

const LineCase kLineCases[] = {
    {"crlf", "USER a\r\nPASS b\r\n", 100, {{ReadStatus::Line, "USER a"}, {ReadStatus::Line, "PASS b"}}},
    {"lone_lf", "a\nb\r\n", 100, {{ReadStatus::Line, "a"}, {ReadStatus::Line, "b"}}},
    {"empty_line", "\r\n\r\n", 100, {{ReadStatus::Line, ""}, {ReadStatus::Line, ""}}},
    {"cr_inside_line", "a\rb\r\n", 100, {{ReadStatus::Line, "a\rb"}}},
    {"exactly_max", "abcde\r\n", 5, {{ReadStatus::Line, "abcde"}}},
    {"too_long_then_next", "abcdefgh\r\nnext\r\n", 5,
     {{ReadStatus::TooLong, "abcde"}, {ReadStatus::Line, "next"}}},
    {"huge_then_next", kHuge + "\r\nnext\r\n", 1000,
     {{ReadStatus::TooLong, std::string(1000, 'x')}, {ReadStatus::Line, "next"}}},
    {"unfinished_at_close", "one\r\ntw", 100, {{ReadStatus::Line, "one"}}},
};

class LineReadTest : public ::testing::TestWithParam<std::tuple<LineCase, bool>> {};

TEST_P(LineReadTest, ReadsLinesThenClosedGracefully)
{
    const auto& [tc, byteWise] = GetParam();
    OneClientServer server([&](TcpConnection& c) { Send(c, tc.input, byteWise); });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    std::vector<Read> got;
    std::string line;
    ReadStatus s;
    while ((s = client->ReadLine(line, tc.maxLength, kLongMs)) != ReadStatus::Closed) {
        ASSERT_NE(s, ReadStatus::Error) << client->LastError();
        ASSERT_NE(s, ReadStatus::NeedMore);
        got.push_back({s, line});
    }
    EXPECT_EQ(got, tc.expected);
    EXPECT_EQ(client->LastError(), "Connection Closed Gracefully.");
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(Cases, LineReadTest,
                         ::testing::Combine(::testing::ValuesIn(kLineCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_bytewise" : "_whole");
                         });

TEST(SocketTest, TimeOutGivesNeedMoreAndTheLineIsKept)
{
    std::latch resume(1);
    OneClientServer server([&](TcpConnection& c) {
        c.Write("par", kLongMs);
        resume.wait();
        c.Write("tial\r\n", kLongMs);
    });
    auto client = TcpConnection::Connect("localhost", server.Port());
    std::string line;
    EXPECT_EQ(client->ReadLine(line, 100, kShortMs), ReadStatus::NeedMore);
    EXPECT_EQ(client->LastError(), "Read timed out.");
    resume.count_down();
    EXPECT_EQ(client->ReadLine(line, 100, kLongMs), ReadStatus::Line);
    EXPECT_EQ(line, "partial");
    server.Join();
}

TEST(SocketTest, ThrowingReadNamesEachOutcome)
{
    std::latch resume(1);
    OneClientServer server([&](TcpConnection& c) {
        c.Write("toolongline\r\nok\r\n", kLongMs);
        resume.wait();
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    EXPECT_THROW(
        {
            try {
                client->ReadLineOrThrow(4, kLongMs);
            } catch (const ELineTooLong& e) {
                EXPECT_STREQ(e.what(), "Line too long.");
                throw;
            }
        },
        ELineTooLong);
    EXPECT_EQ(client->ReadLineOrThrow(4, kLongMs), "ok");
    try {
        client->ReadLineOrThrow(100, kShortMs);
        ADD_FAILURE() << "no time-out";
    } catch (const ESocketTimeout& e) {
        EXPECT_STREQ(e.what(), "Read timed out.");
    }
    resume.count_down();
    try {
        client->ReadLineOrThrow(100, kLongMs);
        ADD_FAILURE() << "no close";
    } catch (const EConnectionClosed& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    server.Join();
}

TEST(SocketTest, ReadExactThenLines)
{
    OneClientServer server([&](TcpConnection& c) { c.Write("abcdefNEXT\r\n", kLongMs); });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    std::string bytes;
    EXPECT_EQ(client->ReadExact(bytes, 6, kLongMs), ReadStatus::Line);
    EXPECT_EQ(bytes, "abcdef");
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "NEXT");
    EXPECT_EQ(client->ReadExact(bytes, 1, kLongMs), ReadStatus::Closed);
    server.Join();
}

TEST(SocketTest, AbortFromAnotherThreadUnblocksARead)
{
    std::latch serverDone(1);
    OneClientServer server([&](TcpConnection&) { serverDone.wait(); });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    std::latch reading(1);
    ReadStatus status = ReadStatus::Line;
    std::thread reader([&] {
        std::string line;
        reading.count_down();
        status = client->ReadLine(line, 100, kNoTimeout);  // would wait for ever
    });
    reading.wait();
    client->Abort();
    reader.join();
    EXPECT_EQ(status, ReadStatus::Error);
    EXPECT_EQ(client->LastError(), "Connection aborted.");
    EXPECT_THROW(client->Write("x", kLongMs), ESocketError);
    serverDone.count_down();
    server.Join();
}

TEST(SocketTest, AbortBeforeOpenEndsTheConnect)
{
    TcpConnection c;
    c.Abort();
    try {
        c.Open("127.0.0.1", 1);
        ADD_FAILURE() << "connected";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Connection aborted.");
    }
}

TEST(SocketTest, ConnectFailuresNameTheTarget)
{
    uint16_t port;
    {
        TcpListener gone(0);
        port = gone.Port();
    }
    try {
        TcpConnection::Connect("127.0.0.1", port);
        ADD_FAILURE() << "connected";
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()), "Connection refused: 127.0.0.1:" + std::to_string(port));
    }
    try {
        TcpConnection::Connect("no-such-host.invalid", 110);
        ADD_FAILURE() << "connected";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Host not found: no-such-host.invalid");
    }
}

TEST(SocketTest, WriteToAPeerThatDoesNotReadTimesOut)
{
    std::latch done(1);
    OneClientServer server([&](TcpConnection&) { done.wait(); });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    const std::string chunk(1 << 20, 'w');
    try {
        // Far more than the socket buffers of both ends hold.
        for (int i = 0; i < 256; ++i)
            client->Write(chunk, kShortMs);
        ADD_FAILURE() << "256 MB written to a peer that reads nothing";
    } catch (const ESocketTimeout& e) {
        EXPECT_STREQ(e.what(), "Write timed out.");
    }
    done.count_down();
    server.Join();
}

TEST(SocketTest, WritesLargerThanTheSocketBuffersArriveWhole)
{
    std::string big(4 * 1024 * 1024, 'm');
    for (std::size_t i = 0; i < big.size(); i += 997)
        big[i] = static_cast<char>('a' + i % 26);
    std::string received;
    OneClientServer server([&](TcpConnection& c) {
        ASSERT_EQ(c.ReadExact(received, big.size(), kLongMs), ReadStatus::Line) << c.LastError();
        c.WriteLine("DONE", kLongMs);
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    client->Write(big, kLongMs);
    EXPECT_EQ(client->ReadLineOrThrow(10, kLongMs), "DONE");
    server.Join();
    EXPECT_TRUE(received == big);
}

} // namespace
} // namespace bm
