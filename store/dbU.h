#pragma once
// The adapter to the embedded table engine (SQLite 3): a connection, prepared
// statements with bound parameters, and transactions, each an RAII object.
// Nothing outside store/ sees SQLite; everything above this file speaks in
// rows and values.
//
// Threads: a TDatabase and its statements belong to the thread that uses them
// (one connection per thread, as the store's modules do); several connections
// in one process, or in several processes, may work on the same file at once.
// The engine serialises their writes, and the busy time-out makes a writer
// wait for another's transaction instead of failing at once.
//
// Failures: every engine failure throws EDatabaseError carrying the engine's
// own message (sqlite3_errmsg), e.g. "file is not a database",
// "UNIQUE constraint failed: Quarantine.Key".

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace bm {

class EDatabaseError : public std::runtime_error {
public:
    EDatabaseError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
    // The engine's primary result code (SQLITE_CONSTRAINT, SQLITE_NOTADB, ...).
    int Code() const { return code_; }

private:
    int code_;
};

class TStatement;

// One connection to one database file.
class TDatabase {
public:
    // Opens (creating when missing) the database file, switches it to WAL
    // journalling with full synchronous commits and sets the busy time-out.
    // Reads the schema once, so that a file that is not a database or is
    // damaged fails here with the engine's message; such a file is left on
    // disk exactly as it was (never replaced by an empty database).
    // Throws EDatabaseError.
    explicit TDatabase(const std::filesystem::path& file,
                       std::chrono::milliseconds busyTimeout = std::chrono::seconds(30));
    ~TDatabase();
    TDatabase(const TDatabase&) = delete;
    TDatabase& operator=(const TDatabase&) = delete;

    const std::filesystem::path& File() const { return file_; }

    // Runs one or more statements without parameters or results.
    void Exec(std::string_view sql);
    // Compiles one statement. Throws EDatabaseError (with the engine's parse
    // message) for a statement it cannot compile.
    TStatement Prepare(std::string_view sql);

    // Identity of the last row inserted through this connection.
    std::int64_t LastInsertId() const;
    // Rows changed by the last INSERT, UPDATE or DELETE of this connection.
    int Changes() const;

    // Runs the engine's quick consistency check over the whole file; throws
    // EDatabaseError with the engine's first complaint ("database disk image
    // is malformed", "*** in database main *** ...") when it finds damage.
    // Costs one read of the file: the main connection runs it once at start-up.
    void VerifyIntegrity();

    // True when the table exists in the database.
    bool TableExists(std::string_view table);
    // True when the table has a column of that name (compared without case).
    bool ColumnExists(std::string_view table, std::string_view column);

    // Throws EDatabaseError with the connection's current message when rc is
    // not a success code; used by the statement and transaction wrappers.
    void Check(int rc) const;

    sqlite3* Handle() const { return db_; }

private:
    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
};

// A compiled statement. Parameters are bound by name (":KeyID") or by 1-based
// index; Step walks the result rows; columns are read by 0-based index or by
// name. Reset happens automatically on destruction and on Bind after a Step.
class TStatement {
public:
    TStatement(TDatabase& db, std::string_view sql);
    ~TStatement();
    TStatement(TStatement&& other) noexcept;
    TStatement& operator=(TStatement&&) = delete;
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;

    // Binding throws EDatabaseError for an unknown parameter name.
    TStatement& Bind(std::string_view name, std::int64_t value);
    TStatement& Bind(std::string_view name, std::string_view text);
    TStatement& BindBlob(std::string_view name, std::string_view bytes);
    TStatement& BindNull(std::string_view name);

    // Moves to the next result row: true when there is one, false when the
    // statement is done. Throws EDatabaseError on failure (a broken unique
    // index, a busy time-out, a damaged page).
    bool Step();
    // Steps a statement that yields no rows (INSERT, UPDATE, DELETE).
    void Run();
    // Puts the statement back before its first row; bindings stay.
    void Reset();

    int ColumnCount() const;
    // Index of a result column by name (without case); throws when missing.
    int ColumnIndex(std::string_view name) const;
    bool IsNull(int column) const;
    std::int64_t Int64(int column) const;
    int Int(int column) const { return static_cast<int>(Int64(column)); }
    double Double(int column) const;
    // Text or blob bytes as stored (empty for NULL).
    std::string Text(int column) const;
    std::optional<std::string> OptText(int column) const;

private:
    int ParamIndex(std::string_view name) const;
    void ResetIfStepped();

    TDatabase* db_;
    sqlite3_stmt* stmt_ = nullptr;
    bool stepped_ = false;
};

// A write transaction: BEGIN IMMEDIATE on construction (taking the write lock
// at once, so two connections never dead-lock upgrading from read to write),
// ROLLBACK on destruction unless Commit ran.
class TTransaction {
public:
    explicit TTransaction(TDatabase& db);
    ~TTransaction();
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;
    void Commit();

private:
    TDatabase& db_;
    bool done_ = false;
};

} // namespace bm
