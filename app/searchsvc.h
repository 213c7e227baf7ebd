#pragma once
// TSearchService: the two searches of the message lists. The view passes its
// rows in the order it shows them and the selected one; the service finds
// the next match, wrapping around, and the view selects it.
//
// Threads: main thread.

#include "app/appcoreU.h"

#include <string>
#include <vector>

namespace bm {

// The indexes a search tests, in order: from the row after the selected one
// to the last, then from the first to the row before it, then the selected
// row itself; with none selected (a negative index) the first row counts as
// selected. Empty for no rows.
std::vector<int> SearchOrder(int count, int selected);

enum class TSearchOutcome {
    Found,   // Index is the matching row
    NoRows,  // the list is empty (kNoInboxMessages / kNoQuarantineMessages)
    NoMatch, // kNoMatch
};
struct TSearchResult {
    TSearchOutcome Outcome = TSearchOutcome::NoMatch;
    int Index = -1;
};

class TSearchService {
public:
    // What the view shows (title "Error", resp. "Search"; a warning icon).
    inline static const char* const kNoInboxMessages = "There are no longer any messages in the inbox!";
    inline static const char* const kNoQuarantineMessages = "There are no longer any messages in the quarantine!";
    inline static const char* const kNoMatch = "No matching message was found!";

    explicit TSearchService(TAppCore& core) : core_(core) {}

    // A row matches when its From, a TAB and its subject contain the text,
    // both in lower case; with messageText also when the message's text
    // does: the inbox record's text lines, or the quarantine file's readable
    // text (a file that is gone or unreadable does not match by text).
    TSearchResult SearchInbox(const std::vector<TInboxRow>& rows, int selected, const std::string& text,
                              bool messageText) const;
    TSearchResult SearchQuarantine(const std::vector<TTrashRow>& rows, int selected, const std::string& text,
                                   bool messageText) const;

private:
    TAppCore& core_;
};

} // namespace bm
