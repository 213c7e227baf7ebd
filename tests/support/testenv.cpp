#include "tests/support/testenv.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace bm::test {

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "brixmoor-test-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("cannot create a temporary folder");
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

PrivateHome::PrivateHome()
{
    const auto& r = dir_.path();
    for (const char* sub : {"home", "data", "config", "runtime", "home/Documents"})
        std::filesystem::create_directories(r / sub);
    std::filesystem::permissions(r / "runtime", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    setenv("HOME", (r / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (r / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (r / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (r / "runtime").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", (r / "home/Documents").c_str(), 1);
}

ScopedEnv::ScopedEnv(const char* name, const char* value)
    : name_(name)
{
    if (const char* old = std::getenv(name))
        old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_);
}

std::string ReadFileBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes)
{
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace bm::test
