#include "config/optionsU.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <system_error>

#include "config/configfileU.h"
#include "config/legacyreadU.h"
#include "core/commonsU.h"
#include "core/loggerU.h"
#include "core/pwdcrypt.h"
#include "core/streamU.h"
#include "platform/atomicfile.h"
#include "platform/inifile.h"
#include "platform/shellU.h"

namespace bm {

namespace {

constexpr int kMaxPort = 65535;

// Ranges outside which a stored number is taken as damage; the dialog keeps
// the user inside them, so only a hand-edited or corrupted file breaks them.
struct TRange {
    int Low;
    int High;
    bool Holds(int v) const { return v >= Low && v <= High; }
};
constexpr TRange kQuarantineDaysRange{1, 3650};
constexpr TRange kAutoIntervalRange{1, 1440};
constexpr TRange kConnectRange{0, 2};
constexpr TRange kPortRange{0, kMaxPort};
constexpr TRange kDelayRange{0, 3600};

int ReadRanged(const TIniFile& ini, const char* section, const char* key, int current, TRange range)
{
    return ReadIntegerInRange(ini, section, key, current, range.Low, range.High);
}

void ReadProxyIni(const TIniFile& ini, const std::filesystem::path& file, TProxyValues& p)
{
    p.UseProxy = ini.ReadBool("Proxy", "Use", p.UseProxy);
    p.Address = ini.ReadString("Proxy", "Address", p.Address);
    p.Port = ReadRanged(ini, "Proxy", "Port", p.Port, kPortRange);
    p.Logon = ini.ReadBool("Proxy", "Logon", p.Logon);
    p.Username = ini.ReadString("Proxy", "Username", p.Username);
    if (ini.ValueExists("Proxy", "Password"))
        p.Password = DecryptStoredPassword(file, ini.ReadString("Proxy", "Password", ""));
}

// Every key, each with the current value as its default (the two attachment
// options default to false).
void ReadOptionsIni(const TIniFile& ini, const std::filesystem::path& file, TOptionsValues& v)
{
    v.QuarantineDays = ReadRanged(ini, "Quarantine", "QuarantineDays", v.QuarantineDays, kQuarantineDaysRange);
    v.PlaySound = ini.ReadBool("Sound", "Play", v.PlaySound);
    v.SoundFile = ini.ReadString("Sound", "Mail", v.SoundFile);
    v.AutoCheck = ini.ReadBool("MailCheck", "Auto", v.AutoCheck);
    v.AutoInterval = ReadRanged(ini, "MailCheck", "AutoInterval", v.AutoInterval, kAutoIntervalRange);
    v.MinimizeOnStartup = ini.ReadBool("Startup", "Minimize", v.MinimizeOnStartup);
    v.CheckOnStartup = ini.ReadBool("Startup", "MailCheck", v.CheckOnStartup);
    v.Connect = ReadRanged(ini, "MailCheck", "Connect", v.Connect, kConnectRange);
    ReadProxyIni(ini, file, v.Proxy);
    v.POP3Port = ReadRanged(ini, "Server.POP3", "PortNormal", v.POP3Port, kPortRange);
    v.SMTPPort = ReadRanged(ini, "Server.SMTP", "PortNormal", v.SMTPPort, kPortRange);
    v.AutoReplyToRequests = ini.ReadBool("Automation", "AutoReplyToRequests", v.AutoReplyToRequests);
    v.WhitelistRecipients = ini.ReadBool("Automation", "WhitelistRecipients", v.WhitelistRecipients);
    v.POP3PortSSL = ReadRanged(ini, "Server.POP3", "PortSSL", v.POP3PortSSL, kPortRange);
    v.SMTPPortSSL = ReadRanged(ini, "Server.SMTP", "PortSSL", v.SMTPPortSSL, kPortRange);
    v.KeysInMessages = ini.ReadBool("Options", "KeysInMessages", v.KeysInMessages);
    v.UseIndividualAccountSettings =
        ini.ReadBool("Options", "UseIndividualAccountSettings", v.UseIndividualAccountSettings);
    v.BlackListCleanedQuarantine =
        ini.ReadBool("Automation", "BlackListCleanedQuarantine", v.BlackListCleanedQuarantine);
    v.SendQuarantineMessage = ini.ReadBool("Options", "SendQuarantineMessage", v.SendQuarantineMessage);
    v.DelayBetweenAccounts = ReadRanged(ini, "Options", "DelayBetweenAccounts", v.DelayBetweenAccounts, kDelayRange);
    v.ShowAttachmentsInInbox = ini.ReadBool("Attachments", "ShowInInbox", false);
    v.ShowAttachmentsInQuarantine = ini.ReadBool("Attachments", "ShowInQuarantine", false);
    v.ListenAddress = NormalizeListenAddress(ini.ReadString("Server", "ListenAddress", v.ListenAddress));
    v.ChallengeAutomaticMail = ini.ReadBool("Options", "ChallengeAutomaticMail", v.ChallengeAutomaticMail);
    v.TrustRepliesToSentMail = ini.ReadBool("Options", "TrustRepliesToSentMail", v.TrustRepliesToSentMail);
}

// The keys in the order older versions wrote them; ListenAddress, which they
// did not know, comes after them in a section of its own, and the keys newer
// still after that, so a file of an older version only grows at its end.
void WriteOptionsIni(const std::filesystem::path& file, const TOptionsValues& v)
{
    const std::string password = EncryptPassword(v.Proxy.Password);
    TIniFile ini(file);
    ini.WriteInteger("Quarantine", "QuarantineDays", v.QuarantineDays);
    ini.WriteBool("Sound", "Play", v.PlaySound);
    ini.WriteString("Sound", "Mail", v.SoundFile);
    ini.WriteBool("MailCheck", "Auto", v.AutoCheck);
    ini.WriteInteger("MailCheck", "AutoInterval", v.AutoInterval);
    ini.WriteBool("Startup", "Minimize", v.MinimizeOnStartup);
    ini.WriteBool("Startup", "MailCheck", v.CheckOnStartup);
    ini.WriteInteger("MailCheck", "Connect", v.Connect);
    ini.WriteBool("Proxy", "Use", v.Proxy.UseProxy);
    ini.WriteString("Proxy", "Address", v.Proxy.Address);
    ini.WriteInteger("Proxy", "Port", v.Proxy.Port);
    ini.WriteBool("Proxy", "Logon", v.Proxy.Logon);
    ini.WriteString("Proxy", "Username", v.Proxy.Username);
    ini.WriteString("Proxy", "Password", password);
    ini.WriteInteger("Server.POP3", "PortNormal", v.POP3Port);
    ini.WriteInteger("Server.SMTP", "PortNormal", v.SMTPPort);
    ini.WriteBool("Automation", "AutoReplyToRequests", v.AutoReplyToRequests);
    ini.WriteBool("Automation", "WhitelistRecipients", v.WhitelistRecipients);
    ini.WriteInteger("Server.POP3", "PortSSL", v.POP3PortSSL);
    ini.WriteInteger("Server.SMTP", "PortSSL", v.SMTPPortSSL);
    ini.WriteBool("Options", "KeysInMessages", v.KeysInMessages);
    ini.WriteBool("Options", "UseIndividualAccountSettings", v.UseIndividualAccountSettings);
    ini.WriteBool("Automation", "BlackListCleanedQuarantine", v.BlackListCleanedQuarantine);
    ini.WriteBool("Options", "SendQuarantineMessage", v.SendQuarantineMessage);
    ini.WriteInteger("Options", "DelayBetweenAccounts", v.DelayBetweenAccounts);
    ini.WriteBool("Attachments", "ShowInInbox", v.ShowAttachmentsInInbox);
    ini.WriteBool("Attachments", "ShowInQuarantine", v.ShowAttachmentsInQuarantine);
    ini.WriteString("Server", "ListenAddress", v.ListenAddress);
    ini.WriteBool("Options", "ChallengeAutomaticMail", v.ChallengeAutomaticMail);
    ini.WriteBool("Options", "TrustRepliesToSentMail", v.TrustRepliesToSentMail);
    ini.UpdateFile();
}

// Reads the fields of the older binary file in order and counts them, so that
// a file cut short keeps what it held and the caller can tell an empty one.
class TLegacyFields {
public:
    explicit TLegacyFields(std::string_view bytes) : reader_(bytes) {}
    TByteReader& Reader() { return reader_; }
    int Count() const { return count_; }
    void ResetCount() { count_ = 0; }

