// Per-thread connections beside the main one, the send queue, the quarantine
// loader, and the database surviving a killed process.
#include "store/ffdatamdl.h"
#include "store/threaddatamdl.h"
#include "store/trashloaderthrdU.h"

#include "core/mailmsgU.h"
#include "core/synchronize.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

class ThreadDataTest : public testing::Test {
protected:
    std::filesystem::path DbFile() const { return dir_.path() / "quarantine.db"; }

    static TQuarantinedMessage Message(int keyId, const std::string& uidl)
    {
        TQuarantinedMessage row;
        row.KeyID = keyId;
        row.Account = "Work";
        row.UIDL = uidl;
        row.From = "From " + uidl;
        row.Subject = "Subject " + uidl;
        row.Size = static_cast<int>(uidl.size());
        return row;
    }

    static void RunEventsUntil(const std::function<bool()>& done)
    {
        while (!done())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    test::TempDir dir_;
};

TEST_F(ThreadDataTest, InstancesHaveTheirOwnNumbers)
{
    TFFData main(DbFile());
    TThreadData a(DbFile()), b(DbFile());
    EXPECT_NE(a.Number(), b.Number());
    EXPECT_EQ(a.Name(), "DB_" + std::to_string(a.Number()));
}

TEST_F(ThreadDataTest, QueuedMessageReadsBackTheSame)
{
    TFFData main(DbFile());
    TThreadData data(DbFile());
    TMailMessage m;
    m.GetFrom().SetText("me@example.org");
    m.Recipients.SetFromText("you@example.org, other@example.org");
    m.Subject = "Your key";
    m.Body = {" -- ANTI-SPAM - abc - ANTI-SPAM", ".", "bye"};
    int id = data.QueueMessage("Work", -1, m);

    auto rows = main.AcctQueue("Work");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].ID, id);
    EXPECT_EQ(rows[0].KeyID, -1);
    TMailMessage back;
    back.LoadFromString(rows[0].Message);
    EXPECT_EQ(back.Subject, m.Subject);
    EXPECT_EQ(back.Body, m.Body);
    EXPECT_EQ(back.Recipients.GetListText(), "you@example.org, other@example.org");
    EXPECT_EQ(back.GetFrom().Address, "me@example.org");
}

TEST_F(ThreadDataTest, MissingTablesFailWithTheEnginesMessage)
{
    TThreadData data(DbFile()); // no TFFData created the tables
    try {
        data.FindKeyBySenders("a@x.org ");
        FAIL() << "a missing table went unnoticed";
    } catch (const EDatabaseError& e) {
        EXPECT_STREQ(e.what(), "no such table: Quarantine");
    }
}

// A writer thread with its own connection and the main connection writing at
// the same time: neither fails on the other's lock, and each sees the
// other's committed rows.
TEST_F(ThreadDataTest, WriterThreadAndMainConnectionSeeEachOther)
{
    TFFData main(DbFile());
    constexpr int kRows = 100;
    std::atomic<int> written{0};
    std::atomic<bool> sawMainKey{false};
    std::string failure;
    std::thread writer([&] {
        try {
            TThreadData data(DbFile());
            for (int i = 0; i < kRows; ++i) {
                data.AppendQuarantinedMessage(Message(1, "t" + std::to_string(i)));
                ++written;
            }
            while (!sawMainKey)
                sawMainKey = data.FindKeyByCode("MAINKEY").has_value();
        } catch (const std::exception& e) {
            failure = e.what();
            sawMainKey = true;
        }
    });
    int seenWhileRunning = 0;
    for (int i = 0; i < kRows; ++i) {
        main.AppendQueueRow("Work", -1, "m" + std::to_string(i));
        int before = written;
        seenWhileRunning = main.QuarantinedMessageCount();
        EXPECT_GE(seenWhileRunning, before); // every committed row is visible
    }
    main.AppendKey("mainkey", "a@x.org ", true);
    writer.join();
    EXPECT_EQ(failure, "");
    EXPECT_TRUE(sawMainKey);
    EXPECT_EQ(main.QuarantinedMessageCount(), kRows);
    EXPECT_EQ(main.AcctQueue("work").size(), static_cast<std::size_t>(kRows));
}

