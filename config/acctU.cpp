#include "config/acctU.h"

#include "config/configfileU.h"
#include "config/legacyreadU.h"
#include "config/textcaseU.h"
#include "core/commonsU.h"
#include "core/loggerU.h"
#include "core/mailmsgU.h"
#include "core/streamU.h"
#include "core/pwdcrypt.h"
#include "platform/atomicfile.h"
#include "platform/inifile.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace bm {

const char* const kAccountNameRuleMessage = "An account name can't contain the characters\r\n\\/:*?\"<>|";

bool IsValidAccountName(const std::string& name)
{
    if (name == "." || name == "..")
        return false;
    return name.find_first_of("\\/:*?\"<>|") == std::string::npos;
}

namespace {

constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;
constexpr int kMinQuarantineDays = 1;
constexpr int kMaxQuarantineDays = 3650;

// The account name is a folder name in the data folder: a name from a
// damaged or hand-edited file must not reach outside it.
std::string SafeLoadedName(const std::string& name)
{
    if (name == "." || name == "..")
        return std::string(name.size(), '_');
    std::string safe = name;
    for (char& c : safe)
        if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
            c = '_';
    return safe;
}

std::string TrimBlanks(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// "a@x,b@y," → {a@x, b@y}: every comma ends an address. Blanks around an
// address are dropped, and so are empty items.
std::vector<std::string> SplitAddresses(const std::string& text)
{
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = TrimBlanks(text.substr(start, end - start));
        if (!item.empty())
            addresses.push_back(std::move(item));
        start = end + 1;
    }
    return addresses;
}

std::string JoinAddresses(const std::vector<std::string>& addresses)
{
    std::string text;
    for (const std::string& a : addresses)
        text += a + ",";
    return text;
}

std::uint8_t ReadSsl(const TIniFile& ini, const std::string& section, std::uint8_t current)
{
    return static_cast<std::uint8_t>(ReadIntegerInRange(ini, section, "SSL", current, 0, 255));
}

// The server trust keys, after the section's other keys; written only when
// set, so an account that never needed them keeps its file as it was.
void ReadTrust(const TIniFile& ini, const std::string& section, std::string& fingerprint, bool& tlsOffered)
{
    fingerprint = ini.ReadString(section, "CertFingerprint", fingerprint);
    tlsOffered = ini.ReadBool(section, "TlsOffered", tlsOffered);
}

void WriteTrust(TIniFile& ini, const std::string& section, const std::string& fingerprint, bool tlsOffered)
{
    // A trust the user withdrew must not come back from the old key.
    if (!fingerprint.empty())
        ini.WriteString(section, "CertFingerprint", fingerprint);
    else if (ini.ValueExists(section, "CertFingerprint"))
        ini.DeleteKey(section, "CertFingerprint");
    if (tlsOffered)
        ini.WriteBool(section, "TlsOffered", true);
    else if (ini.ValueExists(section, "TlsOffered"))
        ini.DeleteKey(section, "TlsOffered");
}

// The stored password of section; a value that cannot be read gives "" and
// is kept as stored in `kept`, with its error in `errors`.
std::string ReadPassword(const TIniFile& ini, const std::string& section, std::string& kept,
                         std::vector<std::string>& errors)
{
    const std::string stored = ini.ReadString(section, "Password", "");
    try {
        return DecryptStoredPassword(ini.FileName(), stored);
    } catch (const EConfigFileError& e) {
        kept = stored;
        errors.push_back(e.what());
        return {};
    }
}

void ReadIncoming(const TIniFile& ini, const std::string& section, TIncomingValues& v, std::string& kept,
                  std::vector<std::string>& errors)
{
    v.Server = ini.ReadString(section, "Server", v.Server);
    v.UserName = ini.ReadString(section, "UserName", v.UserName);
    if (ini.ValueExists(section, "Password"))
        v.Password = ReadPassword(ini, section, kept, errors);
    v.SecurePasswordAuthentication =
        ini.ReadBool(section, "SecurePasswordAuthentication", v.SecurePasswordAuthentication);
    v.SSL = ReadSsl(ini, section, v.SSL);
    v.Port = ReadIntegerInRange(ini, section, "Port", v.Port, kMinPort, kMaxPort);
    ReadTrust(ini, section, v.CertFingerprint, v.TlsOffered);
}

void ReadOutgoing(const TIniFile& ini, const std::string& section, TOutgoingValues& v, std::string& kept,
                  std::vector<std::string>& errors)
{
    v.Port = ReadIntegerInRange(ini, section, "Port", v.Port, kMinPort, kMaxPort);
    v.Server = ini.ReadString(section, "Server", v.Server);
    v.UserName = ini.ReadString(section, "UserName", v.UserName);
    if (ini.ValueExists(section, "Password"))
        v.Password = ReadPassword(ini, section, kept, errors);
    v.SSL = ReadSsl(ini, section, v.SSL);
    v.LoginRequired = ini.ReadBool(section, "LoginRequired", v.LoginRequired);
    v.UseAccountUser = ini.ReadBool(section, "UseAccountUser", v.UseAccountUser);
    v.BadMailReply = ini.ReadString(section, "BadMailReply", v.BadMailReply);
    if (ini.ValueExists(section, "EMailAddresses"))
        v.EMailAddresses = SplitAddresses(ini.ReadString(section, "EMailAddresses", ""));
    v.DefaultEMailAddress = ini.ReadString(section, "DefaultEMailAddress", v.DefaultEMailAddress);
    ReadTrust(ini, section, v.CertFingerprint, v.TlsOffered);
}

void WriteIncoming(TIniFile& ini, const std::string& section, const TIncomingValues& v, const std::string& password)
{
    ini.WriteString(section, "Server", v.Server);
    ini.WriteString(section, "UserName", v.UserName);
    ini.WriteString(section, "Password", password);
    ini.WriteBool(section, "SecurePasswordAuthentication", v.SecurePasswordAuthentication);
    ini.WriteInteger(section, "SSL", v.SSL);
    ini.WriteInteger(section, "Port", v.Port);
    WriteTrust(ini, section, v.CertFingerprint, v.TlsOffered);
}

void WriteOutgoing(TIniFile& ini, const std::string& section, const TOutgoingValues& v, const std::string& password)
{
    ini.WriteInteger(section, "Port", v.Port);
    ini.WriteString(section, "Server", v.Server);
    ini.WriteString(section, "UserName", v.UserName);
    ini.WriteString(section, "Password", password);
    ini.WriteInteger(section, "SSL", v.SSL);
    ini.WriteBool(section, "LoginRequired", v.LoginRequired);
    ini.WriteBool(section, "UseAccountUser", v.UseAccountUser);
    ini.WriteString(section, "BadMailReply", v.BadMailReply);
    ini.WriteString(section, "EMailAddresses", JoinAddresses(v.EMailAddresses));
    ini.WriteString(section, "DefaultEMailAddress", v.DefaultEMailAddress);
    WriteTrust(ini, section, v.CertFingerprint, v.TlsOffered);
}

TAccountValues DefaultAccountValues(const TOptions& options)
{
    TAccountValues v;
    v.QuarantineDays = options.QuarantineDays();
    v.KeysInMessages = options.KeysInMessages();
    return v;
}

} // namespace

