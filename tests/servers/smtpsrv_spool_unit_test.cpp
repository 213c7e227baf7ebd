// The spool of a message in DATA on its own: what stays in memory and what
// goes to a file, the shared memory budget, failures, the left-overs of a
// crash, and the DATA bytes the relay reads back from it.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "proto/smtpreplyU.h"
#include "servers/smtpsrvspool.h"
#include "tests/support/testenv.h"

namespace bm::test {
namespace {

std::vector<std::string> Names(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    return names;
}

std::string ReadAll(const TDataSpool& spool)
{
    std::string all;
    std::string piece;
    for (std::uint64_t offset = 0;; offset += piece.size()) {
        spool.Read(offset, 1000, piece);
        if (piece.empty())
            return all;
        all += piece;
    }
}

// Lines of varying length, some beginning with ".", ending with CR LF.
std::string SampleText(std::size_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += (i % 7 == 0 ? "." : "") + std::string(static_cast<std::size_t>(i % 90), 'a' + i % 26) + "\r\n";
    return text;
}

TEST(DataSpool, SmallTextStaysInMemoryAndHoldsItsBytesOfTheBudget)
{
    TempDir dir;
    TDataMemoryBudget budget(1000);
    {
        TDataSpool spool(dir.path() / "spool", 100, budget);
        spool.Append("Subject: a\r\n");
        spool.Append("\r\nbody\r\n");
        EXPECT_EQ(spool.State(), TSpoolState::Ok);
        EXPECT_FALSE(spool.InFile());
        EXPECT_EQ(budget.Held(), spool.Size());
        spool.Finish();
        EXPECT_EQ(ReadAll(spool), "Subject: a\r\n\r\nbody\r\n");
    }
    EXPECT_EQ(budget.Held(), 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "spool"));
}

TEST(DataSpool, TextPastTheLimitGoesToAnUnnamedPrivateFileAndReadsBackExactly)
{
    TempDir dir;
    const std::filesystem::path folder = dir.path() / "data" / "spool";
    TDataMemoryBudget budget(1000);
    const std::string text = SampleText(300000);
    const mode_t oldMask = ::umask(022);
    TDataSpool spool(folder, 1000, budget);
    for (std::size_t pos = 0; pos < text.size(); pos += 333)
        spool.Append(std::string_view(text).substr(pos, 333));
    spool.Finish();
    ::umask(oldMask);
    ASSERT_EQ(spool.State(), TSpoolState::Ok) << spool.Error();
    EXPECT_TRUE(spool.InFile());
    EXPECT_EQ(budget.Held(), 0u);  // the file holds it now
    EXPECT_EQ(spool.Size(), text.size());
    EXPECT_TRUE(ReadAll(spool) == text);
    std::string piece;
    spool.Read(text.size() - 5, 100, piece);
    EXPECT_EQ(piece, text.substr(text.size() - 5));
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(Names(folder).empty());  // nothing named is left to clean up
}

TEST(DataSpool, FileInPlaceOfTheFolderFailsTheSpoolAndDropsTheRest)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "spool", "not a folder");
    TDataMemoryBudget budget(100000);
    TDataSpool spool(dir.path() / "spool", 10, budget);
    spool.Append("0123456789");
    spool.Append("abc");
    spool.Append("more");
    spool.Finish();
    EXPECT_EQ(spool.State(), TSpoolState::WriteFailed);
    EXPECT_NE(spool.Error(), "");
    EXPECT_EQ(budget.Held(), 0u);
}

TEST(DataSpool, SessionsShareTheBudgetAndOnePastItIsRefused)
{
    TempDir dir;
    TDataMemoryBudget budget(100);
    TDataSpool first(dir.path(), 1000, budget);
    TDataSpool second(dir.path(), 1000, budget);
    first.Append(std::string(60, 'a'));
    second.Append(std::string(30, 'b'));
    second.Append(std::string(30, 'c'));  // 120 would pass the cap
    EXPECT_EQ(first.State(), TSpoolState::Ok);
    EXPECT_EQ(second.State(), TSpoolState::OverBudget);
    EXPECT_EQ(budget.Held(), 60u);  // the refused one gave its part back
    first.Append(std::string(40, 'd'));
    EXPECT_EQ(first.State(), TSpoolState::Ok);  // exactly the cap
}

TEST(DataSpool, LeftoversOfACrashAreRemovedAndNothingElse)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "123-1.spool", "old");
    WriteFileBytes(dir.path() / "123-2.spool", "old");
    WriteFileBytes(dir.path() / "keep.msg", "mail");
    std::filesystem::create_directory(dir.path() / "folder.spool");
    RemoveSpoolLeftovers(dir.path());
    auto names = Names(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"folder.spool", "keep.msg"}));
    RemoveSpoolLeftovers(dir.path() / "missing");  // no folder, nothing to do
}

// The relay reads the header it was given, then the body from the spool, and
// lays both out as StuffRawText lays out the whole text, again after Rewind.
TEST(DataSpool, RelaySourceGivesTheStuffedTextAgainAfterRewind)
{
    TempDir dir;
    TDataMemoryBudget budget(1000);
    const std::string header = "From: a@b.example\r\nSubject: s\r\n";
    const std::string body = "\r\n" + SampleText(200000) + ".\r\nlast line";
    TDataSpool spool(dir.path(), 1000, budget);
    spool.Append("From: a@b.example\r\nBcc: hidden@b.example\r\nSubject: s\r\n");
    const std::uint64_t bodyOffset = spool.Size();
    spool.Append(body);
    spool.Finish();
    ASSERT_TRUE(spool.InFile());
    TSpoolDataSource source(header, spool, bodyOffset);
    for (int round = 0; round < 2; ++round) {
        source.Rewind();
        std::string sent;
        for (std::string_view piece = source.Next(); !piece.empty(); piece = source.Next())
            sent += piece;
        EXPECT_TRUE(sent == StuffRawText(header + body)) << "round " << round << ", " << sent.size() << " bytes";
    }
    EXPECT_FALSE(source.ReadFailed());
}

} // namespace
} // namespace bm::test
