#include "app/statussvc.h"

namespace bm {

TStatusTexts TStatusService::StatusTexts() const
{
    TStatusTexts t;
    const std::string inbox = std::to_string(core_.InboxRows().size());
    const std::string quarantine = std::to_string(core_.QuarantineRows().size());
    t.LastChecked = core_.LastCheckedText();
    if (!core_.StatusText().empty()) {
        t.FirstLine = core_.StatusText();
    } else {
        t.FirstLine = t.LastChecked;
        if (core_.CheckedOnce() && core_.LastCheckTime())
            t.SecondLine = "Inbox: " + inbox + "    Quarantine: " + quarantine;
    }
    t.TrayHint = t.SecondLine.empty() ? t.FirstLine : t.FirstLine + "\n" + t.SecondLine;
    t.InboxCount = "Inbox: " + inbox;
    t.QuarantineCount = "Quarantine: " + quarantine;
    return t;
}

} // namespace bm
