#include "platform/registry.h"

#include "platform/atomicfile.h"
#include "platform/shellU.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Store file of one hive, a line-based text:
//   BRIXMOOR-REGISTRY 1
//   K <key path>               a key; the value lines after it belong to it
//   S <name> <string>          string value
//   I <name> <decimal>         32-bit integer value (DWORD)
//   B <name> <hex digits>      binary value
// Fields are separated by one space; in names, key path segments and
// strings every byte up to 0x20, "%" and 0x7F is written %XX, so no field
// holds a space or a line break. The root key is "K " with an empty path;
// every key is written, empty ones too, parents before their subkeys.

namespace bm {

namespace {

const char* const kShellFolders = "software\\microsoft\\windows\\currentversion\\explorer\\shell folders";
const char* const kHeader = "BRIXMOOR-REGISTRY 1";

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool SameName(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && Lower(a) == Lower(b);
}

std::vector<std::string> SplitPath(const std::string& key)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : key) {
        if (c != '\\') {
            part += c;
            continue;
        }
        if (!part.empty())
            parts.push_back(part);
        part.clear();
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

std::string JoinLower(const std::vector<std::string>& parts)
{
    std::string s;
    for (const auto& p : parts)
        s += (s.empty() ? "" : "\\") + Lower(p);
    return s;
}

// Store file tokens: every byte that could split a line or a field, and the
// escape character itself, becomes %XX.
std::string Escape(const std::string& s)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c <= 0x20 || c == '%' || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& s, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size())
            return false;
        int hi = HexDigit(s[i + 1]), lo = HexDigit(s[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

struct RegValue {
    std::string name;
    TRegValueKind kind = TRegValueKind::String;
    std::string data;          // String and Binary
    std::uint32_t number = 0;  // Integer
};

struct RegKey {
    std::string name;
    std::map<std::string, std::unique_ptr<RegKey>> children; // by lower-case name
    std::vector<RegValue> values;                            // in first-written order

    RegKey* Child(const std::string& n) const
    {
        auto it = children.find(Lower(n));
        return it == children.end() ? nullptr : it->second.get();
    }
    RegKey& AddChild(const std::string& n)
    {
        auto& slot = children[Lower(n)];
        if (!slot) {
            slot = std::make_unique<RegKey>();
            slot->name = n;
        }
        return *slot;
    }
    RegValue* Value(const std::string& n)
    {
        for (auto& v : values)
            if (SameName(v.name, n))
                return &v;
        return nullptr;
    }
};

// Identity of the file last read, to notice another copy's write.
struct FileStamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime {};
    timespec ctime {};

    bool operator==(const FileStamp& o) const
    {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size
            && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec
            && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

FileStamp StampOf(const std::filesystem::path& file)
{
    FileStamp s;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return s;
    s.exists = true;
    s.dev = st.st_dev;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    return s;
}

std::string HexOf(const std::string& bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

bool BytesOfHex(const std::string& hex, std::string& out)
{
    out.clear();
    if (hex.size() % 2)
        return false;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

void SerializeKey(const RegKey& key, const std::string& path, std::string& out)
{
    out += "K " + path + "\n";
    for (const auto& v : key.values) {
        switch (v.kind) {
        case TRegValueKind::String: out += "S " + Escape(v.name) + " " + Escape(v.data) + "\n"; break;
        case TRegValueKind::Integer: out += "I " + Escape(v.name) + " " + std::to_string(v.number) + "\n"; break;
        case TRegValueKind::Binary: out += "B " + Escape(v.name) + " " + HexOf(v.data) + "\n"; break;
        }
    }
    for (const auto& [lower, child] : key.children)
        SerializeKey(*child, (path.empty() ? "" : path + "\\") + Escape(child->name), out);
}

std::vector<std::string> SplitFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t sp = line.find(' ', start);
        fields.push_back(line.substr(start, sp == std::string::npos ? std::string::npos : sp - start));
        if (sp == std::string::npos)
            return fields;
        start = sp + 1;
    }
}

// Reads one value line into key; false when the line is malformed.
bool ParseValueLine(const std::vector<std::string>& f, RegKey& key)
{
    if (f.size() != 3 || f[0].size() != 1)
        return false;
    RegValue v;
    if (!Unescape(f[1], v.name))
        return false;
    bool ok = false;
    if (f[0] == "S") {
        v.kind = TRegValueKind::String;
        ok = Unescape(f[2], v.data);
    } else if (f[0] == "I") {
        v.kind = TRegValueKind::Integer;
        auto r = std::from_chars(f[2].data(), f[2].data() + f[2].size(), v.number);
        ok = r.ec == std::errc() && r.ptr == f[2].data() + f[2].size();
    } else if (f[0] == "B") {
        v.kind = TRegValueKind::Binary;
        ok = BytesOfHex(f[2], v.data);
    }
    if (!ok)
        return false;
    if (RegValue* old = key.Value(v.name))
        *old = v;
    else
        key.values.push_back(v);
    return true;
}

// Parses a store file. A damaged line is skipped rather than losing the
// whole hive; a file of another format reads as empty.
void ParseStore(const std::string& text, RegKey& root)
{
    root = RegKey();
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        return;
    RegKey* current = &root;
    while (std::getline(in, line)) {
        std::vector<std::string> f = SplitFields(line);
        if (f[0] != "K") {
            ParseValueLine(f, *current);
            continue;
        }
        current = &root;
        std::string name;
        for (const auto& part : SplitPath(f.size() > 1 ? line.substr(2) : std::string()))
            if (Unescape(part, name))
                current = &current->AddChild(name);
    }
}

// An exclusive flock on the hive's lock file, held for one read-modify-write.
class TFileLock {
public:
    explicit TFileLock(const std::filesystem::path& file)
    {
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw ERegistryError("Cannot open " + file.string() + ": " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int err = errno;
                ::close(fd_);
                throw ERegistryError("Cannot lock " + file.string() + ": " + std::strerror(err));
            }
        }
    }
    ~TFileLock() { ::close(fd_); }
    TFileLock(const TFileLock&) = delete;
    TFileLock& operator=(const TFileLock&) = delete;

private:
    int fd_ = -1;
};

const char* HiveName(THive hive)
{
    switch (hive) {
    case THive::CurrentUser: return "CurrentUser";
    case THive::LocalMachine: return "LocalMachine";
    case THive::ClassesRoot: return "ClassesRoot";
    }
    return "Unknown";
}

bool IsShellFolders(THive hive, const std::vector<std::string>& parts)
{
    return hive == THive::CurrentUser && JoinLower(parts) == kShellFolders;
}

// True when parts name a proper ancestor of the virtual shell folders key.
bool IsShellFoldersAncestor(THive hive, const std::vector<std::string>& parts)
{
    if (hive != THive::CurrentUser)
        return false;
    std::string prefix = JoinLower(parts);
    std::string full = kShellFolders;
    return prefix.empty() || (full.size() > prefix.size() && full.compare(0, prefix.size(), prefix) == 0
                              && full[prefix.size()] == '\\');
}

std::optional<std::string> ShellFolderValue(const std::string& name)
{
    if (SameName(name, "Local AppData"))
        return GetXdgDataHome().string();
    if (SameName(name, "Personal"))
        return GetXdgDocumentsFolder().string();
    return std::nullopt;
}

struct Hive {
    RegKey root;
    FileStamp stamp;
    bool loaded = false;
};

} // namespace

struct TRegistryStore::Impl {
    std::filesystem::path folder;
    std::mutex mutex;
    std::array<Hive, 3> hives;

    std::filesystem::path FileOf(THive h) const { return folder / (std::string(HiveName(h)) + ".reg"); }
    std::filesystem::path LockOf(THive h) const { return folder / (std::string(HiveName(h)) + ".lock"); }

    // Brings the in-memory hive up to date with the file; force re-reads even
    // when the file looks unchanged (used under the write lock, where a missed
    // change would lose another copy's write).
    Hive& Load(THive h, bool force)
    {
        Hive& hive = hives[static_cast<std::size_t>(h)];
        FileStamp now = StampOf(FileOf(h));
        if (hive.loaded && !force && now == hive.stamp)
            return hive;
        std::string text;
        if (now.exists && ReadWholeFile(FileOf(h), text))
            ParseStore(text, hive.root);
        else
            hive.root = RegKey();
        hive.stamp = now;
        hive.loaded = true;
        return hive;
    }

    void Save(THive h, Hive& hive)
    {
        std::string out = std::string(kHeader) + "\n";
        SerializeKey(hive.root, "", out);
        try {
            WriteFileAtomic(FileOf(h), out);
        } catch (const EAtomicWriteError& e) {
            hive.loaded = false; // memory is ahead of the file: re-read next time
            throw ERegistryError(e.what());
        }
        hive.stamp = StampOf(FileOf(h));
    }

    RegKey* Find(THive h, const std::string& key)
    {
        RegKey* k = &Load(h, false).root;
        for (const auto& part : SplitPath(key))
            if (!(k = k->Child(part)))
                return nullptr;
        return k;
    }

    // Runs change on the freshly re-read hive under the file lock and saves
    // when it reports a change.
    template <typename Fn>
    bool Modify(THive h, Fn change)
    {
        TFileLock lock(LockOf(h));
        Hive& hive = Load(h, true);
        bool changed = change(hive.root);
        if (changed)
            Save(h, hive);
        return changed;
    }

    static RegKey& Create(RegKey& root, const std::string& key)
    {
        RegKey* k = &root;
        for (const auto& part : SplitPath(key))
            k = &k->AddChild(part);
        return *k;
    }

    void WriteValue(THive h, const std::string& key, const RegValue& v)
    {
        std::lock_guard guard(mutex);
        if (IsShellFolders(h, SplitPath(key)) && ShellFolderValue(v.name))
            return;
        Modify(h, [&](RegKey& root) {
            RegKey& k = Create(root, key);
            if (RegValue* old = k.Value(v.name)) {
                old->kind = v.kind;
                old->data = v.data;
                old->number = v.number;
            } else {
                k.values.push_back(v);
            }
            return true;
        });
    }

    std::optional<RegValue> ReadValue(THive h, const std::string& key, const std::string& name)
    {
        std::lock_guard guard(mutex);
        if (IsShellFolders(h, SplitPath(key)))
            if (auto virt = ShellFolderValue(name))
                return RegValue {name, TRegValueKind::String, *virt, 0};
        RegKey* k = Find(h, key);
        RegValue* v = k ? k->Value(name) : nullptr;
        return v ? std::optional<RegValue>(*v) : std::nullopt;
    }
};

TRegistryStore::TRegistryStore(std::filesystem::path folder)
    : impl_(std::make_unique<Impl>())
{
    impl_->folder = std::move(folder);
}

TRegistryStore::~TRegistryStore() = default;

const std::filesystem::path& TRegistryStore::Folder() const
{
    return impl_->folder;
}

bool TRegistryStore::KeyExists(THive hive, const std::string& key)
{
    std::lock_guard guard(impl_->mutex);
    std::vector<std::string> parts = SplitPath(key);
    if (IsShellFolders(hive, parts) || IsShellFoldersAncestor(hive, parts))
        return true;
    return impl_->Find(hive, key) != nullptr;
}

bool TRegistryStore::OpenKey(THive hive, const std::string& key, bool create)
{
    if (KeyExists(hive, key) || !create)
        return KeyExists(hive, key);
    std::lock_guard guard(impl_->mutex);
    impl_->Modify(hive, [&](RegKey& root) {
        RegKey* k = &root;
        bool added = false;
        for (const auto& part : SplitPath(key)) {
            added = added || !k->Child(part);
            k = &k->AddChild(part);
        }
        return added;
    });
    return true;
}

std::optional<std::string> TRegistryStore::ReadString(THive hive, const std::string& key, const std::string& name)
{
    auto v = impl_->ReadValue(hive, key, name);
    if (!v || v->kind != TRegValueKind::String)
        return std::nullopt;
    return v->data;
}

std::optional<std::uint32_t> TRegistryStore::ReadInteger(THive hive, const std::string& key, const std::string& name)
{
    auto v = impl_->ReadValue(hive, key, name);
    if (!v || v->kind != TRegValueKind::Integer)
        return std::nullopt;
    return v->number;
}

std::optional<std::string> TRegistryStore::ReadBinary(THive hive, const std::string& key, const std::string& name)
{
    auto v = impl_->ReadValue(hive, key, name);
    if (!v || v->kind != TRegValueKind::Binary)
        return std::nullopt;
    return v->data;
}

std::optional<TRegValueKind> TRegistryStore::ValueKind(THive hive, const std::string& key, const std::string& name)
{
    auto v = impl_->ReadValue(hive, key, name);
    return v ? std::optional<TRegValueKind>(v->kind) : std::nullopt;
}

void TRegistryStore::WriteString(THive hive, const std::string& key, const std::string& name, const std::string& value)
{
    impl_->WriteValue(hive, key, RegValue {name, TRegValueKind::String, value, 0});
}

void TRegistryStore::WriteInteger(THive hive, const std::string& key, const std::string& name, std::uint32_t value)
{
    impl_->WriteValue(hive, key, RegValue {name, TRegValueKind::Integer, {}, value});
}

void TRegistryStore::WriteBinary(THive hive, const std::string& key, const std::string& name, const std::string& bytes)
{
    impl_->WriteValue(hive, key, RegValue {name, TRegValueKind::Binary, bytes, 0});
}

bool TRegistryStore::DeleteValue(THive hive, const std::string& key, const std::string& name)
{
    std::lock_guard guard(impl_->mutex);
    if (!impl_->Find(hive, key))
        return false;
    return impl_->Modify(hive, [&](RegKey& root) {
        RegKey* k = &root;
        for (const auto& part : SplitPath(key))
            if (!(k = k->Child(part)))
                return false;
        auto it = std::find_if(k->values.begin(), k->values.end(),
                               [&](const RegValue& v) { return SameName(v.name, name); });
        if (it == k->values.end())
            return false;
        k->values.erase(it);
        return true;
    });
}

bool TRegistryStore::DeleteKey(THive hive, const std::string& key)
{
    std::vector<std::string> parts = SplitPath(key);
    if (parts.empty())
        return false;
    std::lock_guard guard(impl_->mutex);
    if (!impl_->Find(hive, key))
        return false;
    return impl_->Modify(hive, [&](RegKey& root) {
        RegKey* parent = &root;
        for (std::size_t i = 0; i + 1 < parts.size(); ++i)
            if (!(parent = parent->Child(parts[i])))
                return false;
        return parent->children.erase(Lower(parts.back())) > 0;
    });
}

std::vector<std::string> TRegistryStore::ListSubkeys(THive hive, const std::string& key)
{
    std::lock_guard guard(impl_->mutex);
    std::vector<std::string> names;
    if (RegKey* k = impl_->Find(hive, key))
        for (const auto& [lower, child] : k->children)
            names.push_back(child->name);
    std::vector<std::string> parts = SplitPath(key);
    if (IsShellFoldersAncestor(hive, parts)) {
        // The next name on the way to the virtual key is there even when not stored.
        std::vector<std::string> full = SplitPath(
            "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
        const std::string& next = full[parts.size()];
        if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, next); })) {
            names.push_back(next);
            std::sort(names.begin(), names.end(),
                      [](const std::string& a, const std::string& b) { return Lower(a) < Lower(b); });
        }
    }
    return names;
}

