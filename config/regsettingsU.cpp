#include "config/regsettingsU.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/commonsU.h"
#include "core/loggerU.h"
#include "core/streamU.h"

namespace bm {

// --- Container ---------------------------------------------------------------

RegistrySettings::RegistrySettings(TRegistryStore* store) : store_(store) {}

RegistrySettings::~RegistrySettings()
{
    if (AutoSave)
        SaveAll();
    for (RegistrySetting* item : items_)
        item->container_ = nullptr;
}

std::string RegistrySettings::KeyPath(const std::string& key) const
{
    return Prefix + Company + "\\" + App + "\\" + key;
}

THive RegistrySettings::Hive() const
{
    switch (RegRoot) {
    case TRegRoot::ClassesRoot: return THive::ClassesRoot;
    case TRegRoot::LocalMachine: return THive::LocalMachine;
    case TRegRoot::CurrentUser:
    case TRegRoot::Users: break;
    }
    return THive::CurrentUser;
}

TRegistryStore& RegistrySettings::Store() const
{
    return store_ ? *store_ : Registry();
}

void RegistrySettings::LoadAll()
{
    for (RegistrySetting* item : items_) {
        try {
            item->Load();
        } catch (const std::exception& e) {
            WriteTrace({"Registry", "cannot read", item->Key(), item->Value(), e.what()}, kTraceEvent);
        }
    }
}

void RegistrySettings::SaveAll()
{
    for (RegistrySetting* item : items_) {
        try {
            item->Save();
        } catch (const std::exception& e) {
            WriteTrace({"Registry", "cannot write", item->Key(), item->Value(), e.what()}, kTraceEvent);
        }
    }
}

void UseProductKey(RegistrySettings& settings, TRegRoot root)
{
    settings.RegRoot = root;
    settings.Company = "Veldhaven";
    settings.App = GetProductFolderName();
}

// --- Item --------------------------------------------------------------------

RegistrySetting::RegistrySetting(RegistrySettings& container, std::string key, std::string value, TSettingType type)
    : container_(&container), key_(std::move(key)), value_(std::move(value)), type_(type)
{
    container_->items_.push_back(this);
}

RegistrySetting::~RegistrySetting()
{
    if (!container_)
        return;
    auto& items = container_->items_;
    items.erase(std::remove(items.begin(), items.end(), this), items.end());
}

bool RegistrySetting::Loaded() const
{
    std::lock_guard lock(mutex_);
    return loaded_;
}

void RegistrySetting::Load()
{
    std::lock_guard lock(mutex_);
    LoadLocked();
}

void RegistrySetting::Save()
{
    std::lock_guard lock(mutex_);
    EnsureLoadedLocked();
    SaveLocked();
}

void RegistrySetting::EnsureLoadedLocked()
{
    if (!loaded_)
        LoadLocked();
}

void RegistrySetting::LoadLocked()
{
    TRegistryStore& store = container_->Store();
    const std::string path = container_->KeyPath(key_);
    // The key is created even for a read, as opening it for writing did.
    store.OpenKey(container_->Hive(), path, true);
    ReadFromRegistry(store, container_->Hive(), path);
    loaded_ = true;
}

void RegistrySetting::SaveLocked()
{
    WriteToRegistry(container_->Store(), container_->Hive(), container_->KeyPath(key_));
}

// --- Typed items ---------------------------------------------------------------

std::string TBooleanSetting::AsText()
{
    return Get() ? "True" : "False";
}

void TBooleanSetting::SetAsText(const std::string& text)
{
    Set(!text.empty() && std::string_view("TYty").find(text[0]) != std::string_view::npos);
}

void TBooleanSetting::ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path)
{
    const std::optional<std::uint32_t> v = store.ReadInteger(hive, path, Value());
    cache_ = v ? *v != 0 : default_;
}

void TBooleanSetting::WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const
{
    store.WriteInteger(hive, path, Value(), cache_ ? 1u : 0u);
}

