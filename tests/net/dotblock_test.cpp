// TcpConnection::ReadDotBlock over loopback: multi-line answers and message
// data ended by a line holding ".".

#include <latch>

#include <gtest/gtest.h>

#include "net/socketU.h"
#include "tests/net/loopback.h"

namespace bm {
namespace {

using test::kLongMs;
using test::kShortMs;
using test::OneClientServer;

struct BlockCase {
    const char* name;
    std::string input;  // the block, then "NEXT\r\n"
    bool keepRaw;
    std::size_t maxTotal;
    ReadStatus status;
    std::string block;
};

const BlockCase kBlockCases[] = {
    {"raw_keeps_stuffing_and_end", "a\r\n..b\r\n.\r\n", true, 1000, ReadStatus::Line, "a\r\n..b\r\n.\r\n"},
    {"unstuffed", "a\r\n..b\r\n.c\r\n.\r\n", false, 1000, ReadStatus::Line, "a\r\n.b\r\nc\r\n"},
    {"empty_block", ".\r\n", false, 1000, ReadStatus::Line, ""},
    {"lone_lf_ends_become_crlf", "a\nb\n.\n", true, 1000, ReadStatus::Line, "a\r\nb\r\n.\r\n"},
    {"empty_lines_kept", "\r\n\r\nx\r\n.\r\n", false, 1000, ReadStatus::Line, "\r\n\r\nx\r\n"},
    {"dot_space_is_not_the_end", ". \r\n.\r\n", false, 1000, ReadStatus::Line, " \r\n"},
    {"too_large_skips_to_end", "0123456789\r\nabcdefghij\r\n" + std::string(70000, 'z') + "\r\n.\r\n", false, 15,
     ReadStatus::TooLong, "0123456789\r\n"},
    {"too_large_in_one_line", std::string(200000, 'y') + "\r\n.\r\n", true, 100, ReadStatus::TooLong, ""},
    // Lines longer than the reader's piece are passed on in pieces: the
    // transparency dot is taken only from a line's real start, and a "."
    // that begins a later piece is text.
    {"long_lines_unstuffed", ".." + std::string(150000, 'x') + "\r\n." + std::string(100000, 'y') + ".\r\n.\r\n",
     false, 1000000, ReadStatus::Line,
     "." + std::string(150000, 'x') + "\r\n" + std::string(100000, 'y') + ".\r\n"},
    {"long_line_inner_dot_kept", std::string(65536, 'a') + ".x\r\n.\r\n", false, 1000000, ReadStatus::Line,
     std::string(65536, 'a') + ".x\r\n"},
    {"long_line_raw", std::string(70000, 'r') + "\n.\n", true, 1000000, ReadStatus::Line,
     std::string(70000, 'r') + "\r\n.\r\n"},
};

class DotBlockTest : public ::testing::TestWithParam<std::tuple<BlockCase, bool>> {};

TEST_P(DotBlockTest, ReadsTheBlockThenTheNextLine)
{
    const auto& [tc, byteWise] = GetParam();
    const std::string bytes = tc.input + "NEXT\r\n";
    OneClientServer server([&](TcpConnection& c) {
        if (!byteWise) {
            c.Write(bytes, kLongMs);
            return;
        }
        for (char ch : bytes)
            c.Write(std::string_view(&ch, 1), kLongMs);
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    std::string block;
    EXPECT_EQ(client->ReadDotBlock(block, tc.keepRaw, tc.maxTotal, kLongMs), tc.status) << client->LastError();
    EXPECT_EQ(block, tc.block);
    if (tc.status == ReadStatus::TooLong) {
        EXPECT_EQ(client->LastError(), "Message too large.");
    }
    EXPECT_EQ(client->ReadLineOrThrow(100, kLongMs), "NEXT");
    server.Join();
}

INSTANTIATE_TEST_SUITE_P(Cases, DotBlockTest,
                         ::testing::Combine(::testing::ValuesIn(kBlockCases), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_bytewise" : "_whole");
                         });

TEST(DotBlockResumeTest, TimeOutKeepsWhatArrivedAndGoesOn)
{
    std::latch resume(1);
    OneClientServer server([&](TcpConnection& c) {
        c.Write("one\r\n.", kLongMs);  // the "." may begin a stuffed line or the end
        resume.wait();
        c.Write(".two\r\n.\r\n", kLongMs);
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    std::string block;
    EXPECT_EQ(client->ReadDotBlock(block, false, 1000, kShortMs), ReadStatus::NeedMore);
    EXPECT_EQ(block, "one\r\n");
    resume.count_down();
    EXPECT_EQ(client->ReadDotBlock(block, false, 1000, kLongMs), ReadStatus::Line);
    EXPECT_EQ(block, "one\r\n.two\r\n");
    server.Join();
}

TEST(DotBlockResumeTest, ClosedInsideABlockIsClosed)
{
    OneClientServer server([&](TcpConnection& c) { c.Write("partial\r\nmessage", kLongMs); });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    std::string block;
    EXPECT_EQ(client->ReadDotBlock(block, true, 1000, kLongMs), ReadStatus::Closed);
    EXPECT_EQ(client->LastError(), "Connection Closed Gracefully.");
    server.Join();
}

// A retrieval of many 20 KB messages on one connection, as a POP3 pass does.
TEST(DotBlockResumeTest, ManyMessagesOnOneConnectionArriveExactly)
{
    constexpr int kMessages = 300;
    std::string message;
    for (int i = 0; message.size() < 20000; ++i)
        message += "Line " + std::to_string(i) + " of a message body, with some text in it.\r\n";
    message += "..stuffed\r\n.\r\n";
    OneClientServer server([&](TcpConnection& c) {
        for (int i = 0; i < kMessages; ++i) {
            ASSERT_EQ(c.ReadLineOrThrow(100, kLongMs), "RETR " + std::to_string(i + 1));
            c.Write("+OK\r\n" + message, kLongMs);
        }
    });
    auto client = TcpConnection::Connect("127.0.0.1", server.Port());
    for (int i = 0; i < kMessages; ++i) {
        client->WriteLine("RETR " + std::to_string(i + 1), kLongMs);
        ASSERT_EQ(client->ReadLineOrThrow(512, kLongMs), "+OK");
        std::string got;
        ASSERT_EQ(client->ReadDotBlock(got, true, 1 << 20, kLongMs), ReadStatus::Line);
        ASSERT_TRUE(got == message) << "message " << i + 1;
    }
    server.Join();
}

} // namespace
} // namespace bm
