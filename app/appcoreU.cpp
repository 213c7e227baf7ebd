// The application core: start-up and shutdown order, the local servers, the
// cleaner, the side-bar rows and the quarantine loader. The Mail check side
// (commands, timers, the checker's events) is in appcorechk.cpp.
#include "app/appcoreU.h"

#include "app/checksvc.h"
#include "app/inboxsvc.h"
#include "app/listsvc.h"
#include "app/quarantinesvc.h"
#include "app/replysvc.h"
#include "app/searchsvc.h"
#include "app/securitymdl.h"
#include "app/statussvc.h"
#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "config/textcaseU.h"
#include "core/commonsU.h"
#include "core/datetimeU.h"
#include "core/errorsU.h"
#include "core/loggerU.h"
#include "dialup/rasmdl.h"
#include "servers/pop3srvthdU.h"
#include "servers/smtpsrvthdU.h"
#include "store/cleaningmdl.h"
#include "store/ffdatamdl.h"
#include "store/msgsU.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace bm {

namespace {

// How long the shutdown waits for a stopped Mail check to end: the stop cuts
// the connection in use, so the check ends within one network time-out.
constexpr std::chrono::milliseconds kCheckEndWait {120000};

std::string ListenText(const char* server, const std::vector<std::string>& addresses, uint16_t plain,
                       uint16_t tls, const char* upgrade)
{
    std::string where;
    for (const auto& a : addresses)
        where += (where.empty() ? "" : ", ") + a;
    return std::string("Local ") + server + " server listening on " + where + " port " + std::to_string(plain) +
           " (" + upgrade + ") and port " + std::to_string(tls) + " (TLS)";
}

std::vector<TSideBarRow> AddressRows(const TAddressList& list)
{
    std::vector<TSideBarRow> rows;
    for (const auto& e : list.Entries())
        rows.push_back({e.Text, e.Active});
    return rows;
}

template <class T>
T& Required(T* object, const char* what)
{
    if (!object)
        throw std::invalid_argument(std::string("The application core needs its ") + what);
    return *object;
}

} // namespace

TAppCore::TAppCore(TAppCoreSettings settings)
    : settings_(std::move(settings))
    , options_(Required(settings_.Options, "options"))
    , accounts_(Required(settings_.Accounts, "accounts"))
    , friends_(Required(settings_.Friends, "Friends list"))
    , blacklist_(Required(settings_.Blacklist, "blacklist"))
    , filters_(Required(settings_.Filters, "filters"))
    , inboxList_(Required(settings_.Inbox, "inbox list"))
{
    Required(settings_.Replies, "reply templates");
    Required(settings_.Known, "known messages");
    Required(settings_.CleanerRegistry, "cleaner registry");
    quarantineSvc_ = std::make_unique<TQuarantineService>(*this);
    inboxSvc_ = std::make_unique<TInboxService>(*this);
    listSvc_ = std::make_unique<TListService>(*this);
    searchSvc_ = std::make_unique<TSearchService>(*this);
    replySvc_ = std::make_unique<TReplyService>(*this);
    statusSvc_ = std::make_unique<TStatusService>(*this);
    checkSvc_ = std::make_unique<TCheckService>(*this);
    if (!settings_.StartChecker)
        settings_.StartChecker = DefaultCheckerStarter(settings_);
    checkMailTimer_.setInterval(5000);
    updCheckTimeTimer_.setInterval(1000);
    startupMailChecker_.setInterval(1000);
    startupMailChecker_.setSingleShot(true);
    closeNowTimer_.setInterval(100);
    connect(&checkMailTimer_, &QTimer::timeout, this, &TAppCore::CheckMailTimerTimer);
    connect(&updCheckTimeTimer_, &QTimer::timeout, this, &TAppCore::UpdCheckTimeTimerTimer);
    connect(&startupMailChecker_, &QTimer::timeout, this, &TAppCore::StartupMailCheckerTimer);
    connect(&closeNowTimer_, &QTimer::timeout, this, &TAppCore::CloseNowTimerTimer);
}

TAppCore::~TAppCore()
{
    try {
        if (created_)
            Shutdown();
    } catch (const std::exception& e) {
        WriteTrace({"Shutdown", e.what()}, kTraceEvent);
    }
}

// --- Start-up ------------------------------------------------------------------

void TAppCore::Create()
{
    created_ = true;
    SetStatus("Starting up");
    database_ = std::make_unique<TFFData>(settings_.DatabaseFile);
    rasManager_ = std::make_unique<TRASManager>(settings_.RemoteAccess);
    if (settings_.StartServers)
        CreateServers();
    CreateCleaner();
    emit SideBarFilled();
    startupCheckPending_ = true;
    if (options_.CheckOnStartup()) {
        startupMailChecker_.start();
    } else {
        RefreshInbox();
        lastCheckTime_ = Now();
        checkMailTimer_.start();
        updCheckTimeTimer_.start();
    }
    StartQuarantineLoader();
    SetStatus("");
}

