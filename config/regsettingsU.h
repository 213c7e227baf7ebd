#pragma once
// Small pieces of state kept in the registry stand-in rather than in the
// configuration files: window layout, the first-run marker, the cleaner's last
// run times. A RegistrySettings container names the hive and the product's key;
// each typed item names a key below it and a value, reads the value on first
// use and writes it back at once when it changes.
//
// Mapping: the key path is Prefix + Company + "\" + App + "\" + Key in the
// container's hive ("\SOFTWARE\Veldhaven\Brixmoor 2.0\State"). Boolean and
// Integer items are 32-bit integer values (a Boolean reads any non-zero value
// as true), String items string values, DateTime items 8-byte binary values
// holding the IEEE double day count (little-endian), and Binary items a binary
// value plus the integer value Value + "__SIZE__" with the byte count (without
// it the data reads as empty).
//
// Threads: each item guards its cache with its own lock, so any thread may
// get or set an item; the container's item list is changed only while its
// owner is built and torn down (main thread). An item is used only while its
// container lives; a container destroyed first saves the items (AutoSave) and
// detaches them, so their own destruction later is safe.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/datetimeU.h"
#include "platform/registry.h"

namespace bm {

// The registry hives as the stored settings number them. The stand-in has
// one user, so Users is the current user's hive.
enum class TRegRoot { ClassesRoot = 0, CurrentUser = 1, LocalMachine = 2, Users = 3 };

enum class TSettingType { Boolean, DateTime, Integer, String, Binary };

class RegistrySetting;

class RegistrySettings {
public:
    // store: the registry to use; null means the process-wide Registry().
    explicit RegistrySettings(TRegistryStore* store = nullptr);
    // Saves every item still registered when AutoSave is set (failures
    // ignored), then detaches them.
    ~RegistrySettings();
    RegistrySettings(const RegistrySettings&) = delete;
    RegistrySettings& operator=(const RegistrySettings&) = delete;

    TRegRoot RegRoot = TRegRoot::LocalMachine;
    std::string Prefix = "\\SOFTWARE\\";
    std::string Company;
    std::string App;
    bool AutoSave = false;

    // Prefix + Company + "\" + App + "\" + key.
    std::string KeyPath(const std::string& key) const;
    THive Hive() const;
    TRegistryStore& Store() const;

    // The items placed on the same owner, in creation order (not owned).
    const std::vector<RegistrySetting*>& Items() const { return items_; }
    // Reads every item (what the owner does once it is built); a failure of
    // one item is ignored and the next one is read.
    void LoadAll();
    // Writes every item; failures ignored item by item.
    void SaveAll();

private:
    friend class RegistrySetting;
    TRegistryStore* store_;
    std::vector<RegistrySetting*> items_;
};

// One value. Subclasses give the type; every member may be called from any
// thread.
// Points a container at the product's key: Company "Veldhaven", App
// GetProductFolderName() ("Brixmoor 2.0"), the given hive, the default Prefix.
void UseProductKey(RegistrySettings& settings, TRegRoot root);

class RegistrySetting {
public:
    // Registers with container.
    RegistrySetting(RegistrySettings& container, std::string key, std::string value, TSettingType type);
    virtual ~RegistrySetting();
    RegistrySetting(const RegistrySetting&) = delete;
    RegistrySetting& operator=(const RegistrySetting&) = delete;

    const std::string& Key() const { return key_; }
    const std::string& Value() const { return value_; }
    TSettingType SettingType() const { return type_; }
    RegistrySettings& Container() const { return *container_; }
    // The value has been read since the item was created.
    bool Loaded() const;

    // Reads the value again (creating the key when missing, as the registry
    // calls did); a missing value or one of another kind gives the default.
    // Throws ERegistryError when the key cannot be created.
    void Load();
    // Writes the cached value (loading it first if never read). Throws
    // ERegistryError when the store cannot be written.
    void Save();

protected:
    // Called with the item's lock held.
    virtual void ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path) = 0;
    virtual void WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const = 0;

    // Loads on first use; the caller holds mutex_.
    void EnsureLoadedLocked();
    void LoadLocked();
    void SaveLocked();

