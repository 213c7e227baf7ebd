// Large messages through the local SMTP server: one past the spool size is
// kept in an unnamed private file while it is received and relayed, and
// arrives byte for byte; a spool that cannot be written, or memory for
// messages used up, refuses the message with a temporary reply, so nothing
// the client was told is delivered is lost. The account's server is an
// in-process one on loopback that can hold its DATA reply back, so a test
// can look at the server while a relay is under way.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "net/socketU.h"
#include "servers/smtpsrvmdl.h"
#include "tests/servers/smtpsrv_support.h"
#include "tests/support/testenv.h"

namespace bm::test {
namespace {

// Takes every message and keeps its DATA text (un-dot-stuffed). While held
// it does not answer DATA, so a relay waits in the middle of its message.
class HoldingUpstream {
public:
    HoldingUpstream() : thread_([this] { Run(); }) {}
    ~HoldingUpstream()
    {
        Release();
        listener_.Stop();
        thread_.join();
    }
    uint16_t Port() const { return listener_.Port(); }
    void Hold()
    {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void Release()
    {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    // Waits until a relay waits for the DATA reply; false when none came.
    bool WaitForHeldRelay()
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(kSmtpLongMs), [this] { return waiting_; });
    }
    std::vector<std::string> Messages() const
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }

private:
    void Run()
    {
        while (auto connection = listener_.Accept())
            Serve(*connection);
    }
    void Serve(TcpConnection& c)
    {
        c.WriteLine("220 upstream.example ESMTP", kSmtpLongMs);
        std::string line;
        while (c.ReadLine(line, 4096, kSmtpLongMs) == ReadStatus::Line) {
            const std::string verb = line.substr(0, 4);
            if (verb == "QUIT") {
                c.WriteLine("221 Bye", kSmtpLongMs);
                return;
            }
            if (verb != "DATA") {
                c.WriteLine("250 Ok", kSmtpLongMs);
                continue;
            }
            WaitWhileHeld();
            c.WriteLine("354 Go ahead", kSmtpLongMs);
            std::string data;
            if (c.ReadDotBlock(data, false, std::size_t{1} << 30, kSmtpLongMs) != ReadStatus::Line)
                return;
            {
                std::lock_guard lock(mutex_);
                messages_.push_back(std::move(data));
            }
            c.WriteLine("250 Queued", kSmtpLongMs);
        }
    }
    void WaitWhileHeld()
    {
        std::unique_lock lock(mutex_);
        waiting_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
        waiting_ = false;
    }

    TcpListener listener_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool waiting_ = false;
    std::vector<std::string> messages_;
    std::thread thread_;
};

// A message of about `size` bytes whose body has what dot-stuffing and the
// line reader must get right: lines beginning with ".", a line holding only
// ".", one holding "..", and a line far longer than a read buffer.
std::string LargeMessage(std::size_t size)
{
    std::string text =
        "From: joe@home.example\r\nTo: ann@x.example\r\nBcc: hidden@x.example\r\nSubject: large\r\n\r\n";
    for (int i = 0; text.size() < size; ++i) {
        if (i == 100)
            text += ".\r\n..\r\n." + std::string(300000, 'L') + "\r\n";
        text += (i % 50 == 0 ? ".line " : "line ") + std::to_string(i) + " of the ordinary length of mail text\r\n";
    }
    return text + "the end\r\n";
}

std::string WithoutBcc(const std::string& text)
{
    const auto start = text.find("Bcc: ");
    return text.substr(0, start) + text.substr(text.find("\r\n", start) + 2);
}

// Descriptors of this process open on an unnamed file of folder.
std::vector<std::string> OpenUnnamedFilesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && target.starts_with(folder.string() + "/") && target.ends_with(" (deleted)"))
            found.push_back(entry.path().string());
    }
    return found;
}

bool SameBytes(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    const auto diff = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    ADD_FAILURE() << "sizes " << a.size() << " and " << b.size() << ", first difference at byte "
                  << (diff.first - a.begin());
    return false;
}

class SmtpSpoolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        env_.Options().SetWhitelistRecipients(false);
        env_.AddAccount("Home", {"joe@home.example"}, upstream_.Port());
        env_.Settings().spoolFolder = env_.Folder() / "spool";
    }
    void Start()
    {
        server_ = std::make_unique<TLocalSMTPServerMdl>(env_.Settings());
        server_->StartListening(TTlsMode::None, 0);
    }
    std::unique_ptr<SmtpClient> Greeted()
    {
        auto client = std::make_unique<SmtpClient>(server_->Port());
        EXPECT_TRUE(client->Reply().starts_with("220 "));
        EXPECT_TRUE(client->Cmd("EHLO client.example").starts_with("250"));
        return client;
    }
    // MAIL, RCPT, DATA; true when DATA got its 354.
    static bool Begin(SmtpClient& client)
    {
        EXPECT_EQ(client.Cmd("MAIL FROM:<joe@home.example>"), "250 2.1.0 Sender OK");
        EXPECT_TRUE(client.Cmd("RCPT TO:<ann@x.example>").starts_with("250 "));
        return client.Cmd("DATA").starts_with("354 ");
    }
    // A whole transaction; the reply to the data.
    static std::string Send(SmtpClient& client, const std::string& text)
    {
        if (!Begin(client))
            return "<no 354>";
        client.Send(DataBlock(text));
        return client.Reply();
    }

    HoldingUpstream upstream_;
    SmtpEnv env_;
    std::unique_ptr<TLocalSMTPServerMdl> server_;
};