std::vector<std::string> TRegistryStore::ListValues(THive hive, const std::string& key)
{
    std::lock_guard guard(impl_->mutex);
    std::vector<std::string> names;
    if (RegKey* k = impl_->Find(hive, key))
        for (const auto& v : k->values)
            names.push_back(v.name);
    if (IsShellFolders(hive, SplitPath(key)))
        for (const char* virt : {"Local AppData", "Personal"})
            if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, virt); }))
                names.push_back(virt);
    return names;
}

std::filesystem::path RegistryFolder()
{
    return GetXdgConfigHome() / "Veldhaven";
}

TRegistryStore& Registry()
{
    static std::mutex mutex;
    // Stores of folders left behind stay alive: a caller may still hold a reference.
    static std::vector<std::unique_ptr<TRegistryStore>> stores;
    std::lock_guard guard(mutex);
    std::filesystem::path folder = RegistryFolder();
    if (stores.empty() || stores.back()->Folder() != folder)
        stores.push_back(std::make_unique<TRegistryStore>(folder));
    return *stores.back();
}

bool RegOpenKey(THive hive, const std::string& key, bool create) { return Registry().OpenKey(hive, key, create); }
bool RegKeyExists(THive hive, const std::string& key) { return Registry().KeyExists(hive, key); }

