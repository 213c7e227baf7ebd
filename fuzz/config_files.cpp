// Loads arbitrary bytes as each configuration file of the options and the
// accounts (the INI files and their older binary predecessors) and as a stored
// list layout. Loading may refuse a malformed password (EConfigFileError) and
// nothing else; whatever loads must save and load back to the same numbers,
// flags and passwords. (Free texts are exempt: the INI form, like the Windows
// calls it stands for, drops blanks around a value and one pair of enclosing
// quotes.)
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/acctU.h"
#include "config/optionsU.h"
#include "config/regsettingsU.h"

namespace {

const std::filesystem::path& Folder()
{
    static const std::filesystem::path folder = [] {
        std::filesystem::path p = std::filesystem::temp_directory_path() /
                                  ("bm-fuzz-config-" + std::to_string(getpid()));
        std::filesystem::create_directories(p);
        return p;
    }();
    return folder;
}

void Write(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

bm::TOptionsValues WithoutTexts(bm::TOptionsValues v)
{
    v.SoundFile.clear();
    v.Proxy.Address.clear();
    v.Proxy.Username.clear();
    return v;
}

bm::TAccountValues WithoutTexts(bm::TAccountValues v)
{
    v.Name.clear();
    v.Incoming.Server.clear();
    v.Incoming.UserName.clear();
    v.Outgoing.Server.clear();
    v.Outgoing.UserName.clear();
    v.Outgoing.BadMailReply.clear();
    v.Outgoing.EMailAddresses.clear();
    v.Outgoing.DefaultEMailAddress.clear();
    return v;
}

void CheckOptions(const std::string& bytes, const char* name)
{
    const std::filesystem::path ini = Folder() / "options.ini";
    std::filesystem::remove(ini);
    std::filesystem::remove(Folder() / "options.dat");
    Write(Folder() / name, bytes);
    bm::TOptions o;
    try {
        o.LoadFromFile(ini);
    } catch (const bm::EConfigFileError&) {
        return;
    }
    o.SaveToFile(ini);
    bm::TOptions back;
    back.LoadFromFile(ini);
    if (!(WithoutTexts(back.Snapshot()) == WithoutTexts(o.Snapshot())))
        std::abort();
}

void CheckAccounts(const std::string& bytes, const char* name)
{
    const std::filesystem::path ini = Folder() / "accounts.ini";
    std::filesystem::remove(ini);
    std::filesystem::remove(Folder() / "accounts.dat");
    Write(Folder() / name, bytes);
    bm::TOptions options;
    bm::TAccountList list(options);
    try {
        list.LoadFromFile(ini);
    } catch (const bm::EConfigFileError&) {
        return;
    }
    list.SaveToFile(ini);
    bm::TAccountList back(options);
    back.LoadFromFile(ini);
    if (back.Count() != list.Count())
        std::abort();
    for (int i = 0; i < list.Count(); ++i)
        if (!(WithoutTexts(back.Item(i)->Snapshot()) == WithoutTexts(list.Item(i)->Snapshot())))
            std::abort();
}

void CheckLayout(const std::string& bytes)
{
    const std::optional<bm::TListLayout> layout = bm::DecodeListLayout(bytes);
    if (layout && bm::DecodeListLayout(bm::EncodeListLayout(*layout)) != layout)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0: CheckOptions(bytes, "options.ini"); break;
    case 1: CheckOptions(bytes, "options.dat"); break;
    case 2: CheckAccounts(bytes, "accounts.ini"); break;
    case 3: CheckAccounts(bytes, "accounts.dat"); break;
    default: CheckLayout(bytes); break;
    }
    return 0;
}