// A first start without an install run: the options hold no ports yet, so
// the free ports are chosen as the install run would, POP3 first (from
// 11000), then SMTP (from 2525, skipping the POP3 ports), and saved. A port
// chosen here may be taken by another program between the choice and the
// bind (another copy of the program starting at the same moment chooses
// from the same numbers); that server is started again on ports chosen
// again, a few times, and only the last failure is reported.
void TAppCore::CreateServers()
{
    constexpr int kChoiceAttempts = 5;
    const bool choosePop3 = options_.POP3Port() == 0 || options_.POP3PortSSL() == 0;
    const bool chooseSmtp = options_.SMTPPort() == 0 || options_.SMTPPortSSL() == 0;
    ChoosePorts(choosePop3, chooseSmtp);
    for (int attempt = 1; !StartSMTPServer(!chooseSmtp || attempt == kChoiceAttempts); ++attempt) {
        if (!chooseSmtp || attempt == kChoiceAttempts)
            break;
        ChoosePorts(false, true);
    }
    for (int attempt = 1; !StartPOP3Server(!choosePop3 || attempt == kChoiceAttempts); ++attempt) {
        if (!choosePop3 || attempt == kChoiceAttempts)
            break;
        ChoosePorts(true, false);
    }
}

void TAppCore::ChoosePorts(bool pop3, bool smtp)
{
    try {
        if (pop3) {
            auto [plain, tls] = TLocalPOP3ServerMdl::ChooseFreePorts(options_, settings_.OptionsFile);
            WriteTrace({"Chose POP3 ports", std::to_string(plain), std::to_string(tls)}, kTraceEvent);
        }
        if (smtp) {
            auto [plain, tls] = TLocalSMTPServerMdl::ChooseFreePorts(options_, settings_.OptionsFile);
            WriteTrace({"Chose SMTP ports", std::to_string(plain), std::to_string(tls)}, kTraceEvent);
        }
    } catch (const std::exception& e) {
        // The servers then try the ports as they are and report what fails.
        WriteTrace({"Choosing free ports", e.what()}, kTraceEvent);
    }
}

// Gives false when the server could not listen; the failure goes to
// OnStartupError when report is set, else to the trace only.
bool TAppCore::StartSMTPServer(bool report)
{
    TSMTPServerSettings s = SMTPSettingsFromOptions(options_, accounts_, friends_);
    auto server = std::make_unique<TSMTPServerThread>(s);
    server->OnServerEvent = [this](TSMTPServerThread&, const std::string& address) {
        emit AddressWhitelisted(LowerText(address));
    };
    try {
        server->Start();
    } catch (const std::exception& e) {
        WriteTrace({"Local SMTP server", e.what()}, kTraceEvent);
        if (report)
            emit StartupError(e.what());
        return false;
    }
    const std::string text = ListenText("SMTP", s.listenAddresses, server->PlainPort(), server->TlsPort(), "STARTTLS");
    smtpServer_ = std::move(server);
    WriteTrace({text}, kTraceEvent);
    emit ServerStarted(text);
    return true;
}

bool TAppCore::StartPOP3Server(bool report)
{
    TPOP3ServerSettings s = POP3SettingsFromOptions(options_, accounts_);
    auto server = std::make_unique<TPOP3ServerThread>(s);
    // The mail client deleted a message file: its inbox row goes.
    server->OnServerEvent = [this](TPOP3ServerThread&, const std::string& account, const std::string& id) {
        RemoveInboxRow(id, account);
    };
    try {
        server->Start();
    } catch (const std::exception& e) {
        WriteTrace({"Local POP3 server", e.what()}, kTraceEvent);
        if (report)
            emit StartupError(e.what());
        return false;
    }
    const std::string text = ListenText("POP3", s.listenAddresses, server->PlainPort(), server->TlsPort(), "STLS");
    pop3Server_ = std::move(server);
    WriteTrace({text}, kTraceEvent);
    emit ServerStarted(text);
    return true;
}

void TAppCore::CreateCleaner()
{
    cleaner_ = std::make_unique<TCleanerMdl>(*database_, options_, accounts_, blacklist_,
                                            settings_.CleanerRegistry);
    cleaner_->OnCanClean = [this](TCleanerMdl&, bool& allowed) { allowed = MayClean(); };
    cleaner_->OnBeforePack = [this](TCleanerMdl&) { emit BeforePack(); };
    cleaner_->OnFinished = [this](TCleanerMdl&) { emit CleanFinished(); };
    cleaner_->OnMessageDeleted = [this](TCleanerMdl&, int id) { RemoveQuarantineRow(id); };
    cleaner_->OnProgress = [this](TCleanerMdl&, const std::string& text) { SetStatus(text); };
    cleaner_->OnSenderBlacklisted = [this](TCleanerMdl&, const std::string& address) {
        emit SenderBlacklisted(LowerText(address));
    };
}

