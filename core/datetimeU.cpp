#include "core/datetimeU.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace bm {

namespace {

constexpr std::int64_t kUsPerDay = 86'400'000'000LL;
constexpr std::int64_t kUsPerMs = 1000;
// Days from 1970-01-01 to 1899-12-30.
constexpr std::int64_t kUnixEpochDay = 25569;

// --- Civil calendar (proleptic Gregorian), after H. Hinnant's algorithms ---

std::int64_t FloorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

std::int64_t DaysFromCivil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = FloorDiv(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d)
{
    z += 719468;
    const std::int64_t era = FloorDiv(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// Linear local time: microseconds since 1899-12-30 00:00 wall time, counting
// forward through negative days (the day-count's sign rule undone).
const std::int64_t kMinLinear = (DaysFromCivil(1, 1, 1) + kUnixEpochDay) * kUsPerDay;
const std::int64_t kMaxLinear = (DaysFromCivil(9999, 12, 31) + kUnixEpochDay + 1) * kUsPerDay - kUsPerMs;

std::int64_t ClampLinear(double us)
{
    if (std::isnan(us))
        return 0;
    if (us <= static_cast<double>(kMinLinear))
        return kMinLinear;
    if (us >= static_cast<double>(kMaxLinear))
        return kMaxLinear;
    return std::llround(us);
}

std::int64_t LinearFromDateTime(TDateTime value)
{
    if (std::isnan(value) || value >= 0)
        return ClampLinear(value * static_cast<double>(kUsPerDay));
    const double day = std::trunc(value);
    const double fraction = day - value;   // time of day, counted forward
    return ClampLinear(day * static_cast<double>(kUsPerDay) + fraction * static_cast<double>(kUsPerDay));
}

TDateTime DateTimeFromLinear(std::int64_t linear)
{
    const std::int64_t day = FloorDiv(linear, kUsPerDay);
    const double fraction = static_cast<double>(linear - day * kUsPerDay) / static_cast<double>(kUsPerDay);
    return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

// --- Time zone ---------------------------------------------------------------

// Seconds east of UTC in force at an instant.
std::int64_t UtcOffsetAt(std::int64_t unixSeconds)
{
    std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm))
        return 0;
    return tm.tm_gmtoff;
}

// The instant of a local wall time given as seconds since 1970-01-01 wall time.
std::int64_t UnixFromWallSeconds(std::int64_t wall)
{
    // One offset change at most within a day around the wall time: try the
    // offsets in force before and after it.
    const std::int64_t before = UtcOffsetAt(wall - 86400);
    const std::int64_t after = UtcOffsetAt(wall + 86400);
    const std::int64_t t1 = wall - before;
    const std::int64_t t2 = wall - after;
    const bool ok1 = t1 + UtcOffsetAt(t1) == wall;
    const bool ok2 = t2 + UtcOffsetAt(t2) == wall;
    if (ok1 && ok2)
        return t1 < t2 ? t1 : t2;   // a wall time that occurs twice: the earlier
    if (ok2)
        return t2;
    // ok1, or a skipped wall time: read it with the offset from before the gap,
    // so it lands as far after the gap's start as it claims to be.
    return t1;
}

std::int64_t WallSecondsFromUnix(std::int64_t unixSeconds)
{
    return unixSeconds + UtcOffsetAt(unixSeconds);
}

// --- Clock overrides -----------------------------------------------------------

std::mutex gClockMutex;
std::function<TSystemTime()> gClock;
std::function<std::uint64_t()> gTicks;

} // namespace

TSystemTime SystemNow()
{
    std::function<TSystemTime()> clock;
    {
        std::lock_guard lock(gClockMutex);
        clock = gClock;
    }
    return clock ? clock() : std::chrono::system_clock::now();
}

TDateTime Now()
{
    return DateTimeFromTimePoint(SystemNow());
}

std::uint64_t GetTickCount()
{
    std::function<std::uint64_t()> ticks;
    {
        std::lock_guard lock(gClockMutex);
        ticks = gTicks;
    }
    if (ticks)
        return ticks();
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void SetClockOverride(std::function<TSystemTime()> clock)
{
    std::lock_guard lock(gClockMutex);
    gClock = std::move(clock);
}

void SetTickCountOverride(std::function<std::uint64_t()> ticks)
{
    std::lock_guard lock(gClockMutex);
    gTicks = std::move(ticks);
}

struct TScopedTestClock::State {
    std::mutex Mutex;
    TSystemTime Instant;
};

TScopedTestClock::TScopedTestClock(TSystemTime start) : state_(std::make_shared<State>())
{
    state_->Instant = start;
    std::shared_ptr<State> state = state_;
    SetClockOverride([state] {
        std::lock_guard lock(state->Mutex);
        return state->Instant;
    });
    SetTickCountOverride([state] {
        std::lock_guard lock(state->Mutex);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(state->Instant.time_since_epoch());
        return static_cast<std::uint64_t>(ms.count());
    });
}

TScopedTestClock::TScopedTestClock(TDateTime localStart) : TScopedTestClock(TimePointFromDateTime(localStart)) {}

TScopedTestClock::~TScopedTestClock()
{
    SetClockOverride({});
    SetTickCountOverride({});
}

void TScopedTestClock::Set(TSystemTime t)
{
    std::lock_guard lock(state_->Mutex);
    state_->Instant = t;
}

void TScopedTestClock::Set(TDateTime local)
{
    Set(TimePointFromDateTime(local));
}

void TScopedTestClock::Advance(std::chrono::milliseconds by)
{
    std::lock_guard lock(state_->Mutex);
    state_->Instant += by;
}

// --- Conversions -------------------------------------------------------------

TDateTime EncodeDate(int year, int month, int day)
{
    TDateTimeParts parts;
    parts.Year = year;
    parts.Month = month;
    parts.Day = day;
    return EncodeDateTime(parts);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond)
{
    return static_cast<double>((hour * 3600LL + minute * 60LL + second) * 1000LL + millisecond) / 86'400'000.0;
}

TDateTime EncodeDateTime(const TDateTimeParts& p)
{
    // Carry months into years first, then days and times linearly.
    const std::int64_t month0 = static_cast<std::int64_t>(p.Month) - 1;
    const std::int64_t year = p.Year + FloorDiv(month0, 12);
    const int month = static_cast<int>(month0 - FloorDiv(month0, 12) * 12) + 1;
    const std::int64_t day = DaysFromCivil(year, month, 1) + p.Day - 1 + kUnixEpochDay;
    const std::int64_t ms = ((p.Hour * 60LL + p.Minute) * 60LL + p.Second) * 1000LL + p.Millisecond;
    return DateTimeFromLinear(day * kUsPerDay + ms * kUsPerMs);
}

namespace {

TDateTimeParts PartsFromLinear(std::int64_t linear)
{
    std::int64_t ms = FloorDiv(linear + kUsPerMs / 2, kUsPerMs);
    const std::int64_t day = FloorDiv(ms, 86'400'000);
    std::int64_t inDay = ms - day * 86'400'000;
    TDateTimeParts p;
    CivilFromDays(day - kUnixEpochDay, p.Year, p.Month, p.Day);
    p.Millisecond = static_cast<int>(inDay % 1000);
    inDay /= 1000;
    p.Second = static_cast<int>(inDay % 60);
    inDay /= 60;
    p.Minute = static_cast<int>(inDay % 60);
    p.Hour = static_cast<int>(inDay / 60);
    return p;
}

} // namespace

TDateTimeParts DecodeDateTime(TDateTime value)
{
    return PartsFromLinear(LinearFromDateTime(value));
}

TDateTime DateTimeFromTimePoint(TSystemTime t)
{
    const std::int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    const std::int64_t seconds = FloorDiv(us, 1'000'000);
    const std::int64_t sub = us - seconds * 1'000'000;
    const std::int64_t wall = WallSecondsFromUnix(seconds);
    return DateTimeFromLinear((wall + kUnixEpochDay * 86400) * 1'000'000 + sub);
}

TSystemTime TimePointFromDateTime(TDateTime value)
{
    const std::int64_t linear = LinearFromDateTime(value);
    const std::int64_t wallUs = linear - kUnixEpochDay * kUsPerDay;
    const std::int64_t wall = FloorDiv(wallUs, 1'000'000);
    const std::int64_t sub = wallUs - wall * 1'000'000;
    const std::int64_t unix = UnixFromWallSeconds(wall);
    return TSystemTime(std::chrono::duration_cast<TSystemTime::duration>(
        std::chrono::microseconds(unix * 1'000'000 + sub)));
}

TDateTimeParts LocalPartsFromTimePoint(TSystemTime t)
{
    return DecodeDateTime(DateTimeFromTimePoint(t));
}

TSystemTime TimePointFromLocalParts(const TDateTimeParts& parts)
{
    return TimePointFromDateTime(EncodeDateTime(parts));
}

std::int64_t DateTimeToUnix(TDateTime value)
{
    auto since = TimePointFromDateTime(value).time_since_epoch();
    return std::chrono::floor<std::chrono::seconds>(since).count();
}

TDateTime UnixToDateTime(std::int64_t seconds)
{
    return DateTimeFromTimePoint(TSystemTime(std::chrono::seconds(seconds)));
}

// --- Text --------------------------------------------------------------------

namespace {

std::string Padded(int value, int width)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, value);
    return buf;
}

// Reads exactly count decimal digits at pos.
bool ReadDigits(std::string_view text, std::size_t& pos, std::size_t count, int& value)
{
    if (text.size() - pos < count)
        return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool ReadChar(std::string_view text, std::size_t& pos, char wanted)
{
    if (pos >= text.size() || text[pos] != wanted)
        return false;
    ++pos;
    return true;
}

int DaysInMonth(int year, int month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ReadTimeOfDay(std::string_view text, std::size_t& pos, TDateTimeParts& p)
{
    if (!ReadDigits(text, pos, 2, p.Hour) || !ReadChar(text, pos, ':') || !ReadDigits(text, pos, 2, p.Minute))
        return false;
    if (pos == text.size())
        return true;
    if (!ReadChar(text, pos, ':') || !ReadDigits(text, pos, 2, p.Second))
        return false;
    if (pos == text.size())
        return true;
    return ReadChar(text, pos, '.') && ReadDigits(text, pos, 3, p.Millisecond);
}

} // namespace

std::string FormatSqlDateTime(TDateTime value)
{
    return FormatDateTimeText("yyyy-mm-dd hh:nn:ss", value);
}

std::optional<TDateTime> ParseSqlDateTime(std::string_view text)
{
    TDateTimeParts p;
    std::size_t pos = 0;
    if (!ReadDigits(text, pos, 4, p.Year) || !ReadChar(text, pos, '-') || !ReadDigits(text, pos, 2, p.Month)
        || !ReadChar(text, pos, '-') || !ReadDigits(text, pos, 2, p.Day))
        return std::nullopt;
    if (pos < text.size()) {
        if (text[pos] != ' ' && text[pos] != 'T')
            return std::nullopt;
        ++pos;
        if (!ReadTimeOfDay(text, pos, p) || pos != text.size())
            return std::nullopt;
    }
    if (p.Year < 1 || p.Month < 1 || p.Month > 12 || p.Day < 1 || p.Day > DaysInMonth(p.Year, p.Month)
        || p.Hour > 23 || p.Minute > 59 || p.Second > 59)
        return std::nullopt;
    return EncodeDateTime(p);
}

std::string FormatDateTimeText(std::string_view pattern, TDateTime value)
{
    const TDateTimeParts p = DecodeDateTime(value);
    struct Token {
        std::string_view Text;
        int Value;
        int Width;
    };
    const Token tokens[] = {
        {"yyyy", p.Year, 4}, {"yy", p.Year % 100, 2}, {"zzz", p.Millisecond, 3},
        {"mm", p.Month, 2},  {"m", p.Month, 1},       {"dd", p.Day, 2},
        {"d", p.Day, 1},     {"hh", p.Hour, 2},       {"h", p.Hour, 1},
        {"nn", p.Minute, 2}, {"n", p.Minute, 1},      {"ss", p.Second, 2},
        {"s", p.Second, 1},
    };
    std::string out;
    std::size_t pos = 0;
    while (pos < pattern.size()) {
        const Token* match = nullptr;
        for (const Token& t : tokens) {
            if (pattern.substr(pos, t.Text.size()) == t.Text) {
                match = &t;
                break;
            }
        }
        if (!match) {
            out.push_back(pattern[pos++]);
            continue;
        }
        out += Padded(match->Value, match->Width);
        pos += match->Text.size();
    }
    return out;
}

} // namespace bm
