#pragma once
// INI files with the behaviour of the Windows private-profile functions
// (GetPrivateProfileString / WritePrivateProfileString) that the
// configuration files options.ini and accounts.ini, and Eudora's own file,
// were written and read with.
//
// Reading:
// - A section starts at a line "[name]" (blanks around it ignored); lines
//   before the first section belong to no section and are never found.
// - A key line is "name=value"; blanks around the name and the value are
//   dropped, and a value enclosed in a matching pair of double or single
//   quotes loses them. Lines without "=" and lines starting with ";" are kept
//   but never found.
// - Section and key names are found without regard to ASCII letter case; when
//   a section or key appears twice, the first one counts.
// - Lines may end in LF or CR LF; a UTF-8 byte order mark before the first
//   line is ignored. Values are bytes: UTF-8 passes through unchanged.
//
// Writing (in memory; UpdateFile() stores):
// - An existing key keeps its line and its spelling; only its value changes.
// - A new key is appended after the last key line of its section (before
//   the blank lines that end it); a missing section is appended at the end
//   of the file, after one blank line when the file is not empty.
// - CR and LF in a written name or value are replaced by spaces, so one
//   value can never break the file into other keys.
// - Every other line (comments, blank lines, order) stays as it was.
// - The file is written with CR LF line ends, as Windows writes it.
//
// Threads: a TIniFile is one object of one thread at a time (no lock inside).
// Failures: a missing or unreadable file loads as empty; UpdateFile throws
// EIniFileError when the file cannot be written.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bm {

class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TIniFile {
public:
    // Loads the file now (a missing file gives an empty document).
    explicit TIniFile(std::filesystem::path file);

    const std::filesystem::path& FileName() const { return file_; }

    // The value, or def when the section or key is missing.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal with optional sign, or hexadecimal written "$1F" or "0x1F" (as
    // Delphi's StrToInt reads it); def when missing, empty, malformed or out
    // of the 32-bit range.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    // Read as ReadInteger: non-zero is true; def when not a number.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Writes "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Names of the sections in file order (first spelling, no duplicates).
    std::vector<std::string> ReadSections() const;
    // Names of the keys of a section in file order (no duplicates); empty when missing.
    std::vector<std::string> ReadSection(const std::string& section) const;
    // Key and value pairs of a section in file order (first occurrence of each key).
    std::vector<std::pair<std::string, std::string>> ReadSectionValues(const std::string& section) const;

    // Remove the key line / the section header with all its lines, if present.
    void DeleteKey(const std::string& section, const std::string& key);
    void EraseSection(const std::string& section);

    // True when a write or erase changed the document since load or save.
    bool Modified() const { return modified_; }
    // Replaces the file atomically (temporary in the same folder, fsync,
    // rename) when Modified(), creating its folder if missing; clears Modified.
    // Throws EIniFileError with the file name on failure.
    void UpdateFile();
    // Discards unsaved changes and loads the file again.
    void Reload();

private:
    std::filesystem::path file_;
    std::vector<std::string> lines_;
    bool modified_ = false;

    // The section's header line index and the end of its lines (the next
    // header or the end of the file); false when the section is missing.
    bool FindSection(const std::string& section, std::size_t& header, std::size_t& end) const;
    // Index of the key's line within a section, or npos.
    std::size_t FindKey(std::size_t header, std::size_t end, const std::string& key) const;
};

// One-shot calls for callers that touch a single key: each loads the file,
// and the writers store it at once (atomically), as the Windows calls do.
std::string IniReadString(const std::filesystem::path& file, const std::string& section,
                          const std::string& key, const std::string& def);
void IniWriteString(const std::filesystem::path& file, const std::string& section,
                    const std::string& key, const std::string& value);

} // namespace bm