    std::string Str()
    {
        std::string v = ReadLegacyString(reader_);
        ++count_;
        return v;
    }
    int Int(int current, TRange range)
    {
        const int v = ReadInt32(reader_);
        ++count_;
        return range.Holds(v) ? v : current;
    }
    bool Bool()
    {
        const bool v = ReadBool(reader_);
        ++count_;
        return v;
    }

private:
    TByteReader reader_;
    int count_ = 0;
};

void ReadLegacyProxy(TLegacyFields& f, TProxyValues& p)
{
    p.UseProxy = f.Bool();
    p.Address = f.Str();
    p.Port = f.Int(p.Port, kPortRange);
    p.Logon = f.Bool();
    p.Username = f.Str();
    p.Password = StorableLegacyPassword(f.Str()); // plain text in this format
}

void ReadLegacyBase(TLegacyFields& f, TOptionsValues& v)
{
    f.Str(); // a name nobody reads
    f.ResetCount();
    v.QuarantineDays = f.Int(v.QuarantineDays, kQuarantineDaysRange);
    v.PlaySound = f.Bool();
    v.SoundFile = f.Str();
    v.AutoCheck = f.Bool();
    v.AutoInterval = f.Int(v.AutoInterval, kAutoIntervalRange);
    v.MinimizeOnStartup = f.Bool();
    v.CheckOnStartup = f.Bool();
    v.Connect = f.Int(v.Connect, kConnectRange);
    ReadLegacyProxy(f, v.Proxy);
    v.POP3Port = f.Int(v.POP3Port, kPortRange);
    v.SMTPPort = f.Int(v.SMTPPort, kPortRange);
    v.AutoReplyToRequests = f.Bool();
    v.WhitelistRecipients = f.Bool();
}

void ReadLegacyVersioned(TLegacyFields& f, const std::string& version, TOptionsValues& v, bool& sslRead)
{
    if (CompareVersions(version, "1.0") <= 0)
        return;
    v.POP3PortSSL = f.Int(v.POP3PortSSL, kPortRange);
    v.SMTPPortSSL = f.Int(v.SMTPPortSSL, kPortRange);
    sslRead = true;
    v.KeysInMessages = f.Bool();
    if (CompareVersions(version, "1.01") > 0)
        v.UseIndividualAccountSettings = f.Bool();
    if (CompareVersions(version, "1.02") > 0)
        v.BlackListCleanedQuarantine = f.Bool();
    if (CompareVersions(version, "1.03") > 0)
        v.SendQuarantineMessage = f.Bool();
    if (CompareVersions(version, "1.04") > 0)
        v.DelayBetweenAccounts = f.Int(v.DelayBetweenAccounts, kDelayRange);
}

// The TLS port an older version implied: the plain port's neighbour. A port
// not chosen yet (0) implies none.
int ImpliedSslPort(int port)
{
    return (port > 0 && port < kMaxPort) ? port + 1 : 0;
}

// Reads the older binary file into v; returns the number of values read
// (0: the file held nothing usable). Reads up to the end and never past it.
int ReadLegacyOptions(std::string_view bytes, TOptionsValues& v)
{
    TLegacyFields f(bytes);
    const std::string version = ReadVersion(f.Reader());
    // What a version without these fields implies for them.
    v.KeysInMessages = true;
    v.UseIndividualAccountSettings = false;
    v.BlackListCleanedQuarantine = true;
    v.SendQuarantineMessage = true;
    v.DelayBetweenAccounts = 0;
    bool sslRead = false;
    try {
        ReadLegacyBase(f, v);
        ReadLegacyVersioned(f, version, v, sslRead);
    } catch (const TStreamError&) {
        WriteTrace({"Options", "legacy options file ends early; kept what it held"}, kTraceEvent);
    }
    if (!sslRead) {
        v.POP3PortSSL = ImpliedSslPort(v.POP3Port);
        v.SMTPPortSSL = ImpliedSslPort(v.SMTPPort);
    }
    return f.Count();
}

// Reads the .dat, writes the INI file from it and deletes the .dat. Returns
// false, changing nothing, when the .dat holds no value.
bool ConvertLegacy(const std::filesystem::path& legacy, const std::filesystem::path& file, TOptionsValues& v)
{
    std::string bytes;
    if (!ReadWholeFile(legacy, bytes)) {
        WriteTrace({"Options", "cannot read", legacy.string()}, kTraceEvent);
        return false;
    }
    TOptionsValues read = v;
    if (ReadLegacyOptions(bytes, read) == 0) {
        WriteTrace({"Options", "legacy options file holds nothing; left in place", legacy.string()}, kTraceEvent);
        return false;
    }
    WriteOptionsIni(file, read);
    std::error_code ec;
    std::filesystem::remove(legacy, ec);
    if (ec)
        WriteTrace({"Options", "cannot delete", legacy.string(), ec.message()}, kTraceEvent);
    v = read;
    return true;
}

} // namespace

std::string NormalizeListenAddress(const std::string& text)
{
    std::string t = text;
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
    if (t == "any")
        return "0.0.0.0";
    in_addr addr{};
    if (inet_pton(AF_INET, t.c_str(), &addr) != 1)
        return "127.0.0.1";
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, buf, sizeof buf);
    return buf;
}

