#include "store/cleaningmdl.h"

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "core/commonsU.h"
#include "core/errorsU.h"
#include "store/ffdatamdl.h"

#include <cstdio>
#include <exception>
#include <random>

namespace bm {

namespace {

constexpr TDateTime kOneHour = 1.0 / 24;
constexpr int kRefusedRetryMs = 5000;
constexpr int kRearmMs = 600000;
constexpr int kAnsweredRequestDays = 30;
// A reply may come months after the message it answers; the ids of what was
// sent are kept this long.
constexpr int kSentMessageDays = 180;
constexpr TDateTime kPackEveryDays = 7;

std::string Format(const char* pattern, std::size_t i, std::size_t n)
{
    char text[96];
    std::snprintf(text, sizeof text, pattern, static_cast<int>(i), static_cast<int>(n));
    return text;
}

// Deletes D/account/Bad/uidl.msg; a file that cannot be deleted, or names
// that would lead out of the account's folder, leave everything as it is.
void RemoveQuarantineFile(const std::string& account, const std::string& uidl)
{
    auto unsafe = [](const std::string& name) {
        return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos;
    };
    if (unsafe(account) || uidl.find('/') != std::string::npos)
        return;
    std::error_code ignored;
    std::filesystem::remove(GetDataFolder() / account / "Bad" / (uidl + ".msg"), ignored);
}

} // namespace

TCleanerMdl::TCleanerMdl(TFFData& data, TOptions& options, TAccountList& accounts, TBlackList& blacklist,
                         TRegistryStore* registry)
    : data_(data),
      options_(options),
      accounts_(accounts),
      blacklist_(blacklist),
      settings_(registry),
      lastClean_(settings_, "State", "LastClean", 0),
      lastPack_(settings_, "State", "LastPack", 0)
{
    settings_.RegRoot = TRegRoot::LocalMachine;
    settings_.Company = "Veldhaven";
    settings_.App = GetProductFolderName();
    // A random first delay keeps copies started together from cleaning in step.
    std::random_device seed;
    timer_.setInterval(static_cast<int>(std::uniform_int_distribution<int>(0, 59)(seed)) * 1000);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        try {
            CleanTimerTimer();
        } catch (const std::exception& e) {
            if (OnError)
                OnError(*this, e.what());
            else
                ReportError(e.what(), "");
        }
    });
    timer_.start();
}

TCleanerMdl::~TCleanerMdl() = default;

void TCleanerMdl::Progress(const std::string& text)
{
    if (OnProgress)
        OnProgress(*this, text);
}

void TCleanerMdl::CleanTimerTimer()
{
    if (Now() - lastClean_.Get() < kOneHour)
        return;
    bool allowed = true;
    if (OnCanClean)
        OnCanClean(*this, allowed);
    timer_.stop();
    if (!allowed) {
        timer_.setInterval(kRefusedRetryMs);
        timer_.start();
        return;
    }
    busy_ = true;
    std::exception_ptr failure;
    try {
        Clean();
    } catch (...) {
        failure = std::current_exception();
    }
    if (OnFinished)
        OnFinished(*this);
    busy_ = false;
    timer_.setInterval(kRearmMs);
    timer_.start();
    lastClean_.Set(Now());
    if (failure)
        std::rethrow_exception(failure);
}

void TCleanerMdl::Clean()
{
    Progress("Searching for quarantined messages to delete");
    data_.CloseQueries();
    std::vector<int> expired;
    CollectExpired(expired);

    // Deleting rows: a failure leaves the rest for the next pass.
    try {
        DeleteExpiredMessages(expired);
        Progress("Searching for quarantine keys to delete");
        DeleteEmptyKeys();
    } catch (const std::exception&) {
    }

    Progress("Compacting answered requests");
    data_.DeleteAnsweredRequestsBefore(Now() - kAnsweredRequestDays);
    data_.DeleteSentMessagesBefore(Now() - kSentMessageDays);

    if (Now() - lastPack_.Get() > kPackEveryDays)
        PackTables();
    Progress("");
}

void TCleanerMdl::CollectExpired(std::vector<int>& expired)
{
    // Only keys whose challenge is out age; others stay however old.
    std::set<int> sent = data_.KeysWithSentMessage();
    TDateTime now = Now();
    if (options_.UseIndividualAccountSettings()) {
        // Accounts that no longer exist are not touched in this mode.
        for (const auto& account : accounts_.Items())
            ExpireRows(sent, FormatSqlDateTime(now - account->QuarantineDays()), account->Name(), expired);
    } else {
        ExpireRows(sent, FormatSqlDateTime(now - options_.QuarantineDays()), std::nullopt, expired);
    }
}

void TCleanerMdl::ExpireRows(const std::set<int>& sent, const std::string& cutOff,
                             const std::optional<std::string>& account, std::vector<int>& expired)
{
    bool blacklist = options_.BlackListCleanedQuarantine();
    for (const auto& row : data_.OldMessages(cutOff, account)) {
        if (!sent.contains(row.KeyID))
            continue;
        expired.push_back(row.ID);
        RemoveQuarantineFile(row.Account, row.UIDL);
        if (blacklist)
            BlacklistSendersOfKey(row.KeyID);
    }
}

void TCleanerMdl::BlacklistSendersOfKey(int keyId)
{
    auto key = data_.FindKeyById(keyId);
    if (!key)
        return;
    std::vector<std::string> addresses;
    ExtractTokens(key->FromList, " ", false, addresses);
    for (const auto& address : addresses) {
        if (blacklist_.IndexOf(address) >= 0)
            continue;
        if (OnSenderBlacklisted)
            OnSenderBlacklisted(*this, address);
        blacklist_.AddAddress(address);
    }
}

void TCleanerMdl::DeleteExpiredMessages(const std::vector<int>& expired)
{
    for (std::size_t i = 0; i < expired.size(); ++i) {
        Progress(Format("Deleting quarantine message %d of %d", i + 1, expired.size()));
        if (data_.DeleteQuarantinedMessage(expired[i]) && OnMessageDeleted)
            OnMessageDeleted(*this, expired[i]);
    }
}

void TCleanerMdl::DeleteEmptyKeys()
{
    // A key without messages goes whatever its MessageSent; its queue rows stay.
    std::vector<int> empty;
    for (const auto& key : data_.AllKeys())
        if (data_.CountMessagesOfKey(key.ID) == 0)
            empty.push_back(key.ID);
    for (std::size_t i = 0; i < empty.size(); ++i) {
        Progress(Format("Deleting quarantine key %d of %d", i + 1, empty.size()));
        data_.DeleteKey(empty[i]);
    }
}

void TCleanerMdl::PackTables()
{
    if (OnBeforePack)
        OnBeforePack(*this);
    // The four tables share one file, which one VACUUM compacts whole; the
    // step texts are kept so the status line reads as it always has.
    Progress("Cleaning up quarantine table");
    data_.Pack();
    Progress("Cleaning up quarantine keys table");
    Progress("Cleaning up quarantine queue table");
    Progress("Cleaning up answered requests table");
    lastPack_.Set(Now());
}

} // namespace bm
