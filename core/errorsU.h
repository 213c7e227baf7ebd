#pragma once
// The error list: errors met while checking, dialling and relaying mail wait
// here until the errors window (or a tray balloon) shows them.

#include "core/datetimeU.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// The networking layer's text for a peer that closed in order; an error that
// carries it never reaches the user.
inline constexpr std::string_view kGracefulCloseText = "Connection Closed Gracefully.";

// One recorded error.
struct TError {
    std::string Message;   // trimmed of leading/trailing blanks and control characters
    TDateTime Time = 0;    // local time when it was recorded
    std::string Account;   // the account's name, "General" (dial-up) or "Unknown"
};

// An ordered list that owns its errors. Every member may be called from any
// thread (one mutex); items are handed out as copies since another thread may
// clear the list at any time.
class TErrorList {
public:
    std::size_t Count() const;
    // A copy of the item; throws std::out_of_range for a bad index.
    TError Item(std::size_t index) const;
    void Add(std::unique_ptr<TError> error);
    void Add(TError error);
    void Clear();
    // Every item in order, and the list emptied, in one step (what the errors
    // window does when it takes the errors).
    std::vector<TError> TakeAll();

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<TError>> items_;
};

// The process-wide error list (lives as long as the process).
TErrorList& ErrorList();

// Called on the main thread after an error joined the list, with the account
// and the untrimmed message (the balloon text uses it). Unset: the error waits
// in the list. Set and read only on the main thread.
extern std::function<void(const std::string& account, const std::string& message)> OnErrorReported;

// Records an error: ignored when the message contains "Connection Closed
// Gracefully."; otherwise a level-2 trace ("Error", account, the message with
// each CR LF as one space), a TError appended to ErrorList(), then
// OnErrorReported. May be called from any thread: a worker hands the call to
// the main thread and waits for it (bm::Synchronize), so the main thread
// must keep processing events while a worker may report; an exception of the
// hook reaches the caller.
void ReportError(const std::string& message, const std::string& account);

// Leading and trailing bytes <= ' ' removed (blanks and control characters).
std::string TrimText(std::string_view text);

} // namespace bm