// --- TAccount ----------------------------------------------------------------

TAccount::TAccount(const TOptions& options) : values_(DefaultAccountValues(options)) {}

TAccount::TAccount(const TIniFile& ini, const std::string& section, const TOptions& options) : TAccount(options)
{
    TAccountValues& v = values_;
    v.Name = SafeLoadedName(ini.ReadString(section, "Name", ""));
    ReadIncoming(ini, section + ".Incoming", v.Incoming, keptIncomingPassword_, loadErrors_);
    ReadOutgoing(ini, section + ".Outgoing", v.Outgoing, keptOutgoingPassword_, loadErrors_);
    v.QuarantineDays =
        ReadIntegerInRange(ini, section, "QuarantineDays", v.QuarantineDays, kMinQuarantineDays, kMaxQuarantineDays);
    v.KeysInMessages = ini.ReadBool(section, "KeysInMessages", v.KeysInMessages);
    v.InDefaultCheck = ini.ReadBool(section, "InDefaultCheck", true);
}

TAccount::~TAccount() = default;

TAccountValues TAccount::Snapshot() const
{
    std::shared_lock lock(mutex_);
    return values_;
}

void TAccount::SetValues(const TAccountValues& values)
{
    std::unique_lock lock(mutex_);
    if (values_ == values && keptIncomingPassword_.empty() && keptOutgoingPassword_.empty())
        return;
    values_ = values;
    keptIncomingPassword_.clear();
    keptOutgoingPassword_.clear();
    MarkModifiedLocked();
}