std::string DefaultSoundFile()
{
    return (GetProgramFolder() / "newmail.wav").string();
}

TOptions::TOptions()
{
    values_.SoundFile = DefaultSoundFile();
}

std::filesystem::path TOptions::DefaultFileName()
{
    return GetDataFolder() / "options.ini";
}

TOptionsValues TOptions::Snapshot() const
{
    std::shared_lock lock(mutex_);
    return values_;
}

void TOptions::SetValues(const TOptionsValues& values)
{
    TOptionsValues v = values;
    v.ListenAddress = NormalizeListenAddress(v.ListenAddress);
    std::unique_lock lock(mutex_);
    if (values_ == v)
        return;
    values_ = std::move(v);
    modified_.store(true);
}

void TOptions::LoadFromFile(const std::filesystem::path& fileName)
{
    std::lock_guard fileLock(fileMutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    const std::filesystem::path legacy = LegacyFileName(file);
    TOptionsValues v = Snapshot();
    std::error_code ec;
    const bool converted = std::filesystem::exists(legacy, ec) && ConvertLegacy(legacy, file, v);
    if (!converted && std::filesystem::exists(file, ec)) {
        const TIniFile ini(file);
        ReadOptionsIni(ini, file, v);
    }
    std::unique_lock lock(mutex_);
    values_ = std::move(v);
    modified_.store(false);
}

void TOptions::SaveToFile(const std::filesystem::path& fileName)
{
    std::lock_guard fileLock(fileMutex_);
    const std::filesystem::path file = fileName.empty() ? DefaultFileName() : fileName;
    const TOptionsValues v = Snapshot();
    WriteOptionsIni(file, v);
    std::unique_lock lock(mutex_);
    // A change made while the file was written is not in it: keep it marked.
    if (values_ == v)
        modified_.store(false);
}

// --- Start with the system ---------------------------------------------------

namespace {

// The program file as one quoted Exec argument: inside the quotes ", `, $ and
// \ take a backslash, % is doubled (field codes), and then the value's own
// string escapes apply (freedesktop.org desktop entry format, "The Exec key").
std::string QuotedExecValue(const std::string& program)
{
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\r': value += "\\r"; break;
        case '\t': value += "\\t"; break;
        default: value += c;
        }
    }
    return value;
}