TEST_F(SmtpSpoolTest, LargeMessageGoesThroughAnUnnamedPrivateFileAndArrivesIntact)
{
    Start();
    const std::string text = LargeMessage(3 * 1024 * 1024);
    auto client = Greeted();
    upstream_.Hold();
    std::string reply;
    std::thread sending([&] { reply = Send(*client, text); });
    ASSERT_TRUE(upstream_.WaitForHeldRelay());
    // The relay is under way: the text is in the spool, not in memory.
    const auto open = OpenUnnamedFilesIn(env_.Settings().spoolFolder);
    EXPECT_EQ(open.size(), 1u);
    for (const auto& fd : open) {
        struct stat st {};
        ASSERT_EQ(::stat(fd.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // The text with the Received line in front.
        EXPECT_GT(static_cast<std::size_t>(st.st_size), text.size());
        EXPECT_LT(static_cast<std::size_t>(st.st_size), text.size() + 1000);
    }
    EXPECT_LT(env_.Settings().dataBudget->Held(), env_.Settings().spoolThreshold);
    upstream_.Release();
    sending.join();
    EXPECT_EQ(reply, "250 Ok");
    const auto received = upstream_.Messages();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(SameBytes(WithoutReceived(received[0]), WithoutBcc(text)));
    EXPECT_TRUE(OpenUnnamedFilesIn(env_.Settings().spoolFolder).empty());
    EXPECT_TRUE(std::filesystem::is_empty(env_.Settings().spoolFolder));
    EXPECT_EQ(env_.Settings().dataBudget->Held(), 0u);
}

TEST_F(SmtpSpoolTest, SpoolThatCannotBeWrittenGets451AndNothingIsRelayed)
{
    // A file where the folder should be: refused whoever runs the test.
    WriteFileBytes(env_.Settings().spoolFolder, "in the way");
    Start();
    auto client = Greeted();
    EXPECT_EQ(Send(*client, LargeMessage(2 * 1024 * 1024)),
              "451 4.3.0 Requested action aborted: local error in processing");
    EXPECT_TRUE(upstream_.Messages().empty());
    // A message that fits in memory needs no spool; the session is in step.
    EXPECT_EQ(Send(*client, SimpleMessage("joe@home.example", "ann@x.example", "small")), "250 Ok");
    EXPECT_EQ(upstream_.Messages().size(), 1u);
}

TEST_F(SmtpSpoolTest, PastTheMemoryCapMessagesGet452AndMayBeSentAgain)
{
    env_.Settings().dataBudget = std::make_shared<TDataMemoryBudget>(64 * 1024);
    const auto& budget = *env_.Settings().dataBudget;
    Start();
    // The first client holds most of the memory with a message in transfer.
    auto first = Greeted();
    ASSERT_TRUE(Begin(*first));
    const std::string firstText = SimpleMessage("joe@home.example", "ann@x.example", "first") +
                                  std::string(40 * 1024, 'f') + "\r\n";
    const std::string firstData = DataBlock(firstText);
    first->Send(std::string_view(firstData).substr(0, firstData.size() - 3));  // not the final "."
    for (int i = 0; i < 2000 && budget.Held() < 40 * 1024; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(budget.Held(), 40u * 1024);
    // A second one that alone would fit does not now.
    auto second = Greeted();
    const std::string secondText = SimpleMessage("joe@home.example", "ann@x.example", "second") +
                                   std::string(30 * 1024, 's') + "\r\n";
    EXPECT_EQ(Send(*second, secondText), "452 4.3.1 Insufficient system storage");
    first->Send(".\r\n");
    EXPECT_EQ(first->Reply(), "250 Ok");
    // The client keeps its message and tries again: now it fits.
    EXPECT_EQ(Send(*second, secondText), "250 Ok");
    const auto received = upstream_.Messages();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(SameBytes(WithoutReceived(received[0]), firstText));
    EXPECT_TRUE(SameBytes(WithoutReceived(received[1]), secondText));
    EXPECT_EQ(budget.Held(), 0u);
}

TEST_F(SmtpSpoolTest, LeftoversOfACrashAreRemovedWhenTheServerStarts)
{
    WriteFileBytes(env_.Settings().spoolFolder / "4242-1.spool", "left by a crash");
    Start();
    EXPECT_TRUE(std::filesystem::is_empty(env_.Settings().spoolFolder));
}

} // namespace
} // namespace bm::test