std::optional<std::string> RegReadString(THive hive, const std::string& key, const std::string& name)
{
    return Registry().ReadString(hive, key, name);
}

std::optional<std::uint32_t> RegReadInteger(THive hive, const std::string& key, const std::string& name)
{
    return Registry().ReadInteger(hive, key, name);
}

std::optional<std::string> RegReadBinary(THive hive, const std::string& key, const std::string& name)
{
    return Registry().ReadBinary(hive, key, name);
}

void RegWriteString(THive hive, const std::string& key, const std::string& name, const std::string& value)
{
    Registry().WriteString(hive, key, name, value);
}

void RegWriteInteger(THive hive, const std::string& key, const std::string& name, std::uint32_t value)
{
    Registry().WriteInteger(hive, key, name, value);
}

void RegWriteBinary(THive hive, const std::string& key, const std::string& name, const std::string& bytes)
{
    Registry().WriteBinary(hive, key, name, bytes);
}

bool RegDeleteValue(THive hive, const std::string& key, const std::string& name)
{
    return Registry().DeleteValue(hive, key, name);
}

bool RegDeleteKey(THive hive, const std::string& key) { return Registry().DeleteKey(hive, key); }

std::vector<std::string> RegListSubkeys(THive hive, const std::string& key)
{
    return Registry().ListSubkeys(hive, key);
}

std::vector<std::string> RegListValues(THive hive, const std::string& key)
{
    return Registry().ListValues(hive, key);
}

} // namespace bm
