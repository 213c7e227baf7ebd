#pragma once
// TCleanerMdl: the quarantine cleaner. About once an hour it removes the
// quarantined messages older than the quarantine period whose challenge has
// gone out (with their files), removes keys that no message refers to any
// longer, optionally blacklists the senders of the removed messages, drops
// answered-request records older than 30 days, and once a week compacts the
// database. It runs on the main thread, driven by its own timer, through the
// main connection, and talks to the main window only through its events.
//
// State in the registry stand-in, LocalMachine hive, key
// "\SOFTWARE\Veldhaven\Brixmoor 2.0\State": "LastClean" (the last completed
// or attempted pass) and "LastPack" (the last compaction), both DateTime
// values reading 0 when never written.
//
// Threads: main thread only (the timer is a main-thread QTimer).

#include "core/datetimeU.h"
#include "config/regsettingsU.h"

#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bm {

class TFFData;
class TOptions;
class TAccountList;
class TBlackList;

class TCleanerMdl {
public:
    // Everything it works on is passed in and must outlive the module;
    // registry: the store of LastClean and LastPack (null: the process-wide
    // Registry()). Arms the timer with a
    // random interval of 0 to 59 whole seconds and starts it.
    TCleanerMdl(TFFData& data, TOptions& options, TAccountList& accounts, TBlackList& blacklist,
                TRegistryStore* registry = nullptr);
    ~TCleanerMdl();
    TCleanerMdl(const TCleanerMdl&) = delete;
    TCleanerMdl& operator=(const TCleanerMdl&) = delete;

    // Before each pass; set allowed to false to refuse it (preset true).
    std::function<void(TCleanerMdl& sender, bool& allowed)> OnCanClean;
    // At each step; an empty text at the end of a pass.
    std::function<void(TCleanerMdl& sender, const std::string& text)> OnProgress;
    // After each QuarantinedMessages row is deleted, with its ID.
    std::function<void(TCleanerMdl& sender, int id)> OnMessageDeleted;
    // Before an address is added to the blacklist (as the key spelled it).
    std::function<void(TCleanerMdl& sender, const std::string& address)> OnSenderBlacklisted;
    // Before the compaction: the main window closes its own cursors.
    std::function<void(TCleanerMdl& sender)> OnBeforePack;
    // After every pass, also a failed one.
    std::function<void(TCleanerMdl& sender)> OnFinished;
    // A failure of a pass started by the timer (the timer cannot pass it on);
    // unset, the failure goes to ReportError.
    std::function<void(TCleanerMdl& sender, const std::string& message)> OnError;

    // The timer's tick: when an hour has passed since LastClean, asks
    // OnCanClean; refused, ticks again in 5 s; allowed, runs Clean, then (also
    // after a failure) raises OnFinished, re-arms the timer for 10 minutes and
    // stores the time in LastClean. A failure of Clean is rethrown after that.
    void CleanTimerTimer();
    // One cleaning pass. Throws the first failure of the search steps, of the
    // answered-request step or of the compaction; failures while deleting
    // rows are swallowed (the rows stay for the next pass).
    void Clean();

    // True while a pass runs: the main window starts no Mail check then.
    bool Busy() const { return busy_; }
    QTimer& CleanTimer() { return timer_; }
    TDateTime LastClean() { return lastClean_.Get(); }
    TDateTime LastPack() { return lastPack_.Get(); }

private:
    void Progress(const std::string& text);
    void CollectExpired(std::vector<int>& expired);
    void ExpireRows(const std::set<int>& sent, const std::string& cutOff,
                    const std::optional<std::string>& account, std::vector<int>& expired);
    void BlacklistSendersOfKey(int keyId);
    void DeleteExpiredMessages(const std::vector<int>& expired);
    void DeleteEmptyKeys();
    void PackTables();

    TFFData& data_;
    TOptions& options_;
    TAccountList& accounts_;
    TBlackList& blacklist_;
    RegistrySettings settings_;
    TDateTimeSetting lastClean_;
    TDateTimeSetting lastPack_;
    QTimer timer_;
    bool busy_ = false;
};

} // namespace bm
