#pragma once
// What the lists kept in an XML file that replaced an older binary ".dat"
// file (filters.xml, badmailreplies.xml) share: the one-time conversion, the
// care for an XML file the reader could not take, and the owned items behind
// the list's own lock. An unreadable file leaves the list empty but is kept:
// the save that first replaces it copies it to "<file>.bak", so the records
// in it can still be recovered.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bm {

// The file side. Threads: no lock of its own; the owning list calls it under
// its lock.
class TXMLListFile {
public:
    // What loading asks of the list.
    struct TReaders {
        // Frees every item.
        std::function<void()> clear;
        // Appends the records of the ".dat" file's bytes.
        std::function<void(const std::string& bytes)> readLegacy;
        // Appends the records of the XML file; false when it cannot be read.
        std::function<bool(const std::filesystem::path& xmlFile)> readXML;
        // Writes the list to the XML file given to Load.
        std::function<void()> save;
    };

    // Clears the list and LoadFailed, then: when the ".dat" beside `file`
    // exists, reads it, saves the list as XML and deletes the ".dat";
    // otherwise, when `file` exists, reads it, and when that fails clears the
    // list again and sets LoadFailed for `file`. Throws std::runtime_error
    // "Cannot read file <dat>" when the ".dat" cannot be read, and what save
    // throws.
    void Load(const std::filesystem::path& file, const TReaders& list);
    // Call before writing `file`: copies it to "<file>.bak" when it is the
    // file that could not be read (best effort).
    void BeforeSave(const std::filesystem::path& file) const;
    // Call after `file` was written: an unreadable file is gone once replaced.
    void Saved(const std::filesystem::path& file);
    // True after a load found an XML file it could not read (until it is saved).
    bool LoadFailed() const { return loadFailed_; }

private:
    bool loadFailed_ = false;
    std::filesystem::path failedFile_;
};

// The items of such a list and its Modified flag. The derived list adds the
// items (setting their owner) and loads and saves them through file_.
// Threads: every member takes the list's own lock; a caller that keeps an
// item pointer across calls holds Mutex() for as long as it uses it.
template <class TItem>
class TXMLItemList {
public:
    TXMLItemList(const TXMLItemList&) = delete;
    TXMLItemList& operator=(const TXMLItemList&) = delete;

    int Count() const
    {
        Lock lock(mutex_);
        return static_cast<int>(items_.size());
    }
    // The item at `index` (0-based), or null when out of range. The pointer
    // stays valid until the item is deleted or the list cleared or loaded.
    TItem* Item(int index) const
    {
        Lock lock(mutex_);
        if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
            return nullptr;
        return items_[static_cast<std::size_t>(index)].get();
    }
    // Frees the item at `index` (ignored when out of range) and sets Modified.
    void Delete(int index)
    {
        Lock lock(mutex_);
        if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
            return;
        items_.erase(items_.begin() + index);
        modified_ = true;
    }
    // Frees every item and sets Modified.
    void Clear()
    {
        Lock lock(mutex_);
        items_.clear();
        modified_ = true;
    }

    bool Modified() const
    {
        Lock lock(mutex_);
        return modified_;
    }
    void SetModified(bool modified)
    {
        Lock lock(mutex_);
        modified_ = modified;
    }
    // True after a load found an XML file it could not read (until it is saved).
    bool LoadFailed() const
    {
        Lock lock(mutex_);
        return file_.LoadFailed();
    }

    // The list's lock (recursive): hold it to use item pointers or to make
    // several calls as one step.
    std::recursive_mutex& Mutex() const { return mutex_; }

protected:
    using Lock = std::lock_guard<std::recursive_mutex>;

    TXMLItemList() = default;
    ~TXMLItemList() = default;

    // Appends `item`, whose owner the caller has set, and sets Modified;
    // returns it.
    TItem* Append(std::unique_ptr<TItem> item)
    {
        Lock lock(mutex_);
        items_.push_back(std::move(item));
        modified_ = true;
        return items_.back().get();
    }

    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<TItem>> items_;
    bool modified_ = false;
    TXMLListFile file_;
};

} // namespace bm
