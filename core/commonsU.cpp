#include "core/commonsU.h"

#include "core/mailmsgimpl.h"

#include "platform/privatefiles.h"
#include "platform/registry.h"
#include "platform/shellU.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <system_error>

#ifndef BRIXMOOR_PRODUCT_NAME
#error "BRIXMOOR_PRODUCT_NAME comes from the build (CMakeLists.txt)"
#endif

namespace bm {

namespace {

const char* const kShellFoldersKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char* const kEudoraKey = "Software\\Qualcomm\\Eudora";

// A shell folder value of the registry stand-in; empty when the key cannot be
// opened or the value is missing.
std::string ShellFolder(const std::string& name, bool& keyOpened)
{
    try {
        keyOpened = RegKeyExists(THive::CurrentUser, kShellFoldersKey);
        if (!keyOpened)
            return {};
        return RegReadString(THive::CurrentUser, kShellFoldersKey, name).value_or("");
    } catch (const std::exception&) {
        // A registry that cannot be read is not an error: the caller falls back.
        keyOpened = false;
        return {};
    }
}

} // namespace

const std::string& GetProductName()
{
    static const std::string name = BRIXMOOR_PRODUCT_NAME;
    return name;
}

const std::string& GetProductVersion()
{
    static const std::string version = BRIXMOOR_PRODUCT_VERSION;
    return version;
}

const std::string& GetFileVersion()
{
    static const std::string version = BRIXMOOR_FILE_VERSION;
    return version;
}

std::string GetProductTitle()
{
    return GetProductName() + " " + GetProductVersion();
}

std::string MakeProductFolderName(std::string_view name, std::string_view version)
{
    std::string folder(name);
    folder += ' ';
    const std::size_t dot = version.find('.');
    if (dot != std::string_view::npos)
        folder.append(version.substr(0, dot + 1));
    folder += '0';
    return folder;
}

std::string GetProductFolderName()
{
    return MakeProductFolderName(GetProductName(), GetProductVersion());
}

std::filesystem::path GetDataFolder()
{
    bool keyOpened = false;
    const std::string base = ShellFolder("Local AppData", keyOpened);
    std::filesystem::path folder;
    if (!base.empty())
        folder = std::filesystem::path(base) / "Veldhaven" / GetProductFolderName();
    else
        folder = GetProgramFolder() / GetUserName();
    // A folder that cannot be created shows at the first file operation in it.
    std::error_code ignored;
    CreatePrivateFolders(folder, ignored);
    return folder;
}

std::filesystem::path GetDocumentsFolder()
{
    bool keyOpened = false;
    const std::string personal = ShellFolder("Personal", keyOpened);
    if (keyOpened && !personal.empty())
        return std::filesystem::path(personal);
    return GetProgramFolder().root_path();
}

namespace {

// Descends from key through single subkeys, collecting the names passed.
void DescendSingleSubkeys(std::string key, std::vector<std::string>& names)
{
    for (int depth = 0; depth < 64; ++depth) {   // a cycle cannot occur; the bound guards a huge tree
        const std::vector<std::string> subkeys = RegListSubkeys(THive::CurrentUser, key);
        if (subkeys.size() != 1)
            return;
        names.push_back(subkeys.front());
        key += "\\" + subkeys.front();
    }
}

// The subkey names spell a folder path, one name per component (the first may
// itself start with "/").
std::filesystem::path FolderFromNames(const std::vector<std::string>& names)
{
    std::filesystem::path folder("/");
    for (const std::string& name : names)
        folder /= std::filesystem::path(name).relative_path();
    return folder;
}

} // namespace

std::filesystem::path FindEudoraIni()
{
    try {
        for (const std::string& sub : RegListSubkeys(THive::CurrentUser, kEudoraKey)) {
            std::vector<std::string> names{sub};
            DescendSingleSubkeys(std::string(kEudoraKey) + "\\" + sub, names);
            const std::filesystem::path folder = FolderFromNames(names);
            std::error_code ec;
            if (std::filesystem::is_directory(folder, ec) && std::filesystem::is_regular_file(folder / "Eudora.ini", ec))
                return folder / "Eudora.ini";
        }
    } catch (const std::exception&) {
        // An unreadable registry means no Eudora found.
    }
    return {};
}

std::string MD5Hex(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1)
        throw std::runtime_error("MD5 digest failed");
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0F]);
    }
    return hex;
}

