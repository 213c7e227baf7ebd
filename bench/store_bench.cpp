// Throughput of the message store: the quarantine list loader over 100,000
// rows, and knownmessages.dat saved and loaded with 10,000 and 100,000
// records. Prints rows per second and the growth ratio of the time from 10k
// to 100k records (about 10 when the cost grows linearly).
#include "store/ffdatamdl.h"
#include "store/msgsU.h"
#include "store/trashloaderthrdU.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void FillQuarantine(bm::TFFData& data, int rows)
{
    bm::TTransaction tx(data.Database());
    int key = data.AppendKey("BENCHKEY", "bench@example.org ", true);
    for (int i = 0; i < rows; ++i) {
        bm::TQuarantinedMessage row;
        row.KeyID = key;
        row.Account = "Work";
        row.UIDL = "uidl-" + std::to_string(i);
        row.From = "Sender " + std::to_string(i) + " <s" + std::to_string(i) + "@example.org>";
        row.Subject = "Subject of message number " + std::to_string(i);
        row.Size = 1000 + i;
        data.AppendQuarantinedMessage(row);
    }
    tx.Commit();
}

void BenchLoader(const std::filesystem::path& folder)
{
    constexpr int kRows = 100000;
    auto file = folder / "quarantine.db";
    bm::TFFData data(file);
    FillQuarantine(data, kRows);
    std::size_t loaded = 0;
    auto start = Clock::now();
    bm::TTrashLoader loader(file);
    loader.OnLoaded = [&](bm::TTrashLoader&, const std::vector<bm::TTrashRow>& rows) { loaded = rows.size(); };
    loader.Start();
    while (!loader.Finished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    double s = SecondsSince(start);
    std::printf("trash loader: %zu rows in %.3f s, %.0f rows/s\n", loaded, s, loaded / s);
}

std::unique_ptr<bm::TKnownMessage> Record(int i)
{
    auto r = std::make_unique<bm::TKnownMessage>();
    r->SetId("uidl-" + std::to_string(i));
    r->SetAccount("Work");
    r->SetFrom("Sender <s" + std::to_string(i) + "@example.org>");
    r->SetSubject("Subject of message number " + std::to_string(i));
    r->SetSize(1000 + i);
    r->TextLines = {"Hello,", "a line of the message text", "regards"};
    r->AttachmentNames = {"file.pdf"};
    return r;
}

// Times of one save and one load of n records.
std::pair<double, double> BenchKnown(const std::filesystem::path& file, int n)
{
    bm::InboxList().Clear();
    for (int i = 0; i < n; ++i)
        bm::InboxList().Add(Record(i));
    auto start = Clock::now();
    bm::SaveKnownMessages(bm::InboxList(), file);
    double save = SecondsSince(start);
    start = Clock::now();
    bm::LoadKnownMessages(bm::KnownList(), nullptr, file);
    double load = SecondsSince(start);
    std::printf("known messages %6d: save %.3f s (%.0f records/s), load %.3f s (%.0f records/s), %d read\n", n,
                save, n / save, load, n / load, bm::KnownList().Count());
    bm::InboxList().Clear();
    bm::KnownList().Clear();
    return {save, load};
}

} // namespace

int main(int argc, char** argv)
{
    bm::test::PrivateHome home;
    QCoreApplication app(argc, argv);
    bm::test::TempDir dir;
    BenchLoader(dir.path());
    auto small = BenchKnown(dir.path() / "knownmessages.dat", 10000);
    auto large = BenchKnown(dir.path() / "knownmessages.dat", 100000);
    std::printf("growth 10k -> 100k: save x%.1f, load x%.1f (linear: x10)\n", large.first / small.first,
                large.second / small.second);
    return 0;
}
