#pragma once
// TStatusService: the texts of the status bar and the tray icon's hint, from
// the core's status text, its last check and its row counts.
//
// Threads: main thread.

#include "app/appcoreU.h"

#include <string>

namespace bm {

struct TStatusTexts {
    // The status text with an empty second line; else after a finished check
    // "Mail was last checked " and the elapsed phrase, with "Inbox: ", the
    // inbox count, "    Quarantine: " and the quarantine count; else "Mail
    // hasn't been checked yet" with an empty second line.
    std::string FirstLine;
    std::string SecondLine;
    // The first line alone when the second is empty, else both joined by a
    // line feed (a tray tooltip's line break on this platform).
    std::string TrayHint;
    std::string LastChecked;     // panel 2: LastCheckedText
    std::string InboxCount;      // panel 3: "Inbox: " and the count
    std::string QuarantineCount; // panel 4: "Quarantine: " and the count
};

class TStatusService {
public:
    explicit TStatusService(TAppCore& core) : core_(core) {}

    TStatusTexts StatusTexts() const;

private:
    TAppCore& core_;
};

} // namespace bm
