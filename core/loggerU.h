#pragma once
// The trace log: time-stamped, TAB-separated lines collected in a 64 KiB ring
// in memory and appended to a text file in the data folder by FlushTrace
// (after each Mail check and at exit). Only level 2 and above is kept: lower
// entries are dropped before they are formatted.
//
// The process-wide log is reached through the free functions; TTraceLog itself
// can be instantiated by tests. Every member may be called from any thread:
// the ring and the file are guarded by one lock inside the log, and a line is
// formatted before the lock is taken.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// Levels: 0 detail, 1 notable steps, 2 events (the only level that reaches the file).
inline constexpr std::uint8_t kTraceDetail = 0;
inline constexpr std::uint8_t kTraceNotable = 1;
inline constexpr std::uint8_t kTraceEvent = 2;

class TTraceLog {
public:
    static constexpr std::size_t kRingBytes = 65536;
    static constexpr std::size_t kEntryOverhead = 20;
    static constexpr std::uintmax_t kRollOverBytes = 4194304;
    static constexpr std::uint8_t kMinLevel = 2;

    // The elapsed-time origin is the construction until Open sets it again.
    TTraceLog();

    // Opens the log on a file: when the file is larger than 4194304 bytes it is
    // moved to file + ".old" (replacing an older one; failures ignored); starts
    // the elapsed-time origin and adds "**** Logging Enabled" + CR LF. Nothing
    // is written to the file before the first flush.
    void Open(const std::filesystem::path& file);
    bool IsOpen() const;
    std::filesystem::path FileName() const;

    // Adds one line (local "dd/mm/yyyy hh:nn:ss", then TAB + value for each
    // value) when level >= 2; otherwise does nothing.
    void Write(std::initializer_list<std::string_view> values, std::uint8_t level);
    void Write(const std::vector<std::string>& values, std::uint8_t level);

    // Appends the buffered entries to the file (header "Brixmoor Log" CR LF CR LF
    // first when the file is empty or new), each as "%07.7d : " of the elapsed
    // milliseconds with "." before the last three digits, the text and CR LF;
    // then empties the ring. Returns false, keeping the entries, when the file
    // cannot be opened or written, or the log is not open.
    bool Flush();
    // Flushes and closes; later writes are buffered again until the next Open.
    void Close();

    // For tests: the number of entries and bytes (text + 20 each) in the ring.
    std::size_t EntryCount() const;
    std::size_t UsedBytes() const;

private:
    struct Entry {
        std::uint64_t ElapsedMs;
        std::string Text;
    };
    void AddEntry(std::string text);
    std::string FormatEntries() const;

    mutable std::mutex mutex_;
    std::filesystem::path file_;
    bool open_ = false;
    std::uint64_t originTicks_;
    std::deque<Entry> ring_;
    std::size_t used_ = 0;
};

// Formats the elapsed-time prefix: 5123 gives "0005.123 : ".
std::string FormatTracePrefix(std::uint64_t elapsedMs);

// The process-wide log.
TTraceLog& TraceLog();
// data folder / "brixmoor.log".
std::filesystem::path DefaultTraceFile();
// Opens the process-wide log on file (DefaultTraceFile() when empty).
void OpenTrace(const std::filesystem::path& file = {});
// The process-wide log's Write, Flush and Close.
void WriteTrace(std::initializer_list<std::string_view> values, std::uint8_t level);
void WriteTrace(const std::vector<std::string>& values, std::uint8_t level);
bool FlushTrace();
void CloseTrace();

} // namespace bm
