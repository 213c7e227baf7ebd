// The POP3 listener, its message listing and its login rule. The command
// handlers are in pop3srvcmds.cpp.

#include "servers/pop3srvmdl.h"

#include <algorithm>
#include <system_error>

#include "core/commonsU.h"
#include "core/loggerU.h"
#include "platform/shellU.h"

namespace bm {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMsgExtension = ".msg";
// The stored terminating line "." CR LF, not part of the message's size.
constexpr std::uintmax_t kTerminatorSize = 3;

} // namespace

TPOP3ServerSettings POP3SettingsFromOptions(const TOptions& options, const TAccountList& accounts)
{
    const TOptionsValues values = options.Snapshot();
    TPOP3ServerSettings settings;
    settings.accounts = &accounts;
    settings.dataFolder = GetDataFolder();
    settings.listenAddresses = ServerListenAddresses(values.ListenAddress);
    settings.port = static_cast<uint16_t>(values.POP3Port);
    settings.portSSL = static_cast<uint16_t>(values.POP3PortSSL);
    settings.certFolders = {GetProgramFolder(), settings.dataFolder};
    return settings;
}

std::vector<TPOP3Entry> ScanInboxFolder(const fs::path& folder)
{
    std::vector<TPOP3Entry> entries;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= kMsgExtension.size() || !name.ends_with(kMsgExtension))
            continue;
        std::error_code statEc;
        if (!it->is_regular_file(statEc) || it->is_symlink(statEc))
            continue;
        const std::uintmax_t size = it->file_size(statEc);
        if (statEc)
            continue;  // removed while we listed
        entries.push_back({name.substr(0, name.size() - kMsgExtension.size()),
                           size > kTerminatorSize ? size - kTerminatorSize : 0});
    }
    return entries;
}

// --- TConnData ---------------------------------------------------------------

TConnData::TConnData(fs::path dataFolder, std::string accountName)
    : dataFolder_(std::move(dataFolder)), accountName_(std::move(accountName))
{
    TakeListing();
}

void TConnData::SetAccountName(std::string accountName)
{
    accountName_ = std::move(accountName);
    TakeListing();
}

void TConnData::TakeListing()
{
    const fs::path folder = Folder();
    entries_ = folder.empty() ? std::vector<TPOP3Entry>{} : ScanInboxFolder(folder);
    marked_.assign(entries_.size(), false);
}

fs::path TConnData::Folder() const
{
    // An account name is a folder name; one that is not a plain name (the
    // account dialog refuses them, but accounts.ini can be edited) would
    // reach outside the data folder, so it lists nothing.
    if (accountName_.empty() || !IsValidAccountName(accountName_) ||
        accountName_.find('\0') != std::string::npos)
        return {};
    return dataFolder_ / accountName_;
}

fs::path TConnData::FilePath(const std::string& id) const
{
    return Folder() / (id + std::string(kMsgExtension));
}

const TPOP3Entry* TConnData::Entry(std::uintmax_t n) const
{
    if (n == 0 || n > entries_.size())
        return nullptr;
    return &entries_[n - 1];
}

bool TConnData::IsMarked(std::uintmax_t n) const
{
    return Entry(n) && marked_[n - 1];
}

void TConnData::Mark(std::uintmax_t n)
{
    if (Entry(n))
        marked_[n - 1] = true;
}

void TConnData::UnmarkAll()
{
    marked_.assign(entries_.size(), false);
}

std::pair<std::size_t, std::uintmax_t> TConnData::Unmarked() const
{
    std::size_t count = 0;
    std::uintmax_t total = 0;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (marked_[i])
            continue;
        ++count;
        total += entries_[i].size;
    }
    return {count, total};
}

TConnData::TRemoval TConnData::RemoveMarked()
{
    TRemoval result;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (!marked_[i])
            continue;
        marked_[i] = false;
        const fs::path path = FilePath(entries_[i].id);
        std::error_code ec;
        if (fs::remove(path, ec)) {
            result.removed.push_back(entries_[i].id);
        } else if (ec) {
            WriteTrace({"POP3 QUIT", "cannot remove", path.string(), ec.message()}, kTraceEvent);
            result.complete = false;
        }
        // remove() false without an error: the file was gone already.
    }
    return result;
}

// --- Login -------------------------------------------------------------------

std::pair<std::string, std::string> SplitLoginName(const std::string& name)
{
    const auto at = name.rfind('@');
    if (at == std::string::npos)
        return {std::string(), name};
    return {name.substr(0, at), name.substr(at + 1)};
}

std::string FindLoginAccount(const TAccountList& accounts, const std::string& loginName,
                             const std::string& password)
{
    const auto [user, host] = SplitLoginName(loginName);
    if (password.empty()) {
        WriteTrace({"POP3 CheckUser", "Empty password", user}, 0);
        return {};
    }
    for (const auto& account : accounts.Items()) {
        const TAccountValues values = account->Snapshot();
        if (values.Incoming.UserName == user && values.Incoming.Password == password &&
            values.Incoming.Server == host) {
            WriteTrace({"POP3 CheckUser", "OK", user}, 0);
            return values.Name;
        }
    }
    WriteTrace({"POP3 CheckUser", "Unknown", user}, 0);
    return {};
}

int LoginFailureDelayMs(int failures, int firstMs, int maxMs)
{
    if (failures <= 0 || firstMs <= 0)
        return 0;
    long long delay = firstMs;
    for (int n = 1; n < failures && delay < maxMs; ++n)
        delay *= 2;
    return static_cast<int>(std::min<long long>(delay, maxMs));
}

// --- TLocalPOP3ServerMdl -----------------------------------------------------

TLocalPOP3ServerMdl::TLocalPOP3ServerMdl(TPOP3ServerSettings settings) : settings_(std::move(settings))
{
}

TLocalPOP3ServerMdl::~TLocalPOP3ServerMdl()
{
    StopListening();
}

void TLocalPOP3ServerMdl::StartListening(TTlsMode mode, uint16_t port)
{
    StopListening();
    tls_.reset();
    tls_ = ServerTlsContext(mode, settings_.certFolders);
    mode_ = mode;
    TListenSettings listen = ServerListenSettings(settings_.listenAddresses, port, settings_.maxConnections, mode,
                                                  tls_, settings_.timeouts.tlsHandshakeMs);
    listen.pendingTimeoutMs = settings_.timeouts.loginMs;
    listener_.Start(
        listen, [this](TcpConnection& c) { RunSession(c); }, [this](TcpConnection& c) { Refuse(c); });
}

void TLocalPOP3ServerMdl::StopListening()
{
    listener_.Stop();
}

void TLocalPOP3ServerMdl::Refuse(TcpConnection& connection) const
{
    // Short: this runs on the accept thread, which a slow client must not hold.
    connection.WriteLine("-ERR Too many connections. Try again later.", 1000);
}

std::pair<uint16_t, uint16_t> TLocalPOP3ServerMdl::ChooseFreePorts(TOptions& options, const fs::path& optionsFile)
{
    const auto ports = ChooseFreePortPair(kFirstPOP3Port, {}, ServerListenAddresses(options.ListenAddress()));
    options.SetPOP3Port(ports.first);
    options.SetPOP3PortSSL(ports.second);
    options.SaveToFile(optionsFile);
    return ports;
}

bool TLocalPOP3ServerMdl::TestPort(const TOptions& options)
{
    return TestOptionsPort(options.POP3Port(), options.ListenAddress());
}

} // namespace bm
