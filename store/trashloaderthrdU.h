#pragma once
// TTrashLoader: reads every QuarantinedMessages row in its own thread, over
// its own connection, and hands the whole list to the main thread in one
// synchronised call (OnLoaded), for the main window's quarantine list.
//
// Threads: create, Start and destroy on the main thread; OnLoaded runs on the
// main thread while the loader thread waits. The main thread must keep its
// event loop running until the loader is done (bm::Synchronize).
// Failures: the connection is opened in the constructor, which throws
// EDatabaseError; a failure while reading rows ends the thread without
// OnLoaded (Error() then tells the engine's message).

#include "core/datetimeU.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bm {

class TThreadData;

// One quarantine list row, from the QuarantinedMessages field of each name.
struct TTrashRow {
    int ID = 0;
    std::string From;
    std::string Subject;
    int Size = 0;
    TDateTime Sent = 0;
    TDateTime Received = 0;
    std::string Account;
    std::string UIDL;
};

class TTrashLoader {
public:
    // Opens the loader's own connection (default: QuarantineDbPath()) in the
    // calling thread; the thread does not run until Start.
    explicit TTrashLoader(const std::filesystem::path& file = {});
    // Waits for the thread, processing the main thread's events meanwhile so
    // that a pending OnLoaded cannot dead-lock; an OnLoaded not yet begun is
    // skipped.
    ~TTrashLoader();
    TTrashLoader(const TTrashLoader&) = delete;
    TTrashLoader& operator=(const TTrashLoader&) = delete;

    // Called once on the main thread with every row in ID order. The rows
    // belong to the loader: copy what is needed.
    std::function<void(TTrashLoader& sender, const std::vector<TTrashRow>& rows)> OnLoaded;

    // Starts the thread; a second call does nothing.
    void Start();
    // True once the thread has ended (after OnLoaded, or after a failure).
    bool Finished() const { return finished_; }
    // The engine's message when reading failed, else "".
    std::string Error() const;

private:
    void Run();

    std::unique_ptr<TThreadData> data_;
    std::vector<TTrashRow> rows_;
    std::thread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> cancelled_{false};
    mutable std::mutex errorMutex_;
    std::string error_;
};

} // namespace bm
