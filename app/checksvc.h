#pragma once
// TCheckService: the check commands as data and rules: the entries of the
// two "Check mail" menus, and what the check commands test before they start
// a check (the view asks the questions and opens the accounts dialog).
//
// Threads: main thread.

#include "app/appcoreU.h"

#include <string>
#include <vector>

namespace bm {

enum class TCheckMenuKind { DefaultCheck, AllAccounts, Separator, Account };

struct TCheckMenuEntry {
    TCheckMenuKind Kind = TCheckMenuKind::DefaultCheck;
    std::string Caption; // "" for the separator
    TAccountPtr Account; // for an account entry
};

// What keeps a check command from starting a check.
enum class TCheckProblem {
    None,
    NoAccounts,        // ask kAskAddAccounts, then open the accounts dialog
    NoDefaultAccounts, // show kNoDefaultAccounts
    InvalidAccounts,   // ask the question given, then open the accounts dialog
};

class TCheckService {
public:
    inline static const char* const kDefaultCheckCaption = "&Default mail check";
    inline static const char* const kAllAccountsCaption = "Check &all accounts";
    inline static const char* const kNoDefaultAccounts =
        "There are no accounts marked to be checked in the default mail check!";
    inline static const char* const kAskAddAccounts =
        "You haven't added or imported any accounts to check mail on!\r\nDo you want to do so now?";

    explicit TCheckService(TAppCore& core) : core_(core) {}

    // The two fixed entries, then, when there are accounts, a separator and
    // one entry per account sorted by name without regard to letter case
    // (equal names keep their list order).
    std::vector<TCheckMenuEntry> CheckMenuEntries() const;
    // No check exists and no cleaning runs: the check commands are enabled.
    bool MayCheck() const;
    // The tests of "Check mail" (defaultOnly) and "Check all accounts"; for
    // InvalidAccounts question is "The following errors were found in your
    // accounts:\r\n", the errors, "\r\nDo you want to edit your accounts now?".
    TCheckProblem CheckCommandProblem(bool defaultOnly, std::string& question) const;
    // The command itself, once its tests passed: a user-started check of the
    // default-check accounts (defaultOnly) or of all; false when it did not
    // start (a check or a cleaning runs, or it did not start).
    bool CheckMail(bool defaultOnly);
    // A per-account entry: a check of that account alone, without the tests
    // and not user-started (it dials only when a connection is up already).
    bool CheckAccount(const TAccountPtr& account);

private:
    TAppCore& core_;
};

} // namespace bm