void TAccount::SetPasswordOf(std::string& password, std::string& kept, const std::string& v)
{
    std::unique_lock lock(mutex_);
    if (password == v && kept.empty())
        return;
    password = v;
    kept.clear();
    MarkModifiedLocked();
}

std::vector<std::string> TAccount::LoadErrors() const
{
    std::shared_lock lock(mutex_);
    return loadErrors_;
}

std::string TAccount::Name() const { return Get(&TAccountValues::Name); }
int TAccount::QuarantineDays() const { return Get(&TAccountValues::QuarantineDays); }
bool TAccount::KeysInMessages() const { return Get(&TAccountValues::KeysInMessages); }
bool TAccount::InDefaultCheck() const { return Get(&TAccountValues::InDefaultCheck); }
void TAccount::SetName(const std::string& v) { Set(&TAccountValues::Name, v); }
void TAccount::SetQuarantineDays(int v) { Set(&TAccountValues::QuarantineDays, v); }
void TAccount::SetKeysInMessages(bool v) { Set(&TAccountValues::KeysInMessages, v); }
void TAccount::SetInDefaultCheck(bool v) { Set(&TAccountValues::InDefaultCheck, v); }

TAccountList* TAccount::Owner() const
{
    std::shared_lock lock(mutex_);
    return owner_;
}

void TAccount::SetOwner(TAccountList* owner)
{
    std::unique_lock lock(mutex_);
    owner_ = owner;
}

void TAccount::MarkModifiedLocked()
{
    if (owner_)
        owner_->MarkModified();
}

void TAccount::WriteTo(TIniFile& ini, const std::string& section) const
{
    TAccountValues v;
    std::string keptIncoming;
    std::string keptOutgoing;
    {
        std::shared_lock lock(mutex_);
        v = values_;
        keptIncoming = keptIncomingPassword_;
        keptOutgoing = keptOutgoingPassword_;
    }
    // Both passwords first: one that cannot be stored leaves ini untouched.
    // A stored text that could not be read goes back as it was until a
    // password is set: a save for another reason must not destroy it.
    const std::string incoming = keptIncoming.empty() ? EncryptPassword(v.Incoming.Password) : keptIncoming;
    const std::string outgoing = keptOutgoing.empty() ? EncryptPassword(v.Outgoing.Password) : keptOutgoing;
    ini.WriteString(section, "Name", v.Name);
    ini.WriteInteger(section, "QuarantineDays", v.QuarantineDays);
    ini.WriteBool(section, "KeysInMessages", v.KeysInMessages);
    ini.WriteBool(section, "InDefaultCheck", v.InDefaultCheck);
    WriteIncoming(ini, section + ".Incoming", v.Incoming, incoming);
    WriteOutgoing(ini, section + ".Outgoing", v.Outgoing, outgoing);
}

// --- TIncomingMail -----------------------------------------------------------

namespace {
constexpr auto kIn = &TAccountValues::Incoming;
constexpr auto kOut = &TAccountValues::Outgoing;
} // namespace

TIncomingValues TIncomingMail::Values() const { return owner_.Get(kIn); }
std::string TIncomingMail::Server() const { return owner_.GetPart(kIn, &TIncomingValues::Server); }
std::string TIncomingMail::UserName() const { return owner_.GetPart(kIn, &TIncomingValues::UserName); }
std::string TIncomingMail::Password() const { return owner_.GetPart(kIn, &TIncomingValues::Password); }
bool TIncomingMail::SecurePasswordAuthentication() const
{
    return owner_.GetPart(kIn, &TIncomingValues::SecurePasswordAuthentication);
}
std::uint8_t TIncomingMail::SSL() const { return owner_.GetPart(kIn, &TIncomingValues::SSL); }
int TIncomingMail::Port() const { return owner_.GetPart(kIn, &TIncomingValues::Port); }
std::string TIncomingMail::CertFingerprint() const { return owner_.GetPart(kIn, &TIncomingValues::CertFingerprint); }
bool TIncomingMail::TlsOffered() const { return owner_.GetPart(kIn, &TIncomingValues::TlsOffered); }

