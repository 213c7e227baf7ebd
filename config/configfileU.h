#pragma once
// Reading rules shared by the loaders of options.ini and accounts.ini and of
// their older binary predecessors. Pure functions; any thread.

#include <filesystem>
#include <string>

namespace bm {

class TIniFile;
class TByteReader;

// The key's integer when it is present, a number and within [low, high];
// otherwise current. A hand-edited or damaged value never reaches the
// program as a value the dialogs could not have stored.
int ReadIntegerInRange(const TIniFile& ini, const std::string& section, const std::string& key, int current,
                       int low, int high);

// DecryptPassword(stored); a malformed value throws EConfigFileError whose
// message is the file's name, ": " and the reason ("accounts.ini: Invalid code
// value - ...").
std::string DecryptStoredPassword(const std::filesystem::path& file, const std::string& stored);

// A string field of an older binary file. The encoding lets the end of the
// stream end a string, so a field that starts at the very end was never
// written: that throws TStreamError instead of giving "".
std::string ReadLegacyString(TByteReader& reader);

// A plain-text password of an older binary file, as the INI file can keep it:
// one longer than MaxPasswordLength cannot be enciphered, so it is dropped
// (traced; the user enters it again) rather than failing every start-up.
std::string StorableLegacyPassword(std::string password);

} // namespace bm
