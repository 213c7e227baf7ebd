#include "app/searchsvc.h"

#include "app/svcsupport.h"
#include "config/textcaseU.h"
#include "core/msghelpersU.h"
#include "store/msgsU.h"

namespace bm {

namespace {

bool Contains(const std::string& haystack, const std::string& lowerNeedle)
{
    return LowerText(haystack).find(lowerNeedle) != std::string::npos;
}

bool LinesContain(const std::vector<std::string>& lines, const std::string& lowerNeedle)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return Contains(text, lowerNeedle);
}

// Walks the rows in search order and gives the first that matches.
template <class TRow, class TMatch>
TSearchResult Find(const std::vector<TRow>& rows, int selected, const TMatch& matches)
{
    if (rows.empty())
        return {TSearchOutcome::NoRows, -1};
    for (int index : SearchOrder(static_cast<int>(rows.size()), selected))
        if (matches(rows[static_cast<std::size_t>(index)]))
            return {TSearchOutcome::Found, index};
    return {TSearchOutcome::NoMatch, -1};
}

} // namespace

std::vector<int> SearchOrder(int count, int selected)
{
    std::vector<int> order;
    if (count <= 0)
        return order;
    if (selected < 0 || selected >= count)
        selected = 0;
    for (int i = selected + 1; i < count; ++i)
        order.push_back(i);
    for (int i = 0; i < selected; ++i)
        order.push_back(i);
    order.push_back(selected);
    return order;
}

TSearchResult TSearchService::SearchInbox(const std::vector<TInboxRow>& rows, int selected, const std::string& text,
                                          bool messageText) const
{
    const std::string needle = LowerText(text);
    return Find(rows, selected, [&](const TInboxRow& row) {
        if (Contains(row.From + "\t" + row.Subject, needle))
            return true;
        if (!messageText)
            return false;
        const TKnownMessage* record = core_.inboxList_.Find(row.Account, row.Id);
        return record && LinesContain(record->TextLines, needle);
    });
}

TSearchResult TSearchService::SearchQuarantine(const std::vector<TTrashRow>& rows, int selected,
                                               const std::string& text, bool messageText) const
{
    const std::string needle = LowerText(text);
    return Find(rows, selected, [&](const TTrashRow& row) {
        if (Contains(row.From + "\t" + row.Subject, needle))
            return true;
        if (!messageText)
            return false;
        std::optional<TMailMessage> message;
        try {
            message = ReadMessageFile(MessageFilePath(row.Account, row.UIDL, true));
        } catch (const std::exception&) {
            return false; // an account name that names no folder
        }
        return message && LinesContain(GetMessageText(*message), needle);
    });
}

} // namespace bm
