#include "app/checksvc.h"

#include "config/textcaseU.h"

#include <algorithm>

namespace bm {

std::vector<TCheckMenuEntry> TCheckService::CheckMenuEntries() const
{
    std::vector<TCheckMenuEntry> entries {{TCheckMenuKind::DefaultCheck, kDefaultCheckCaption, nullptr},
                                          {TCheckMenuKind::AllAccounts, kAllAccountsCaption, nullptr}};
    std::vector<TAccountPtr> accounts = core_.accounts_.Items();
    if (accounts.empty())
        return entries;
    std::stable_sort(accounts.begin(), accounts.end(), [](const TAccountPtr& a, const TAccountPtr& b) {
        return LowerText(a->Name()) < LowerText(b->Name());
    });
    entries.push_back({TCheckMenuKind::Separator, {}, nullptr});
    for (const TAccountPtr& a : accounts)
        entries.push_back({TCheckMenuKind::Account, a->Name(), a});
    return entries;
}

bool TCheckService::MayCheck() const
{
    return !core_.Checking() && !core_.Cleaning();
}

TCheckProblem TCheckService::CheckCommandProblem(bool defaultOnly, std::string& question) const
{
    question.clear();
    if (core_.accounts_.Count() == 0) {
        question = kAskAddAccounts;
        return TCheckProblem::NoAccounts;
    }
    if (defaultOnly && !core_.HasDefaultCheckAccounts())
        return TCheckProblem::NoDefaultAccounts;
    std::string errors;
    if (core_.ValidateAccounts(defaultOnly, nullptr, errors))
        return TCheckProblem::None;
    question = "The following errors were found in your accounts:\r\n" + errors +
               "\r\nDo you want to edit your accounts now?";
    return TCheckProblem::InvalidAccounts;
}

bool TCheckService::CheckMail(bool defaultOnly)
{
    return MayCheck() && core_.StartMailCheck(true, defaultOnly);
}

bool TCheckService::CheckAccount(const TAccountPtr& account)
{
    return account && MayCheck() && core_.StartMailCheck(false, false, account);
}

} // namespace bm
