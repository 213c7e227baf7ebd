#pragma once
// A per-user key-value store that stands in for the Windows registry.
//
// Three hives (CurrentUser, LocalMachine, ClassesRoot), each a tree of keys.
// A key path is a list of key names joined by backslashes, relative to the
// hive ("Software\Veldhaven\Brixmoor 2.0\State"); leading, trailing and doubled
// backslashes are ignored, and the empty path is the hive's root key.
// Key names and value names are found without regard to ASCII letter case, as
// Windows does; a key or value keeps the spelling it was first written with.
// The empty value name is the key's default value.
//
// Values are strings, 32-bit integers (DWORD) or binary blocks. A value read
// with a reader of another type counts as missing (the caller's default
// applies), so a stored setting of the wrong type never throws.
//
// Storage: one file per hive under RegistryFolder() ("CurrentUser.reg",
// "LocalMachine.reg", "ClassesRoot.reg"), replaced atomically on every write.
// Two copies of the program may use the same files at once: every write takes
// an exclusive flock on "<hive>.lock" and re-reads the file before changing it,
// so neither loses the other's writes; a read re-reads the file when it has
// changed on disk since it was last read.
//
// Virtual values: under CurrentUser, key
// "Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders" answers
// "Local AppData" with the XDG data folder ($XDG_DATA_HOME, default
// ~/.local/share) and "Personal" with the user's documents folder
// (GetXdgDocumentsFolder in platform/shellU.h), computed at each read and never
// stored; the key always exists. Writes of these two names are accepted and
// ignored (the computed value keeps winning).
//
// Threads: every function and every TRegistryStore member may be called from
// any thread; each store serialises its own access with a mutex.
//
// Failures: a store file that cannot be written throws ERegistryError; a store
// file that cannot be read or parsed reads as an empty hive (never throws).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bm {

enum class THive { CurrentUser, LocalMachine, ClassesRoot };

enum class TRegValueKind { String, Integer, Binary };

class ERegistryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The folder that holds the hive files of the program's own registry:
// $XDG_CONFIG_HOME/Veldhaven, default ~/.config/Veldhaven. Evaluated at each
// call, so a change of the environment (tests) takes effect at once.
std::filesystem::path RegistryFolder();

// One set of hive files in one folder. Two stores on the same folder behave
// like two copies of the program (tests use this); the free functions below
// use one process-wide store on RegistryFolder().
class TRegistryStore {
public:
    explicit TRegistryStore(std::filesystem::path folder);
    ~TRegistryStore();
    TRegistryStore(const TRegistryStore&) = delete;
    TRegistryStore& operator=(const TRegistryStore&) = delete;

    const std::filesystem::path& Folder() const;

    // True when the key exists. With create set, a missing key is created
    // together with its missing parents first (and the result is true).
    bool OpenKey(THive hive, const std::string& key, bool create);
    bool KeyExists(THive hive, const std::string& key);

    // The value, or nullopt when the key or value is missing or of another kind.
    std::optional<std::string> ReadString(THive hive, const std::string& key, const std::string& name);
    std::optional<std::uint32_t> ReadInteger(THive hive, const std::string& key, const std::string& name);
    std::optional<std::string> ReadBinary(THive hive, const std::string& key, const std::string& name);
    // The kind of a stored value, or nullopt when it is missing.
    std::optional<TRegValueKind> ValueKind(THive hive, const std::string& key, const std::string& name);

    // Writes (creating the key and its parents when missing) and persists at
    // once; an existing value of the same name is replaced, whatever its kind.
    void WriteString(THive hive, const std::string& key, const std::string& name, const std::string& value);
    void WriteInteger(THive hive, const std::string& key, const std::string& name, std::uint32_t value);
    void WriteBinary(THive hive, const std::string& key, const std::string& name, const std::string& bytes);

    // True when something was deleted. DeleteKey removes the key with all its
    // subkeys and values; the root key (empty path) cannot be deleted.
    bool DeleteValue(THive hive, const std::string& key, const std::string& name);
    bool DeleteKey(THive hive, const std::string& key);

    // Names of the direct subkeys, sorted without regard to case; names of the
    // values in the order they were first written. Empty for a missing key.
    std::vector<std::string> ListSubkeys(THive hive, const std::string& key);
    std::vector<std::string> ListValues(THive hive, const std::string& key);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process-wide store on RegistryFolder() (re-created when that folder changes).
TRegistryStore& Registry();

// Shorthands on Registry(); same contracts as the members above.
bool RegOpenKey(THive hive, const std::string& key, bool create);
bool RegKeyExists(THive hive, const std::string& key);
std::optional<std::string> RegReadString(THive hive, const std::string& key, const std::string& name);
std::optional<std::uint32_t> RegReadInteger(THive hive, const std::string& key, const std::string& name);
std::optional<std::string> RegReadBinary(THive hive, const std::string& key, const std::string& name);
void RegWriteString(THive hive, const std::string& key, const std::string& name, const std::string& value);
void RegWriteInteger(THive hive, const std::string& key, const std::string& name, std::uint32_t value);
void RegWriteBinary(THive hive, const std::string& key, const std::string& name, const std::string& bytes);
bool RegDeleteValue(THive hive, const std::string& key, const std::string& name);
bool RegDeleteKey(THive hive, const std::string& key);
std::vector<std::string> RegListSubkeys(THive hive, const std::string& key);
std::vector<std::string> RegListValues(THive hive, const std::string& key);

} // namespace bm
