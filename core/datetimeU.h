#pragma once
// The one place for date-time conversions.
//
// TDateTime is the day-count double of the stored formats: days since
// 1899-12-30 00:00 in LOCAL wall-clock time, the fraction being the time of
// day. For days before 1899-12-30 the integer part is negative and the
// fraction still counts forward from midnight of that day, taken as its
// absolute value: -1.25 is 1899-12-29 06:00 (the classic OLE/Delphi rule).
// Calendar arithmetic on TDateTime (adding days, comparing) is plain double
// arithmetic; only the conversions to and from real instants involve the
// time zone and daylight saving.
//
// Every function may be called from any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace bm {

using TDateTime = double;

// Broken-down local wall-clock time; Month 1..12, Day 1..31, Millisecond 0..999.
struct TDateTimeParts {
    int Year = 1899;
    int Month = 12;
    int Day = 30;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
    bool operator==(const TDateTimeParts&) const = default;
};

using TSystemTime = std::chrono::system_clock::time_point;

// --- Clock -----------------------------------------------------------------

// The current instant: the system clock, or the override when one is set.
TSystemTime SystemNow();
// The current local date-time (DateTimeFromTimePoint(SystemNow())).
TDateTime Now();
// Milliseconds of a monotonic clock (the steady clock, or the override).
std::uint64_t GetTickCount();

// Test clocks. An empty function restores the real clock. Set them before the
// threads that read the clock start (the override itself is guarded, but a
// clock that jumps under a running worker is the test's own business).
void SetClockOverride(std::function<TSystemTime()> clock);
void SetTickCountOverride(std::function<std::uint64_t()> ticks);

// Sets both overrides to a settable instant for the life of the object and
// restores the real clocks on destruction. The tick count follows the instant
// (milliseconds since the epoch), so Advance moves both.
class TScopedTestClock {
public:
    explicit TScopedTestClock(TSystemTime start);
    explicit TScopedTestClock(TDateTime localStart);
    ~TScopedTestClock();
    TScopedTestClock(const TScopedTestClock&) = delete;
    TScopedTestClock& operator=(const TScopedTestClock&) = delete;
    void Set(TSystemTime t);
    void Set(TDateTime local);
    void Advance(std::chrono::milliseconds by);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// --- Conversions -----------------------------------------------------------

// Arithmetic encoding of a calendar date and a time of day (no time zone).
// EncodeDateTime does not validate: out-of-range fields are carried over the
// way a calendar does (Month 13 is January of the next year).
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
TDateTime EncodeDateTime(const TDateTimeParts& parts);
// The parts of a day count, rounded to the nearest millisecond. Values beyond
// year 1..9999 are clamped to that range's ends.
TDateTimeParts DecodeDateTime(TDateTime value);

// The local wall time of an instant, with sub-millisecond precision kept as far
// as a double holds it (about a microsecond for present-day dates).
TDateTime DateTimeFromTimePoint(TSystemTime t);
// The instant of a local wall time. A wall time that a daylight-saving switch
// skips maps to the instant the same distance after the gap's start (02:30 of
// a spring-forward night is 03:30 summer time); one that occurs twice maps to
// the earlier instant.
TSystemTime TimePointFromDateTime(TDateTime value);

// Broken-down local time of an instant, and back (same DST rules as above).
TDateTimeParts LocalPartsFromTimePoint(TSystemTime t);
TSystemTime TimePointFromLocalParts(const TDateTimeParts& parts);

// Seconds since 1970-01-01 UTC of a local day count, and back.
std::int64_t DateTimeToUnix(TDateTime value);
TDateTime UnixToDateTime(std::int64_t seconds);

// --- Text ------------------------------------------------------------------

// "yyyy-mm-dd hh:nn:ss" (the date-time text of the tables and their queries).
std::string FormatSqlDateTime(TDateTime value);
// Reads "yyyy-mm-dd", "yyyy-mm-dd hh:nn", "yyyy-mm-dd hh:nn:ss" or
// "yyyy-mm-dd hh:nn:ss.zzz" (also with "T" between date and time); nullopt for
// anything else, including impossible dates (February 30th) and trailing text.
std::optional<TDateTime> ParseSqlDateTime(std::string_view text);

// Formats with a small pattern language: "yyyy" year, "yy" two-digit year,
// "mm" month, "dd" day, "hh" hour 00..23, "nn" minute, "ss" second,
// "zzz" millisecond, "m"/"d"/"h"/"n"/"s" without padding; every other
// character is copied. "dd/mm/yyyy hh:nn:ss" is the fixed short-date + long-time form.
std::string FormatDateTimeText(std::string_view pattern, TDateTime value);

// The fixed display form of a date-time: "dd/mm/yyyy hh:nn:ss".
inline constexpr std::string_view kDisplayDateTimeFormat = "dd/mm/yyyy hh:nn:ss";
// The fixed display form of a date: "dd/mm/yyyy".
inline constexpr std::string_view kDisplayDateFormat = "dd/mm/yyyy";

} // namespace bm