void TIncomingMail::SetServer(const std::string& v) { owner_.SetPart(kIn, &TIncomingValues::Server, v); }
void TIncomingMail::SetUserName(const std::string& v) { owner_.SetPart(kIn, &TIncomingValues::UserName, v); }
void TIncomingMail::SetPassword(const std::string& v)
{
    owner_.SetPasswordOf(owner_.values_.Incoming.Password, owner_.keptIncomingPassword_, v);
}
void TIncomingMail::SetSecurePasswordAuthentication(bool v)
{
    owner_.SetPart(kIn, &TIncomingValues::SecurePasswordAuthentication, v);
}
void TIncomingMail::SetSSL(std::uint8_t v) { owner_.SetPart(kIn, &TIncomingValues::SSL, v); }
void TIncomingMail::SetPort(int v) { owner_.SetPart(kIn, &TIncomingValues::Port, v); }
void TIncomingMail::SetCertFingerprint(const std::string& v)
{
    owner_.SetPart(kIn, &TIncomingValues::CertFingerprint, v);
}
void TIncomingMail::SetTlsOffered(bool v) { owner_.SetPart(kIn, &TIncomingValues::TlsOffered, v); }

void TIncomingMail::Assign(const TIncomingMail& other)
{
    const TIncomingValues v = other.Values();
    SetServer(v.Server);
    SetUserName(v.UserName);
    SetPassword(v.Password);
    SetSecurePasswordAuthentication(v.SecurePasswordAuthentication);
    SetSSL(v.SSL);
    SetPort(v.Port);
    SetCertFingerprint(v.CertFingerprint);
    SetTlsOffered(v.TlsOffered);
}

// --- TOutgoingMail -----------------------------------------------------------

TOutgoingValues TOutgoingMail::Values() const { return owner_.Get(kOut); }
int TOutgoingMail::Port() const { return owner_.GetPart(kOut, &TOutgoingValues::Port); }
std::string TOutgoingMail::Server() const { return owner_.GetPart(kOut, &TOutgoingValues::Server); }
std::string TOutgoingMail::UserName() const { return owner_.GetPart(kOut, &TOutgoingValues::UserName); }
std::string TOutgoingMail::Password() const { return owner_.GetPart(kOut, &TOutgoingValues::Password); }
std::uint8_t TOutgoingMail::SSL() const { return owner_.GetPart(kOut, &TOutgoingValues::SSL); }
bool TOutgoingMail::LoginRequired() const { return owner_.GetPart(kOut, &TOutgoingValues::LoginRequired); }
bool TOutgoingMail::UseAccountUser() const { return owner_.GetPart(kOut, &TOutgoingValues::UseAccountUser); }
std::string TOutgoingMail::BadMailReply() const { return owner_.GetPart(kOut, &TOutgoingValues::BadMailReply); }
std::vector<std::string> TOutgoingMail::EMailAddresses() const
{
    return owner_.GetPart(kOut, &TOutgoingValues::EMailAddresses);
}
std::string TOutgoingMail::DefaultEMailAddress() const
{
    return owner_.GetPart(kOut, &TOutgoingValues::DefaultEMailAddress);
}
std::string TOutgoingMail::CertFingerprint() const { return owner_.GetPart(kOut, &TOutgoingValues::CertFingerprint); }
bool TOutgoingMail::TlsOffered() const { return owner_.GetPart(kOut, &TOutgoingValues::TlsOffered); }

void TOutgoingMail::SetPort(int v) { owner_.SetPart(kOut, &TOutgoingValues::Port, v); }
void TOutgoingMail::SetServer(const std::string& v) { owner_.SetPart(kOut, &TOutgoingValues::Server, v); }
void TOutgoingMail::SetUserName(const std::string& v) { owner_.SetPart(kOut, &TOutgoingValues::UserName, v); }
void TOutgoingMail::SetPassword(const std::string& v)
{
    owner_.SetPasswordOf(owner_.values_.Outgoing.Password, owner_.keptOutgoingPassword_, v);
}
void TOutgoingMail::SetSSL(std::uint8_t v) { owner_.SetPart(kOut, &TOutgoingValues::SSL, v); }
void TOutgoingMail::SetLoginRequired(bool v) { owner_.SetPart(kOut, &TOutgoingValues::LoginRequired, v); }
void TOutgoingMail::SetUseAccountUser(bool v) { owner_.SetPart(kOut, &TOutgoingValues::UseAccountUser, v); }
void TOutgoingMail::SetBadMailReply(const std::string& v) { owner_.SetPart(kOut, &TOutgoingValues::BadMailReply, v); }
void TOutgoingMail::SetEMailAddresses(const std::vector<std::string>& v)
{
    owner_.SetPart(kOut, &TOutgoingValues::EMailAddresses, v);
}
void TOutgoingMail::SetDefaultEMailAddress(const std::string& v)
{
    owner_.SetPart(kOut, &TOutgoingValues::DefaultEMailAddress, v);
}
void TOutgoingMail::SetCertFingerprint(const std::string& v)
{
    owner_.SetPart(kOut, &TOutgoingValues::CertFingerprint, v);
}
void TOutgoingMail::SetTlsOffered(bool v) { owner_.SetPart(kOut, &TOutgoingValues::TlsOffered, v); }

