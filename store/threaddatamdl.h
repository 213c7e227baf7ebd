#pragma once
// TThreadData: the connection through which a thread other than the main
// thread (the Mail check's classifier, the quarantine list loader) reads and
// writes the quarantine tables. Each owner creates its own instance, so every
// worker has a connection of its own; nothing is shared with TFFData.
//
// Threads: an instance may be created in one thread and then used by another
// (the loader is created by the main thread and runs in its own), but by one
// thread at a time.
// Failures: engine failures propagate as EDatabaseError with the engine's
// message (a missing table, a broken unique index); nothing is caught here.

#include "store/quarantinedbU.h"

#include <filesystem>
#include <string>

namespace bm {

class TMailMessage;

class TThreadData : public TQuarantineConnection {
public:
    // Opens a connection on the database file (default: QuarantineDbPath()).
    // The tables must already exist: TFFData creates them at start-up.
    explicit TThreadData(const std::filesystem::path& file = {});
    ~TThreadData() override;

    // The decimal number unique to this instance, and the connection's name
    // built from it ("DB_" + number), for the trace log.
    int Number() const { return number_; }
    std::string Name() const;

    // Appends a QuarantineQueue row with KeyID = keyId (-1 for a message that
    // belongs to no key), Account = account and Message = the message in the
    // message text form; returns the new row's ID.
    int QueueMessage(const std::string& account, int keyId, const TMailMessage& message);

private:
    int number_;
};

} // namespace bm