std::string FormatSize(std::int32_t bytes)
{
    char buf[48];
    if (bytes <= 1048576)
        std::snprintf(buf, sizeof buf, "%.2fkb", bytes / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%.2fMb", bytes / 1048576.0);
    return buf;
}

std::string PluralS(std::int64_t n)
{
    return n == 1 ? "" : "s";
}

namespace {

std::string CountPhrase(long long n, const char* unit)
{
    return std::to_string(n) + " " + unit + PluralS(n);
}

} // namespace

std::string FormatElapsed(double days)
{
    // Whole minutes of the span, read to the millisecond so that a span of
    // exactly one minute is not 59.999... seconds.
    if (!(days > 0))
        return "within the minute";
    const double ms = std::min(days, 1.0e7) * 86400000.0;
    const long long minutes = std::llround(ms) / 60000;
    const long long hours = minutes / 60;
    if (minutes < 1)
        return "within the minute";
    if (hours < 1)
        return CountPhrase(minutes, "minute") + " ago";
    if (hours <= 22)
        return CountPhrase(hours, "hour") + ", " + CountPhrase(minutes % 60, "minute") + " ago";
    const long long wholeDays = hours / 24;
    if (wholeDays <= 30)
        return CountPhrase(wholeDays, "day") + ", " + CountPhrase(hours % 24, "hour");
    return CountPhrase(wholeDays / 30, "month") + ", " + CountPhrase(wholeDays % 30, "day");
}

std::string MakeSafeFileName(std::string_view text)
{
    static constexpr std::string_view kUnsafe = "\\/:*?\"<>|";
    std::string safe(text);
    for (char& c : safe) {
        if (kUnsafe.find(c) != std::string_view::npos)
            c = '_';
    }
    return safe;
}

int ExtractTokens(std::string_view text, std::string_view delimiters, bool keepEmpty,
                  std::vector<std::string>& tokens)
{
    tokens.clear();
    if (text.empty() || delimiters.empty())
        return 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && delimiters.find(text[i]) == std::string_view::npos)
            continue;
        if (i > start || keepEmpty)
            tokens.emplace_back(text.substr(start, i - start));
        start = i + 1;
    }
    return static_cast<int>(tokens.size());
}

namespace {

// Byte offsets of the characters of a UTF-8 text (a stray byte counts as one
// character), plus the text's size at the end.
std::vector<std::size_t> CharacterStarts(std::string_view text)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) != 0x80 || starts.empty())
            starts.push_back(i);
    }
    starts.push_back(text.size());
    return starts;
}

// The character index to break before, by the rule of the header.
std::size_t WrapBreak(std::string_view text, const std::vector<std::size_t>& at, std::size_t margin)
{
    const std::size_t n = at.size() - 1;
    auto isSpace = [&](std::size_t c) { return text[at[c]] == ' '; };
    std::size_t i = margin - 1;   // the margin position, 1-based
    while (i < n && !isSpace(i))
        ++i;
    while (i > 0 && isSpace(i - 1))
        --i;
    if (i <= margin)
        return i;
    std::size_t j = i;   // back to the previous space and over the run it ends
    while (j > 0 && !isSpace(j - 1))
        --j;
    if (j == 0)
        return margin;
    --j;
    while (j > 0 && isSpace(j - 1))
        --j;
    return j;
}

} // namespace

TWrappedText WordWrap(std::string_view text, int margin)
{
    const std::size_t m = margin < 1 ? 1 : static_cast<std::size_t>(margin);
    const std::vector<std::size_t> at = CharacterStarts(text);
    if (at.size() - 1 <= m)
        return {std::string(text), {}};
    const std::size_t cut = at[WrapBreak(text, at, m)];
    std::string_view rest = text.substr(cut);
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    return {std::string(text.substr(0, cut)), std::string(rest)};
}

bool IsValidUtf8Text(std::string_view text)
{
    return mailimpl::IsValidUtf8(text);
}

std::string TextToUtf8(std::string_view text)
{
    return mailimpl::EnsureUtf8(text);
}

} // namespace bm
