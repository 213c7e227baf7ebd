// Day-count date-times: known values, calendar edges, text forms, the time
// zone and daylight saving, and the test clock.
#include "core/datetimeU.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace bm {
namespace {

using namespace std::chrono;

// Runs a test in a named time zone (POSIX rule, no tz database needed).
class ZoneGuard {
public:
    explicit ZoneGuard(const char* tz)
    {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (hadOld_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

TSystemTime Utc(int y, int m, int d, int h, int n, int s = 0)
{
    return sys_days(year(y) / month(static_cast<unsigned>(m)) / day(static_cast<unsigned>(d))) + hours(h)
        + minutes(n) + seconds(s);
}

struct KnownCase {
    const char* Name;
    TDateTime Value;
    TDateTimeParts Parts;
    const char* Sql;
};

class KnownValueTest : public testing::TestWithParam<KnownCase> {};

TEST_P(KnownValueTest, DecodesEncodesAndFormats)
{
    const KnownCase& c = GetParam();
    EXPECT_EQ(DecodeDateTime(c.Value), c.Parts);
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.Parts), c.Value);
    EXPECT_EQ(FormatSqlDateTime(c.Value), c.Sql);
    const std::optional<TDateTime> parsed = ParseSqlDateTime(c.Sql);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_NEAR(*parsed, c.Value - c.Parts.Millisecond / 86'400'000.0, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Values, KnownValueTest,
    testing::Values(
        KnownCase{"Epoch", 0.0, {1899, 12, 30, 0, 0, 0, 0}, "1899-12-30 00:00:00"},
        KnownCase{"TwoAndAHalf", 2.5, {1900, 1, 1, 12, 0, 0, 0}, "1900-01-01 12:00:00"},
        KnownCase{"Y2K", 36526.0, {2000, 1, 1, 0, 0, 0, 0}, "2000-01-01 00:00:00"},
        KnownCase{"EveningWithMs", 46000.75 + 0.25 / 86400.0, {2025, 12, 9, 18, 0, 0, 250}, "2025-12-09 18:00:00"},
        KnownCase{"NegativeDayFractionForward", -1.25, {1899, 12, 29, 6, 0, 0, 0}, "1899-12-29 06:00:00"},
        KnownCase{"LeapDay", 36585.0, {2000, 2, 29, 0, 0, 0, 0}, "2000-02-29 00:00:00"},
        KnownCase{"YearOne", -693593.0, {1, 1, 1, 0, 0, 0, 0}, "0001-01-01 00:00:00"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(DateTimeTest, EncodeCarriesOverflowingFields)
{
    EXPECT_EQ(EncodeDate(2025, 13, 1), EncodeDate(2026, 1, 1));
    EXPECT_EQ(EncodeDate(2026, 0, 1), EncodeDate(2025, 12, 1));
    EXPECT_EQ(EncodeDate(2026, 3, 0), EncodeDate(2026, 2, 28));
    EXPECT_DOUBLE_EQ(EncodeDate(2026, 1, 1) + EncodeTime(12, 0, 0), 46023.5);
}

TEST(DateTimeTest, DecodeRoundsToTheMillisecondAcrossMidnight)
{
    // Just under midnight rounds up to the next day, not to 24:00:00.
    EXPECT_EQ(DecodeDateTime(1.0 - 1e-10), (TDateTimeParts{1899, 12, 31, 0, 0, 0, 0}));
}

TEST(DateTimeTest, OutOfRangeValuesClamp)
{
    EXPECT_EQ(DecodeDateTime(1e12).Year, 9999);
    EXPECT_EQ(DecodeDateTime(-1e12).Year, 1);
    EXPECT_EQ(DecodeDateTime(std::nan("")), (TDateTimeParts{1899, 12, 30, 0, 0, 0, 0}));
}

struct ParseCase {
    const char* Name;
    const char* Text;
    bool Valid;
    TDateTimeParts Parts;
};

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ReadsOnlyWellFormedTexts)
{
    const std::optional<TDateTime> value = ParseSqlDateTime(GetParam().Text);
    ASSERT_EQ(value.has_value(), GetParam().Valid);
    if (value) {
        EXPECT_EQ(DecodeDateTime(*value), GetParam().Parts);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, ParseTest,
    testing::Values(ParseCase{"DateOnly", "2026-03-01", true, {2026, 3, 1, 0, 0, 0, 0}},
                    ParseCase{"Minutes", "2026-03-01 10:20", true, {2026, 3, 1, 10, 20, 0, 0}},
                    ParseCase{"Seconds", "2026-03-01 10:20:30", true, {2026, 3, 1, 10, 20, 30, 0}},
                    ParseCase{"Millis", "2026-03-01 10:20:30.456", true, {2026, 3, 1, 10, 20, 30, 456}},
                    ParseCase{"IsoT", "2026-03-01T10:20:30", true, {2026, 3, 1, 10, 20, 30, 0}},
                    ParseCase{"Empty", "", false, {}},
                    ParseCase{"February30", "2026-02-30 00:00:00", false, {}},
                    ParseCase{"Hour24", "2026-02-01 24:00:00", false, {}},
                    ParseCase{"TrailingText", "2026-02-01 10:00:00x", false, {}},
                    ParseCase{"SingleDigitMonth", "2026-2-01", false, {}},
                    ParseCase{"SignedDigits", "2026-+2-01", false, {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(DateTimeTest, FormatsPatterns)
{
    const TDateTime t = EncodeDateTime({2026, 3, 7, 9, 5, 4, 32});
    EXPECT_EQ(FormatDateTimeText(kDisplayDateTimeFormat, t), "07/03/2026 09:05:04");
    EXPECT_EQ(FormatDateTimeText(kDisplayDateFormat, 0.0), "30/12/1899");
    EXPECT_EQ(FormatDateTimeText("d.m.yy h:n:s.zzz", t), "7.3.26 9:5:4.032");
}

TEST(DateTimeTest, NowRoundTripsWithSubSecondPrecision)
{
    const TSystemTime t = system_clock::now();
    const TSystemTime back = TimePointFromDateTime(DateTimeFromTimePoint(t));
    EXPECT_LE(std::abs(duration_cast<microseconds>(back - t).count()), 2);
}

TEST(DateTimeTest, UtcZoneMatchesTheCalendar)
{
    ZoneGuard zone("UTC0");
    EXPECT_DOUBLE_EQ(DateTimeFromTimePoint(Utc(1970, 1, 1, 0, 0)), 25569.0);
    EXPECT_EQ(DateTimeToUnix(25569.5), 43200);
    EXPECT_DOUBLE_EQ(UnixToDateTime(-86400), 25568.0);
    // Before 1899-12-30 the instant still counts forward within the day.
    EXPECT_EQ(TimePointFromDateTime(-1.25), Utc(1899, 12, 29, 6, 0));
}

TEST(DateTimeTest, LocalTimeFollowsDaylightSaving)
{
    ZoneGuard zone(kCentralEurope);
    EXPECT_EQ(LocalPartsFromTimePoint(Utc(2026, 1, 15, 12, 0)), (TDateTimeParts{2026, 1, 15, 13, 0, 0, 0}));
    EXPECT_EQ(LocalPartsFromTimePoint(Utc(2026, 7, 15, 12, 0)), (TDateTimeParts{2026, 7, 15, 14, 0, 0, 0}));
    EXPECT_EQ(TimePointFromLocalParts({2026, 7, 15, 14, 0, 0, 0}), Utc(2026, 7, 15, 12, 0));
}

TEST(DateTimeTest, SkippedWallTimeLandsAfterTheGap)
{
    ZoneGuard zone(kCentralEurope);
    // 2026-03-29: 02:00 CET jumps to 03:00 CEST; 02:30 is read as 03:30 CEST.
    EXPECT_EQ(TimePointFromLocalParts({2026, 3, 29, 2, 30, 0, 0}), Utc(2026, 3, 29, 1, 30));
    EXPECT_EQ(LocalPartsFromTimePoint(Utc(2026, 3, 29, 1, 30)), (TDateTimeParts{2026, 3, 29, 3, 30, 0, 0}));
}

TEST(DateTimeTest, RepeatedWallTimeTakesTheEarlierInstant)
{
    ZoneGuard zone(kCentralEurope);
    // 2026-10-25: 03:00 CEST falls back to 02:00 CET; 02:30 happens twice.
    EXPECT_EQ(TimePointFromLocalParts({2026, 10, 25, 2, 30, 0, 0}), Utc(2026, 10, 25, 0, 30));
    EXPECT_EQ(LocalPartsFromTimePoint(Utc(2026, 10, 25, 1, 30)), (TDateTimeParts{2026, 10, 25, 2, 30, 0, 0}));
}

TEST(DateTimeTest, TestClockDrivesNowAndTicks)
{
    const TDateTime start = EncodeDate(2026, 5, 1) + EncodeTime(8, 0, 0);
    {
        TScopedTestClock clock(start);
        EXPECT_NEAR(Now(), start, 1e-9);
        const std::uint64_t ticks = GetTickCount();
        clock.Advance(milliseconds(1500));
        EXPECT_EQ(GetTickCount() - ticks, 1500u);
        EXPECT_EQ(FormatSqlDateTime(Now()), "2026-05-01 08:00:01");
        clock.Set(start + 30);
        EXPECT_EQ(FormatSqlDateTime(Now()), "2026-05-31 08:00:00");
    }
    EXPECT_NEAR(Now(), DateTimeFromTimePoint(system_clock::now()), 1.0 / 86400);   // the real clock again
}

} // namespace
} // namespace bm
