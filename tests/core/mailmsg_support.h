#pragma once
// Shared helpers of the mail message tests: feeding a parser whole and a
// byte at a time, and comparing parsed messages field by field.

#include "core/mailmsgU.h"

#include <gtest/gtest.h>

#include <istream>
#include <streambuf>
#include <string>
#include <string_view>

namespace bm::test {

// A stream buffer that hands out one byte per underflow, as a slow socket
// would, so that a reader cannot rely on seeing a whole line at once.
class TOneByteBuf : public std::streambuf {
public:
    explicit TOneByteBuf(std::string_view text) : text_(text) {}
    std::size_t Consumed() const { return pos_; }

protected:
    int_type underflow() override {
        if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (pos_ >= text_.size()) return traits_type::eof();
        ch_ = text_[pos_++];
        setg(&ch_, &ch_, &ch_ + 1);
        return traits_type::to_int_type(ch_);
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    char ch_ = 0;
};

enum class TFeed { Whole, ByteAtATime };

inline const char* FeedName(TFeed feed) { return feed == TFeed::Whole ? "Whole" : "ByteAtATime"; }

inline TMailMessage LoadMessage(std::string_view stored, TFeed feed, const TMessageLimits& limits = {}) {
    TMailMessage msg;
    if (feed == TFeed::Whole) {
        msg.LoadFromString(stored, limits);
    } else {
        TOneByteBuf buf(stored);
        std::istream in(&buf);
        msg.LoadFromStream(in, limits);
    }
    return msg;
}

// Every parsed field of two messages is equal.
inline void ExpectSameFields(const TMailMessage& a, const TMailMessage& b) {
    EXPECT_EQ(a.FromList.GetListText(), b.FromList.GetListText());
    EXPECT_EQ(a.Sender, b.Sender);
    EXPECT_EQ(a.ReplyTo, b.ReplyTo);
    EXPECT_EQ(a.Recipients, b.Recipients);
    EXPECT_EQ(a.CCList, b.CCList);
    EXPECT_EQ(a.BccList, b.BccList);
    EXPECT_EQ(a.Subject, b.Subject);
    EXPECT_EQ(a.Date, b.Date);
    EXPECT_EQ(a.Headers, b.Headers);
    EXPECT_EQ(a.Body, b.Body);
    EXPECT_EQ(a.Parts, b.Parts);
}

// CR LF joined lines, each line ended: Lines("a", "b") == "a\r\nb\r\n".
template <typename... T>
std::string CrLf(T... lines) {
    std::string out;
    ((out += std::string(lines) + "\r\n"), ...);
    return out;
}

} // namespace bm::test