void TOutgoingMail::Assign(const TOutgoingMail& other)
{
    const TOutgoingValues v = other.Values();
    SetPort(v.Port);
    SetServer(v.Server);
    SetUserName(v.UserName);
    SetPassword(v.Password);
    SetSSL(v.SSL);
    SetLoginRequired(v.LoginRequired);
    SetUseAccountUser(v.UseAccountUser);
    SetBadMailReply(v.BadMailReply);
    SetEMailAddresses(v.EMailAddresses);
    SetDefaultEMailAddress(v.DefaultEMailAddress);
    SetCertFingerprint(v.CertFingerprint);
    SetTlsOffered(v.TlsOffered);
}

std::optional<TBadMailReply> TOutgoingMail::GetReplyTemplate(const TBadMailReplies& replies) const
{
    return replies.FindCopyByID(BadMailReply());
}

std::string TOutgoingMail::FindOwnAddress(const TMailAddressList& first, const TMailAddressList& second) const
{
    const std::vector<std::string> own = EMailAddresses();
    auto isOwn = [&own](const std::string& address) {
        for (const std::string& a : own)
            if (SameTextIgnoringCase(a, address))
                return true;
        return false;
    };
    for (const TMailAddressList* list : {&first, &second})
        for (const TMailAddress& item : *list)
            if (!item.Address.empty() && isOwn(item.Address))
                return item.Address;
    return {};
}

// --- Older binary file --------------------------------------------------------

namespace {

// Guards against a damaged count: more accounts than any file could hold by
// hand; such a count is taken from the sections present instead.
constexpr int kMaxAccounts = 10000;

void ReadLegacyIncoming(TByteReader& r, TIncomingValues& v)
{
    v.Server = ReadLegacyString(r);
    v.UserName = ReadLegacyString(r);
    v.Password = StorableLegacyPassword(ReadLegacyString(r));
    v.SecurePasswordAuthentication = ReadBool(r);
    v.SSL = ReadByte(r);
    const int port = ReadInt32(r);
    if (port >= kMinPort && port <= kMaxPort)
        v.Port = port;
}

void ReadLegacyOutgoing(TByteReader& r, TOutgoingValues& v)
{
    const int port = ReadInt32(r);
    if (port >= kMinPort && port <= kMaxPort)
        v.Port = port;
    v.Server = ReadLegacyString(r);
    v.UserName = ReadLegacyString(r);
    v.Password = StorableLegacyPassword(ReadLegacyString(r));
    v.SSL = ReadByte(r);
    v.LoginRequired = ReadBool(r);
    v.UseAccountUser = ReadBool(r);
    v.BadMailReply = ReadLegacyString(r);
    const int count = ReadInt32(r);
    // Addresses one by one: a damaged count cannot allocate ahead of the data.
    for (int i = 0; i < count; ++i) {
        std::string a = TrimBlanks(ReadLegacyString(r));
        if (!a.empty())
            v.EMailAddresses.push_back(std::move(a));
    }
    v.DefaultEMailAddress = ReadLegacyString(r);
}

// Reads one account into v. Returns false when not even the name is there;
// a record torn later keeps what it held (the rest stays default).
bool ReadLegacyAccount(TByteReader& r, TAccountValues& v, bool& torn)
{
    try {
        v.Name = SafeLoadedName(ReadLegacyString(r));
    } catch (const TStreamError&) {
        torn = true;
        return false;
    }
    try {
        ReadLegacyIncoming(r, v.Incoming);
        ReadLegacyOutgoing(r, v.Outgoing);
        const int days = ReadInt32(r);
        if (days >= kMinQuarantineDays && days <= kMaxQuarantineDays)
            v.QuarantineDays = days;
        v.KeysInMessages = ReadBool(r);
        v.InDefaultCheck = ReadBool(r);
    } catch (const TStreamError&) {
        torn = true;
    }
    return true;
}

// The accounts of an older binary file, or nullopt when its count cannot be
// read (nothing usable).
std::optional<std::vector<TAccountValues>> ReadLegacyAccounts(std::string_view bytes, const TOptions& options)
{
    TByteReader r(bytes);
    ReadVersion(r);
    int count = 0;
    try {
        ReadLegacyString(r); // a name nobody reads
        count = ReadInt32(r);
    } catch (const TStreamError&) {
        return std::nullopt;
    }
    std::vector<TAccountValues> accounts;
    bool torn = false;
    for (int i = 0; i < count && !torn; ++i) {
        TAccountValues v = DefaultAccountValues(options);
        if (ReadLegacyAccount(r, v, torn))
            accounts.push_back(std::move(v));
    }
    if (torn)
        WriteTrace({"Accounts", "legacy accounts file ends early; kept what it held"}, kTraceEvent);
    return accounts;
}

// The highest n of the sections "Account<n>" present.
int HighestAccountSection(const TIniFile& ini)
{
    int highest = 0;
    for (const std::string& s : ini.ReadSections()) {
        if (s.size() <= 7 || !SameTextIgnoringCase(s.substr(0, 7), "Account"))
            continue;
        const std::string digits = s.substr(7);
        if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        highest = std::max(highest, std::stoi(digits));
    }
    return std::min(highest, kMaxAccounts);
}

std::string AccountSection(std::size_t index)
{
    return "Account" + std::to_string(index + 1);
}

} // namespace

