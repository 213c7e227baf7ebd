#pragma once
// The text of a message in DATA, as the local SMTP server holds it until it
// has been relayed: in memory while it is small, in a file of the spool
// folder once it passes a size, so that neither a large message nor many
// clients at once can take the process's memory. What the messages of all
// sessions hold in memory together is bounded by one TDataMemoryBudget.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "proto/smtpreplyU.h"

namespace bm {

// Bytes of message text that the sessions of the server hold in memory,
// against a cap. Any thread.
class TDataMemoryBudget {
public:
    explicit TDataMemoryBudget(std::size_t cap) : cap_(cap) {}
    // Takes n bytes; false, and nothing taken, when that would pass the cap.
    bool TryTake(std::size_t n);
    void Give(std::size_t n);
    std::size_t Held() const { return held_.load(); }
    std::size_t Cap() const { return cap_; }

private:
    const std::size_t cap_;
    std::atomic<std::size_t> held_{0};
};

// Ending of the names of spool files.
inline constexpr const char* kSpoolFileExtension = ".spool";

// Removes the spool files that a process which ended abruptly left in
// folder (a missing folder has none). Failures are traced. Any thread.
void RemoveSpoolLeftovers(const std::filesystem::path& folder);

enum class TSpoolState {
    Ok,
    OverBudget,   // the memory budget was spent: the rest was dropped
    WriteFailed,  // the spool file could not be made or written: the rest was dropped
};

// One message's text, appended as it arrives. It stays in memory, taken
// from the budget, until it would pass memoryLimit bytes; then it moves to
// a file made in folder (created 0700 when missing) with mode 0600, whose
// name is removed as soon as it is open: the file lives as long as this
// object and no longer, also when the process dies. One thread at a time.
class TDataSpool {
public:
    TDataSpool(std::filesystem::path folder, std::size_t memoryLimit, TDataMemoryBudget& budget);
    ~TDataSpool();  // gives its memory back to the budget, closes the file
    TDataSpool(const TDataSpool&) = delete;
    TDataSpool& operator=(const TDataSpool&) = delete;

    // Adds a piece. Never throws: after the first failure (State() tells
    // which) the pieces are dropped, so the caller can read its input to
    // the end and then refuse the message.
    void Append(std::string_view piece) noexcept;
    // Writes out what is still buffered for the file. Call once the text is
    // complete, before reading it; a failure sets WriteFailed.
    void Finish() noexcept;

    TSpoolState State() const { return state_; }
    // Why the state is not Ok, for the trace.
    const std::string& Error() const { return error_; }
    std::uint64_t Size() const { return size_; }
    bool InFile() const { return fd_ >= 0; }

    // Up to n bytes from offset (fewer at the end, none past it), replacing
    // out. Throws std::runtime_error when the file cannot be read.
    void Read(std::uint64_t offset, std::size_t n, std::string& out) const;

private:
    bool MoveToFile();
    bool WriteOut(std::string_view bytes);
    void Fail(TSpoolState state, std::string error);

    std::filesystem::path folder_;
    std::size_t memoryLimit_;
    TDataMemoryBudget& budget_;
    std::string memory_;   // the text while in memory (taken from the budget)
    std::string pending_;  // bytes for the file not written yet
    int fd_ = -1;
    std::uint64_t size_ = 0;
    TSpoolState state_ = TSpoolState::Ok;
    std::string error_;
};

// The DATA bytes of a spooled message for the relay: `header` (the header
// block as it goes out), then the spool's bytes from bodyOffset, laid out as
// StuffRawText does, read a piece at a time. header and spool must outlive
// it.
class TSpoolDataSource final : public TMailDataSource {
public:
    TSpoolDataSource(std::string_view header, const TDataSpool& spool, std::uint64_t bodyOffset);
    void Rewind() override;
    std::string_view Next() override;
    // True once the spool could not be read (Next threw).
    bool ReadFailed() const { return readFailed_; }

private:
    std::string_view header_;
    const TDataSpool& spool_;
    std::uint64_t bodyOffset_;
    std::uint64_t offset_ = 0;
    bool headerGiven_ = false;
    bool finished_ = false;
    bool readFailed_ = false;
    TRawTextStuffer stuffer_;
    std::string in_;
    std::string out_;
};

} // namespace bm