    mutable std::mutex mutex_;

private:
    friend class RegistrySettings;
    RegistrySettings* container_;
    std::string key_;
    std::string value_;
    TSettingType type_;
    bool loaded_ = false;
};

// A typed item: Get loads on first access and returns the cache; Set writes
// at once when the value differs from the cached one (and writes nothing
// otherwise). Set throws ERegistryError when the store cannot be written (the
// cache keeps the old value then).
template <class T>
class TTypedSetting : public RegistrySetting {
public:
    TTypedSetting(RegistrySettings& container, std::string key, std::string value, TSettingType type, T def)
        : RegistrySetting(container, std::move(key), std::move(value), type), default_(def), cache_(def)
    {
    }
    T DefaultValue() const { return default_; }
    T Get()
    {
        std::lock_guard lock(mutex_);
        EnsureLoadedLocked();
        return cache_;
    }
    void Set(const T& v)
    {
        std::lock_guard lock(mutex_);
        EnsureLoadedLocked();
        if (cache_ == v)
            return;
        const T old = cache_;
        cache_ = v;
        try {
            SaveLocked();
        } catch (...) {
            cache_ = old;
            throw;
        }
    }

protected:
    T default_;
    T cache_;
};

class TBooleanSetting : public TTypedSetting<bool> {
public:
    TBooleanSetting(RegistrySettings& c, std::string key, std::string value, bool def = false)
        : TTypedSetting(c, std::move(key), std::move(value), TSettingType::Boolean, def)
    {
    }
    // "True" or "False".
    std::string AsText();
    // True when the text begins with T, Y, t or y.
    void SetAsText(const std::string& text);
    int AsInteger() { return Get() ? 1 : 0; }

protected:
    void ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path) override;
    void WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const override;
};

class TIntegerSetting : public TTypedSetting<std::int32_t> {
public:
    TIntegerSetting(RegistrySettings& c, std::string key, std::string value, std::int32_t def = 0)
        : TTypedSetting(c, std::move(key), std::move(value), TSettingType::Integer, def)
    {
    }

protected:
    void ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path) override;
    void WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const override;
};

class TStringSetting : public TTypedSetting<std::string> {
public:
    TStringSetting(RegistrySettings& c, std::string key, std::string value, std::string def = {})
        : TTypedSetting(c, std::move(key), std::move(value), TSettingType::String, std::move(def))
    {
    }

protected:
    void ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path) override;
    void WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const override;
};

class TDateTimeSetting : public TTypedSetting<TDateTime> {
public:
    TDateTimeSetting(RegistrySettings& c, std::string key, std::string value, TDateTime def = 0)
        : TTypedSetting(c, std::move(key), std::move(value), TSettingType::DateTime, def)
    {
    }

protected:
    void ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path) override;
    void WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const override;
};

// Bytes held in a std::string.
class TBinarySetting : public TTypedSetting<std::string> {
public:
    TBinarySetting(RegistrySettings& c, std::string key, std::string value)
        : TTypedSetting(c, std::move(key), std::move(value), TSettingType::Binary, std::string())
    {
    }
    // Value + "__SIZE__".
    std::string SizeValueName() const { return Value() + "__SIZE__"; }

protected:
    void ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path) override;
    void WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const override;
};

// --- Stored list layout -------------------------------------------------------

// The layout of a list view kept in a Binary item: version marker "1.0", an
// empty name, the column count, one width per column, the sort column
// (counted from 0) and a byte for ascending order.
struct TListLayout {
    std::vector<std::int32_t> Widths;
    std::int32_t SortColumn = 0;
    bool Ascending = true;
    bool operator==(const TListLayout&) const = default;
};

std::string EncodeListLayout(const TListLayout& layout);
// The layout held by bytes; nullopt for an empty value, another version, or
// bytes that end inside the record (never read past their end).
std::optional<TListLayout> DecodeListLayout(std::string_view bytes);
// What a list with current's columns shows after reading stored: the first
// widths replaced by stored's (at most as many as the list has columns), the
// sort column limited to the last column (and to 0 from below), stored's
// direction.
TListLayout FitListLayout(const TListLayout& stored, const TListLayout& current);

} // namespace bm
