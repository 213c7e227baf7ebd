// TMessageFileBatch: message files written whole but unsynced, made durable
// by one barrier.
#include "store/msgfilesU.h"

#include "core/mailmsgU.h"
#include "tests/support/testenv.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace bm {
namespace {

class MessageBatchTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("XDG_DATA_HOME");
        oldXdg_ = old ? old : "";
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    }
    void TearDown() override { setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1); }

    static TMailMessage Message(const std::string& subject)
    {
        TMailMessage m;
        m.GetFrom().SetText("Ann <ann@example.org>");
        m.Recipients.SetFromText("bob@example.org");
        m.Subject = subject;
        m.Body = {"first", ".leading", "last"};
        return m;
    }
    static int Entries(const std::filesystem::path& folder)
    {
        int n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder))
            ++n;
        return n;
    }

    test::TempDir dir_;
    std::string oldXdg_;
};

TEST_F(MessageBatchTest, SavedFileIsTheStoredFormAtOnceAndTheBarrierEmptiesThePendingList)
{
    TMessageFileBatch batch;
    batch.Save("Work", "m1", false, Message("one"));
    batch.Save("Work", "m2", true, Message("two"));
    batch.Save("Work", "m3", false, Message("three"));

    const auto inbox = MessageFilePath("Work", "m1", false);
    EXPECT_EQ(batch.Pending(), (std::vector<std::filesystem::path>{inbox, MessageFilePath("Work", "m2", true),
                                                                   MessageFilePath("Work", "m3", false)}));
    // Readable whole before the barrier.
    TMailMessage back;
    back.LoadFromFile(inbox);
    EXPECT_EQ(back.Subject, "one");
    EXPECT_EQ(back.Body, (std::vector<std::string>{"first", ".leading", "last"}));
    EXPECT_EQ(Entries(inbox.parent_path()), 3) << "m1, m3 and the Bad folder; no temporary";

    batch.Sync();
    EXPECT_TRUE(batch.Pending().empty());
    EXPECT_NO_THROW(batch.Sync()) << "an empty barrier has nothing to do";

}

TEST_F(MessageBatchTest, SavedFileReplacesAnOlderOneWhole)
{
    SaveMessageText("Work", "m1", false, "old\r\n.\r\n");
    TMessageFileBatch batch;
    batch.SaveText("Work", "m1", false, "Subject: new\r\n\r\nbody\r\n.\r\n");
    EXPECT_EQ(test::ReadFileBytes(MessageFilePath("Work", "m1", false)), "Subject: new\r\n\r\nbody\r\n.\r\n");
    batch.Sync();
}

TEST_F(MessageBatchTest, VanishedFileFailsTheBarrierNamingItAndStillEmptiesTheList)
{
    TMessageFileBatch batch;
    batch.Save("Work", "m1", false, Message("one"));
    batch.Save("Work", "m2", false, Message("two"));
    const auto gone = MessageFilePath("Work", "m1", false);
    std::filesystem::remove(gone);

    try {
        batch.Sync();
        FAIL() << "no failure reported";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot sync " + gone.string() + ": No such file or directory");
    }
    // The failed fsync proved nothing a retry could repeat: the list is new.
    EXPECT_TRUE(batch.Pending().empty());
    EXPECT_NO_THROW(batch.Sync());
}

TEST_F(MessageBatchTest, FailedSaveThrowsNamingTheFileAddsNothingAndLeavesNoTemporary)
{
    const auto file = MessageFilePath("Work", "m1", false);
    std::filesystem::create_directories(file / "inside"); // a folder stands where the file goes
    TMessageFileBatch batch;
    try {
        batch.Save("Work", "m1", false, Message("one"));
        FAIL() << "no failure reported";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot write " + file.string() + ": rename: ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(batch.Pending().empty());
    EXPECT_EQ(Entries(file.parent_path()), 1);
}

} // namespace
} // namespace bm