TSideBarRows TAppCore::SideBar() const
{
    TSideBarRows rows;
    rows.Friends = AddressRows(friends_);
    rows.Blacklist = AddressRows(blacklist_);
    std::lock_guard lock(filters_.Mutex());
    for (int i = 0; i < filters_.Count(); ++i)
        rows.Filters.push_back({filters_.Item(i)->Name(), filters_.Item(i)->Enabled()});
    return rows;
}

void TAppCore::StartQuarantineLoader()
{
    try {
        loader_ = std::make_unique<TTrashLoader>(settings_.DatabaseFile);
    } catch (const std::exception& e) {
        WriteTrace({"Quarantine loader", e.what()}, kTraceEvent);
        return;
    }
    loader_->OnLoaded = [this](TTrashLoader&, const std::vector<TTrashRow>& rows) {
        SetStatus("Loading quarantine messages");
        AddQuarantineRows(rows);
        quarantineLoaded_ = true;
        SetStatus("");
    };
    loader_->Start();
}

// --- Shutdown ------------------------------------------------------------------

void TAppCore::Shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    WriteTrace({"Shutting down"}, kTraceEvent);
    StopTimers();
    WaitForCheck();
    FreeWorkers();
    FreeGroup();
    ProcessEventsFor(settings_.ShutdownDrain);
}

void TAppCore::StopTimers()
{
    checkMailTimer_.stop();
    updCheckTimeTimer_.stop();
    startupMailChecker_.stop();
    closeNowTimer_.stop();
    if (cleaner_)
        cleaner_->CleanTimer().stop();
}

// The window never closes while a check runs; a shutdown forced otherwise (a
// failure escaping the event loop) stops the check and lets it end, since
// its thread uses the lists and servers that are freed next.
void TAppCore::WaitForCheck()
{
    if (!checking_)
        return;
    StopMailCheck();
    QDeadlineTimer deadline(kCheckEndWait);
    while (checking_ && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    if (checking_)
        WriteTrace({"Shutdown", "the Mail check did not end"}, kTraceEvent);
}

// The loader and the cleaner use the database: they go before it.
void TAppCore::FreeWorkers()
{
    try {
        loader_.reset();
        cleaner_.reset();
    } catch (const std::exception& e) {
        WriteTrace({"Shutdown", e.what()}, kTraceEvent);
    }
}

// One group, in this order; a failing step skips the rest of the group.
void TAppCore::FreeGroup()
{
    try {
        rasManager_.reset();
        if (pop3Server_) {
            pop3Server_->Stop();
            pop3Server_.reset();
            WriteTrace({"Local POP3 server stopped"}, kTraceEvent);
        }
        if (smtpServer_) {
            smtpServer_->Stop();
            smtpServer_.reset();
            WriteTrace({"Local SMTP server stopped"}, kTraceEvent);
        }
        database_.reset();
        if (settings_.ReleaseInstance)
            settings_.ReleaseInstance();
    } catch (const std::exception& e) {
        WriteTrace({"Shutdown", e.what()}, kTraceEvent);
    }
}

// --- Rows ----------------------------------------------------------------------

void TAppCore::AddQuarantineRows(const std::vector<TTrashRow>& rows)
{
    if (rows.empty())
        return;
    quarantine_.insert(quarantine_.end(), rows.begin(), rows.end());
    emit QuarantineRowsAdded(rows);
}

void TAppCore::RemoveQuarantineRow(int id)
{
    for (auto it = quarantine_.begin(); it != quarantine_.end(); ++it) {
        if (it->ID != id)
            continue;
        quarantine_.erase(it);
        break;
    }
    // The window reselects also when the row was gone already.
    emit QuarantineRowRemoved(id);
}

bool TAppCore::RemoveInboxRow(const std::string& id, const std::string& account)
{
    for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
        if (it->Id != id || it->Account != account)
            continue;
        TInboxRow row = std::move(*it);
        inbox_.erase(it);
        emit InboxRowRemoved(row);
        return true;
    }
    return false;
}

bool TAppCore::Cleaning() const
{
    return cleaner_ && cleaner_->Busy();
}

void TAppCore::SetStatus(const std::string& text)
{
    statusText_ = text;
    if (!text.empty())
        WriteTrace({text}, kTraceEvent);
    emit StatusChanged(text);
}

std::string TAppCore::LastCheckedText() const
{
    if (checkedOnce_ && lastCheckTime_)
        return "Mail was last checked " + FormatElapsed(Now() - *lastCheckTime_);
    return "Mail hasn't been checked yet";
}

} // namespace bm