void WriteAccountsIni(TIniFile& ini, const std::vector<TAccountPtr>& accounts)
{
    // The file is rewritten whole: sections of removed accounts must vanish.
    for (const std::string& s : ini.ReadSections())
        ini.EraseSection(s);
    ini.WriteInteger("General", "Accounts", static_cast<int>(accounts.size()));
    for (std::size_t i = 0; i < accounts.size(); ++i)
        accounts[i]->WriteTo(ini, AccountSection(i));
}

// --- TAccountList ------------------------------------------------------------

TAccountList::TAccountList(const TOptions& options) : options_(options) {}

TAccountList::~TAccountList()
{
    for (const TAccountPtr& a : items_)
        a->SetOwner(nullptr);
}

std::filesystem::path TAccountList::DefaultFileName()
{
    return GetDataFolder() / "accounts.ini";
}

void TAccountList::LoadFromFile(const std::filesystem::path& fileName)
{
    std::lock_guard fileLock(fileMutex_);
    {
        std::lock_guard lock(modifiedMutex_);
        loadErrors_.clear();
    }
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    const std::filesystem::path legacy = LegacyFileName(file);
    std::error_code ec;
    if (std::filesystem::exists(legacy, ec) && ConvertLegacy(legacy, file))
        return;
    if (!std::filesystem::exists(file, ec)) {
        Clear();
        SetModified(false);
        return;
    }
    const TIniFile ini(file);
    int count = ini.ReadInteger("General", "Accounts", 0);
    if (count < 0 || count > kMaxAccounts)
        count = HighestAccountSection(ini);
    std::vector<TAccountPtr> accounts;
    std::vector<TAccountLoadError> errors;
    for (int i = 0; i < count; ++i) {
        auto account = std::make_shared<TAccount>(ini, AccountSection(static_cast<std::size_t>(i)), options_);
        for (std::string& message : account->LoadErrors())
            errors.push_back({account->Name(), std::move(message)});
        accounts.push_back(std::move(account));
    }
    {
        std::lock_guard lock(modifiedMutex_);
        loadErrors_ = std::move(errors);
    }
    AppendLoaded(std::move(accounts));
}