// The first Exec line of the entry, or nullopt when there is none.
std::optional<std::string> ReadExecLine(const std::string& text)
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.starts_with("Exec="))
            return line;
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace

std::filesystem::path TOptions::AutostartEntryFile()
{
    return GetXdgConfigHome() / "autostart" / (GetProductName() + ".desktop");
}

std::string TOptions::AutostartEntryText(const std::filesystem::path& programFile)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" + GetProductName() + "\n"
           "Exec=" + QuotedExecValue(programFile.string()) + "\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool TOptions::StartWithWindows() const
{
    const std::filesystem::path program = GetProgramFile();
    std::string text;
    if (program.empty() || !ReadWholeFile(AutostartEntryFile(), text))
        return false;
    const std::optional<std::string> exec = ReadExecLine(text);
    // Case-sensitive, whole-value comparison: an entry for another copy of
    // the program is not ours.
    return exec && *exec == "Exec=" + QuotedExecValue(program.string());
}

void TOptions::SetStartWithWindows(bool on)
{
    if (on == StartWithWindows())
        return;
    const std::filesystem::path entry = AutostartEntryFile();
    const std::filesystem::path program = GetProgramFile();
    try {
        if (on && program.empty()) {
            WriteTrace({"Options", "program file unknown; no autostart entry written"}, kTraceEvent);
        } else if (on) {
            WriteFileAtomic(entry, AutostartEntryText(program));
        } else {
            std::error_code ec;
            std::filesystem::remove(entry, ec);
            if (ec)
                WriteTrace({"Options", "cannot remove", entry.string(), ec.message()}, kTraceEvent);
        }
    } catch (const std::exception& e) {
        WriteTrace({"Options", "cannot write autostart entry", e.what()}, kTraceEvent);
    }
    std::unique_lock lock(mutex_);
    modified_.store(true);
}