void TIntegerSetting::ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path)
{
    const std::optional<std::uint32_t> v = store.ReadInteger(hive, path, Value());
    cache_ = v ? static_cast<std::int32_t>(*v) : default_;
}

void TIntegerSetting::WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const
{
    store.WriteInteger(hive, path, Value(), static_cast<std::uint32_t>(cache_));
}

void TStringSetting::ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path)
{
    cache_ = store.ReadString(hive, path, Value()).value_or(default_);
}

void TStringSetting::WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const
{
    store.WriteString(hive, path, Value(), cache_);
}

namespace {

static_assert(sizeof(double) == 8 && std::endian::native == std::endian::little,
              "the stored day count is a little-endian IEEE double");

std::string DoubleBytes(double v)
{
    std::string bytes(sizeof v, '\0');
    std::memcpy(bytes.data(), &v, sizeof v);
    return bytes;
}

} // namespace

void TDateTimeSetting::ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path)
{
    const std::optional<std::string> bytes = store.ReadBinary(hive, path, Value());
    cache_ = default_;
    if (bytes && bytes->size() == sizeof(double))
        std::memcpy(&cache_, bytes->data(), sizeof(double));
}

void TDateTimeSetting::WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const
{
    store.WriteBinary(hive, path, Value(), DoubleBytes(cache_));
}

void TBinarySetting::ReadFromRegistry(TRegistryStore& store, THive hive, const std::string& path)
{
    cache_.clear();
    const std::optional<std::uint32_t> size = store.ReadInteger(hive, path, SizeValueName());
    if (!size)
        return;
    const std::optional<std::string> bytes = store.ReadBinary(hive, path, Value());
    // A size beyond the data (a write torn between the two values) reads what is there.
    if (bytes)
        cache_ = bytes->substr(0, std::min<std::size_t>(*size, bytes->size()));
}

void TBinarySetting::WriteToRegistry(TRegistryStore& store, THive hive, const std::string& path) const
{
    store.WriteBinary(hive, path, Value(), cache_);
    store.WriteInteger(hive, path, SizeValueName(), static_cast<std::uint32_t>(cache_.size()));
}

// --- List layout ----------------------------------------------------------------

std::string EncodeListLayout(const TListLayout& layout)
{
    TByteWriter w;
    WriteVersion(w, "1.0");
    WriteZString(w, "");
    WriteInt32(w, static_cast<std::int32_t>(layout.Widths.size()));
    for (std::int32_t width : layout.Widths)
        WriteInt32(w, width);
    WriteInt32(w, layout.SortColumn);
    WriteBool(w, layout.Ascending);
    return w.TakeBytes();
}

std::optional<TListLayout> DecodeListLayout(std::string_view bytes)
{
    if (bytes.empty())
        return std::nullopt;
    TByteReader r(bytes);
    if (ReadVersion(r) != "1.0")
        return std::nullopt;
    try {
        if (r.AtEnd())
            return std::nullopt;
        ReadZString(r); // the name, always empty
        TListLayout layout;
        const std::int32_t count = ReadInt32(r);
        // Widths one by one: a damaged count cannot allocate ahead of the data.
        for (std::int32_t i = 0; i < count; ++i)
            layout.Widths.push_back(ReadInt32(r));
        layout.SortColumn = ReadInt32(r);
        layout.Ascending = ReadBool(r);
        return layout;
    } catch (const TStreamError&) {
        return std::nullopt;
    }
}

TListLayout FitListLayout(const TListLayout& stored, const TListLayout& current)
{
    TListLayout fitted = current;
    const std::size_t n = std::min(stored.Widths.size(), current.Widths.size());
    std::copy_n(stored.Widths.begin(), n, fitted.Widths.begin());
    const std::int32_t last = std::max<std::int32_t>(0, static_cast<std::int32_t>(current.Widths.size()) - 1);
    fitted.SortColumn = std::clamp(stored.SortColumn, 0, last);
    fitted.Ascending = stored.Ascending;
    return fitted;
}

} // namespace bm
