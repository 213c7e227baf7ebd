// Readers on worker threads while the main thread changes and saves: every
// read sees a whole value that some writer stored, and nothing crashes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/acctU.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::TempDir;

// Long strings: a torn copy would show as a mix of the two.
const std::string kServerA(200, 'a');
const std::string kServerB(300, 'b');

TEST(AcctConcurrencyTest, ReadersSeeWholeValuesWhileTheListChanges)
{
    TempDir dir;
    TOptions options;
    TAccountList list(options);
    for (int i = 0; i < 4; ++i) {
        auto a = std::make_shared<TAccount>(options);
        a->SetName("acct" + std::to_string(i));
        a->Incoming().SetServer(kServerA);
        list.Add(a);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    auto reader = [&] {
        while (!stop.load()) {
            for (const TAccountPtr& a : list.Items()) {
                const std::string server = a->Incoming().Server();
                const TAccountValues v = a->Snapshot();
                if ((server != kServerA && server != kServerB) ||
                    (v.Incoming.Server != kServerA && v.Incoming.Server != kServerB))
                    ++torn;
            }
            if (TAccountPtr a = list.FindByName("acct0"))
                (void)a->Outgoing().EMailAddresses();
            (void)list.Item(list.Count() - 1);
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i)
        readers.emplace_back(reader);

    for (int round = 0; round < 300; ++round) {
        for (const TAccountPtr& a : list.Items()) {
            a->Incoming().SetServer(round % 2 ? kServerB : kServerA);
            a->Outgoing().SetEMailAddresses({"x" + std::to_string(round) + "@y"});
        }
        // Replace the last account: readers may still hold the old one.
        auto fresh = std::make_shared<TAccount>(options);
        fresh->Incoming().SetServer(kServerA);
        list.Delete(list.Count() - 1);
        list.Add(fresh);
        if (round % 50 == 0)
            list.SaveToFile(dir.path() / "accounts.ini");
    }
    stop = true;
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(list.Count(), 4);
}

TEST(AcctConcurrencyTest, SenderThreadSetsLoginRequiredAndSavesWhileMainEdits)
{
    TempDir dir;
    const auto file = dir.path() / "accounts.ini";
    TOptions options;
    TAccountList list(options);
    TAccountPtr a = list.Add(std::make_shared<TAccount>(options));
    std::thread sender([&] {
        for (int i = 0; i < 50; ++i) {
            a->Outgoing().SetLoginRequired(i % 2 == 0);
            list.SaveToFile(file);
        }
        a->Outgoing().SetLoginRequired(true);
        list.SaveToFile(file);
    });
    for (int i = 0; i < 200; ++i)
        a->SetQuarantineDays(1 + i % 30);
    sender.join();
    list.SaveToFile(file);
    TAccountList back(options);
    back.LoadFromFile(file);
    ASSERT_EQ(back.Count(), 1);
    EXPECT_TRUE(back.Item(0)->Outgoing().LoginRequired());
    EXPECT_EQ(back.Item(0)->QuarantineDays(), a->QuarantineDays());
}

TEST(OptionsConcurrencyTest, ReadersSeeWholeValuesWhileOptionsChange)
{
    TempDir dir;
    TOptions options;
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const std::string address = options.Proxy().Address();
            const TOptionsValues v = options.Snapshot();
            if (address != kServerA && address != kServerB && !address.empty())
                ++torn;
            // Set together through SetValues: a snapshot sees both or neither.
            if ((v.Proxy.Address == kServerB) != (v.SoundFile == kServerB))
                ++torn;
        }
    });
    for (int round = 0; round < 500; ++round) {
        TOptionsValues v = options.Snapshot();
        v.Proxy.Address = round % 2 ? kServerB : kServerA;
        v.SoundFile = round % 2 ? kServerB : kServerA;
        options.SetValues(v);
        options.SetAutoInterval(1 + round % 60);
        if (round % 100 == 0)
            options.SaveToFile(dir.path() / "options.ini");
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
} // namespace bm