TOptions& Options()
{
    static TOptions options;
    return options;
}

// --- Proxy -------------------------------------------------------------------

bool TProxySettings::UseProxy() const { return owner_.GetProxy(&TProxyValues::UseProxy); }
std::string TProxySettings::Address() const { return owner_.GetProxy(&TProxyValues::Address); }
int TProxySettings::Port() const { return owner_.GetProxy(&TProxyValues::Port); }
bool TProxySettings::Logon() const { return owner_.GetProxy(&TProxyValues::Logon); }
std::string TProxySettings::Username() const { return owner_.GetProxy(&TProxyValues::Username); }
std::string TProxySettings::Password() const { return owner_.GetProxy(&TProxyValues::Password); }
TProxyValues TProxySettings::Values() const { return owner_.Snapshot().Proxy; }

void TProxySettings::SetUseProxy(bool value) { owner_.SetProxy(&TProxyValues::UseProxy, value); }
void TProxySettings::SetAddress(const std::string& value) { owner_.SetProxy(&TProxyValues::Address, value); }
void TProxySettings::SetPort(int value) { owner_.SetProxy(&TProxyValues::Port, value); }
void TProxySettings::SetLogon(bool value) { owner_.SetProxy(&TProxyValues::Logon, value); }
void TProxySettings::SetUsername(const std::string& value) { owner_.SetProxy(&TProxyValues::Username, value); }
void TProxySettings::SetPassword(const std::string& value) { owner_.SetProxy(&TProxyValues::Password, value); }

} // namespace bm