bool TAccountList::ConvertLegacy(const std::filesystem::path& legacy, const std::filesystem::path& file)
{
    std::string bytes;
    std::optional<std::vector<TAccountValues>> values;
    if (ReadWholeFile(legacy, bytes))
        values = ReadLegacyAccounts(bytes, options_);
    if (!values) {
        WriteTrace({"Accounts", "legacy accounts file holds nothing; left in place", legacy.string()}, kTraceEvent);
        return false;
    }
    std::vector<TAccountPtr> accounts;
    for (const TAccountValues& v : *values) {
        auto a = std::make_shared<TAccount>(options_);
        a->SetValues(v);
        accounts.push_back(std::move(a));
    }
    TIniFile ini(file);
    WriteAccountsIni(ini, accounts);
    ini.UpdateFile();
    std::error_code ec;
    std::filesystem::remove(legacy, ec);
    if (ec)
        WriteTrace({"Accounts", "cannot delete", legacy.string(), ec.message()}, kTraceEvent);
    AppendLoaded(std::move(accounts));
    return true;
}

void TAccountList::AppendLoaded(std::vector<TAccountPtr> accounts)
{
    {
        std::unique_lock lock(mutex_);
        for (TAccountPtr& a : accounts) {
            a->SetOwner(this);
            items_.push_back(std::move(a));
        }
    }
    SetModified(false);
}

void TAccountList::SaveToFile(const std::filesystem::path& fileName)
{
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    std::lock_guard fileLock(fileMutex_);
    const std::uint64_t before = Generation();
    TIniFile ini(file);
    WriteAccountsIni(ini, Items());
    ini.UpdateFile();
    std::lock_guard lock(modifiedMutex_);
    // A change made while the file was written may not be in it: keep it marked.
    if (generation_ == before)
        modified_ = false;
}

int TAccountList::Count() const
{
    std::shared_lock lock(mutex_);
    return static_cast<int>(items_.size());
}

TAccountPtr TAccountList::Item(int index) const
{
    std::shared_lock lock(mutex_);
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
        return nullptr;
    return items_[static_cast<std::size_t>(index)];
}

std::vector<TAccountPtr> TAccountList::Items() const
{
    std::shared_lock lock(mutex_);
    return items_;
}

TAccountPtr TAccountList::Add(TAccountPtr account)
{
    {
        std::unique_lock lock(mutex_);
        std::unique_lock accountLock(account->mutex_);
        if (account->owner_)
            throw std::logic_error("account already belongs to a list");
        account->owner_ = this;
        items_.push_back(account);
    }
    MarkModified();
    return account;
}

void TAccountList::Delete(int index)
{
    TAccountPtr removed;
    {
        std::unique_lock lock(mutex_);
        if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
            return;
        removed = items_[static_cast<std::size_t>(index)];
        items_.erase(items_.begin() + index);
        removed->SetOwner(nullptr);
    }
    MarkModified();
}

void TAccountList::Clear()
{
    {
        std::unique_lock lock(mutex_);
        for (const TAccountPtr& a : items_)
            a->SetOwner(nullptr);
        items_.clear();
    }
    MarkModified();
}

TAccountPtr TAccountList::FindByName(const std::string& name) const
{
    std::shared_lock lock(mutex_);
    for (const TAccountPtr& a : items_)
        if (a->Name() == name)
            return a;
    return nullptr;
}

std::vector<TAccountLoadError> TAccountList::LoadErrors() const
{
    std::lock_guard lock(modifiedMutex_);
    return loadErrors_;
}

bool TAccountList::Modified() const
{
    std::lock_guard lock(modifiedMutex_);
    return modified_;
}

void TAccountList::SetModified(bool modified)
{
    std::lock_guard lock(modifiedMutex_);
    modified_ = modified;
    ++generation_;
}

void TAccountList::MarkModified()
{
    SetModified(true);
}

std::uint64_t TAccountList::Generation() const
{
    std::lock_guard lock(modifiedMutex_);
    return generation_;
}

int QuarantineDaysFor(const std::string& accountName, const TOptions& options, const TAccountList& accounts)
{
    if (options.UseIndividualAccountSettings())
        if (const TAccountPtr a = accounts.FindByName(accountName))
            return a->QuarantineDays();
    return options.QuarantineDays();
}

bool ApplyGlobalQuarantineSettings(TAccountList& accounts, const TOptions& options)
{
    if (options.UseIndividualAccountSettings())
        return false;
    bool changed = false;
    for (const TAccountPtr& a : accounts.Items()) {
        const TAccountValues before = a->Snapshot();
        a->SetQuarantineDays(options.QuarantineDays());
        a->SetKeysInMessages(options.KeysInMessages());
        changed = changed || a->Snapshot() != before;
    }
    return changed;
}

TAccountList& Accounts()
{
    static TAccountList accounts(Options());
    return accounts;
}

} // namespace bm