TEST_F(ThreadDataTest, LoaderHandsAllRowsOverInOneCall)
{
    TFFData main(DbFile());
    constexpr int kRows = 500;
    {
        TTransaction tx(main.Database()); // one commit: one fsync
        for (int i = 0; i < kRows; ++i)
            main.AppendQuarantinedMessage(Message(7, "u" + std::to_string(i)));
        tx.Commit();
    }
    main.DeleteQuarantinedMessage(3);

    int calls = 0;
    bool onMainThread = false;
    std::vector<TTrashRow> copied;
    TTrashLoader loader(DbFile());
    loader.OnLoaded = [&](TTrashLoader& sender, const std::vector<TTrashRow>& rows) {
        ++calls;
        onMainThread = IsMainThread() && &sender == &loader;
        copied = rows;
    };
    loader.Start();
    RunEventsUntil([&] { return loader.Finished(); });

    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onMainThread);
    EXPECT_EQ(loader.Error(), "");
    ASSERT_EQ(copied.size(), static_cast<std::size_t>(kRows - 1));
    EXPECT_EQ(copied[0].ID, 1);
    EXPECT_EQ(copied[2].ID, 4); // in ID order, the deleted row left out
    EXPECT_EQ(copied[2].UIDL, "u3");
    EXPECT_EQ(copied[2].From, "From u3");
    EXPECT_EQ(copied[2].Subject, "Subject u3");
    EXPECT_EQ(copied[2].Account, "Work");
    EXPECT_EQ(copied[2].Size, 2);
}

TEST_F(ThreadDataTest, LoaderFailureSkipsOnLoaded)
{
    bool called = false;
    TTrashLoader loader(DbFile()); // no tables: reading fails in the thread
    loader.OnLoaded = [&](TTrashLoader&, const std::vector<TTrashRow>&) { called = true; };
    loader.Start();
    RunEventsUntil([&] { return loader.Finished(); });
    EXPECT_FALSE(called);
    EXPECT_EQ(loader.Error(), "no such table: QuarantinedMessages");
}

TEST_F(ThreadDataTest, LoaderDestroyedWhileRunningDoesNotHang)
{
    TFFData main(DbFile());
    main.AppendQuarantinedMessage(Message(1, "x"));
    bool called = false;
    {
        TTrashLoader loader(DbFile());
        loader.OnLoaded = [&](TTrashLoader&, const std::vector<TTrashRow>&) { called = true; };
        loader.Start();
    } // the destructor serves the pending hand-over and skips the handler
    EXPECT_FALSE(called);
}

// A process killed with SIGKILL in the middle of writing leaves a database
// that opens, passes the consistency check and holds every row whose commit
// had returned.
TEST_F(ThreadDataTest, KilledWriterLosesNoCommittedRow)
{
    { TFFData create(DbFile()); }
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        try {
            TThreadData data(DbFile());
            for (int i = 1; i <= 100000; ++i) {
                data.AppendQuarantinedMessage(Message(1, std::string(200, 'p') + std::to_string(i)));
                if (write(pipeFds[1], &i, sizeof i) != sizeof i)
                    break;
            }
        } catch (...) {
        }
        _exit(0);
    }
    close(pipeFds[1]);
    int committed = 0, value = 0;
    while (committed < 150 && read(pipeFds[0], &value, sizeof value) == sizeof value)
        committed = value;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    while (read(pipeFds[0], &value, sizeof value) == sizeof value)
        committed = value; // commits reported before the kill landed
    close(pipeFds[0]);
    ASSERT_GE(committed, 150);

    TFFData reopened(DbFile());
    EXPECT_GE(reopened.QuarantinedMessageCount(), committed);
}

} // namespace
} // namespace bm
