#include "platform/shellU.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bm {

namespace {

std::string EnvValue(const char* name)
{
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// XDG base directory rule: a relative path in the variable is invalid and ignored.
std::filesystem::path AbsoluteEnvPath(const char* name)
{
    std::filesystem::path p = EnvValue(name);
    return p.is_absolute() ? p : std::filesystem::path();
}

const passwd* OwnPasswdEntry(std::vector<char>& buf, passwd& entry)
{
    passwd* result = nullptr;
    buf.resize(16384);
    if (getpwuid_r(getuid(), &entry, buf.data(), buf.size(), &result) != 0)
        return nullptr;
    return result;
}

// One line of user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Documents". Gives the
// folder, or empty when the line is not that key or not in the quoted form
// that xdg-user-dirs-update writes.
std::filesystem::path ParseUserDirsLine(const std::string& line, const std::filesystem::path& home)
{
    static const std::string key = "XDG_DOCUMENTS_DIR=";
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0)
        return {};
    std::string rest = line.substr(start + key.size());
    if (rest.size() < 2 || rest.front() != '"')
        return {};
    std::string value;
    for (std::size_t i = 1; i < rest.size() && rest[i] != '"'; ++i) {
        if (rest[i] == '\\' && i + 1 < rest.size())
            ++i;
        value += rest[i];
    }
    if (value.rfind("$HOME", 0) == 0) {
        std::string tail = value.substr(5);
        if (!tail.empty() && tail.front() != '/')
            return {};
        return tail.empty() ? home : home / tail.substr(1);
    }
    std::filesystem::path p = value;
    return p.is_absolute() ? p : std::filesystem::path();
}

} // namespace

std::filesystem::path GetProgramFile()
{
    std::error_code ec;
    std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : p;
}

std::filesystem::path GetProgramFolder()
{
    return GetProgramFile().parent_path();
}

std::string GetUserName()
{
    std::vector<char> buf;
    passwd entry {};
    if (const passwd* pw = OwnPasswdEntry(buf, entry); pw && pw->pw_name && *pw->pw_name)
        return pw->pw_name;
    std::string user = EnvValue("USER");
    return user.empty() ? std::to_string(getuid()) : user;
}

std::string GetHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

std::filesystem::path GetHomeFolder()
{
    std::filesystem::path home = AbsoluteEnvPath("HOME");
    if (!home.empty())
        return home;
    std::vector<char> buf;
    passwd entry {};
    const passwd* pw = OwnPasswdEntry(buf, entry);
    return pw && pw->pw_dir ? std::filesystem::path(pw->pw_dir) : std::filesystem::path("/");
}

std::filesystem::path GetXdgDataHome()
{
    std::filesystem::path p = AbsoluteEnvPath("XDG_DATA_HOME");
    return p.empty() ? GetHomeFolder() / ".local" / "share" : p;
}

std::filesystem::path GetXdgConfigHome()
{
    std::filesystem::path p = AbsoluteEnvPath("XDG_CONFIG_HOME");
    return p.empty() ? GetHomeFolder() / ".config" : p;
}

std::filesystem::path GetXdgDocumentsFolder()
{
    std::filesystem::path p = AbsoluteEnvPath("XDG_DOCUMENTS_DIR");
    if (!p.empty())
        return p;
    std::filesystem::path home = GetHomeFolder();
    std::ifstream in(GetXdgConfigHome() / "user-dirs.dirs");
    std::filesystem::path found;
    for (std::string line; std::getline(in, line);) {
        // As the shell sources the file, a later assignment wins.
        if (std::filesystem::path d = ParseUserDirsLine(line, home); !d.empty())
            found = d;
    }
    return found.empty() ? home / "Documents" : found;
}

std::filesystem::path GetRuntimeFolder()
{
    std::filesystem::path runtime = AbsoluteEnvPath("XDG_RUNTIME_DIR");
    std::error_code ec;
    if (!runtime.empty() && std::filesystem::is_directory(runtime, ec))
        return runtime;
    std::filesystem::path fallback = "/tmp/brixmoor-" + std::to_string(getuid());
    if (::mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("Cannot create " + fallback.string() + ": " + std::strerror(errno));
    struct stat st {};
    // lstat: a symlink planted by another user must not redirect our lock.
    if (::lstat(fallback.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()
        || (st.st_mode & 077) != 0)
        throw std::runtime_error("Unsafe runtime folder " + fallback.string());
    return fallback;
}

} // namespace bm
