#include "config/configfileU.h"

#include "config/optionsU.h"
#include "core/loggerU.h"
#include "core/pwdcrypt.h"
#include "core/streamU.h"
#include "platform/inifile.h"

namespace bm {

int ReadIntegerInRange(const TIniFile& ini, const std::string& section, const std::string& key, int current,
                       int low, int high)
{
    const int v = ini.ReadInteger(section, key, current);
    return (v >= low && v <= high) ? v : current;
}

std::string DecryptStoredPassword(const std::filesystem::path& file, const std::string& stored)
{
    try {
        return DecryptPassword(stored);
    } catch (const std::runtime_error& e) {
        throw EConfigFileError(file.filename().string() + ": " + e.what());
    }
}

std::string ReadLegacyString(TByteReader& reader)
{
    if (reader.AtEnd())
        throw TStreamError("string field beyond the end of the stream");
    return ReadZString(reader);
}

std::string StorableLegacyPassword(std::string password)
{
    if (password.size() <= MaxPasswordLength)
        return password;
    WriteTrace({"Config", "legacy password too long to store; dropped"}, kTraceEvent);
    return {};
}

} // namespace bm
