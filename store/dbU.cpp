#include "store/dbU.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include "platform/privatefiles.h"

#include <cctype>
#include <utility>

namespace bm {

namespace {

[[noreturn]] void ThrowFor(sqlite3* db, int rc)
{
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    throw EDatabaseError(message, rc & 0xff);
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

namespace {

// The database, its -wal and its -shm hold senders, subjects and keys: only
// the owner may read them. SQLite gives the -wal and -shm files the mode of
// the database file, so the file is made 0600 before SQLite first opens it,
// and files left by an older, laxer run are tightened.
void MakeDatabaseFilesPrivate(const std::filesystem::path& file)
{
    if (file.empty() || file.string().starts_with(':'))
        return;  // an in-memory or temporary database has no file
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode);
    if (fd >= 0)
        ::close(fd);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        TightenPrivatePath(file.string() + suffix);
}

} // namespace

// --- TDatabase -------------------------------------------------------------

TDatabase::TDatabase(const std::filesystem::path& file, std::chrono::milliseconds busyTimeout)
    : file_(file)
{
    MakeDatabaseFilesPrivate(file);
    int rc = sqlite3_open_v2(file.string().c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw EDatabaseError(message, rc & 0xff);
    }
    try {
        sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
        // Reading the schema is the first access to the file's pages: a file
        // that is not a database fails here with "file is not a database"
        // before anything could be written to it.
        Exec("SELECT count(*) FROM sqlite_master");
        // Durability. In WAL mode a commit appends to the -wal file; a process
        // killed at any moment leaves every committed transaction readable
        // (the WAL lives in the OS page cache) and an uncommitted one ignored.
        // synchronous=FULL adds an fsync of the WAL at every commit, so a
        // committed row also survives a power cut. The store needs that: the
        // Mail check deletes a message on the server right after committing
        // its quarantine row, so a lost row would be a lost message. Commits
        // are few (a handful per Mail check), so the fsync costs nothing that
        // matters.
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

TDatabase::~TDatabase()
{
    // sqlite3_close_v2 defers the close until the last statement is
    // finalised, so the order of destruction of owners does not matter.
    sqlite3_close_v2(db_);
}

void TDatabase::Check(int rc) const
{
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
        ThrowFor(db_, rc);
}

void TDatabase::Exec(std::string_view sql)
{
    std::string text(sql);
    char* error = nullptr;
    int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        throw EDatabaseError(message, rc & 0xff);
    }
}

TStatement TDatabase::Prepare(std::string_view sql)
{
    return TStatement(*this, sql);
}

std::int64_t TDatabase::LastInsertId() const
{
    return sqlite3_last_insert_rowid(db_);
}

int TDatabase::Changes() const
{
    return sqlite3_changes(db_);
}

void TDatabase::VerifyIntegrity()
{
    TStatement q(*this, "PRAGMA quick_check");
    if (!q.Step())
        return;
    std::string verdict = q.Text(0);
    if (verdict != "ok")
        throw EDatabaseError(verdict, SQLITE_CORRUPT);
}

bool TDatabase::TableExists(std::string_view table)
{
    TStatement q(*this, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=:Name COLLATE NOCASE");
    q.Bind(":Name", table);
    return q.Step();
}

bool TDatabase::ColumnExists(std::string_view table, std::string_view column)
{
    TStatement q(*this, "SELECT name FROM pragma_table_info(:Table)");
    q.Bind(":Table", table);
    while (q.Step())
        if (EqualNoCase(q.Text(0), column))
            return true;
    return false;
}

// --- TStatement ------------------------------------------------------------

TStatement::TStatement(TDatabase& db, std::string_view sql) : db_(&db)
{
    int rc = sqlite3_prepare_v2(db.Handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        ThrowFor(db.Handle(), rc);
    }
}

TStatement::~TStatement()
{
    sqlite3_finalize(stmt_);
}

TStatement::TStatement(TStatement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)), stepped_(other.stepped_)
{
}

int TStatement::ParamIndex(std::string_view name) const
{
    std::string key(name);
    int index = sqlite3_bind_parameter_index(stmt_, key.c_str());
    if (index == 0)
        throw EDatabaseError("unknown parameter " + key, SQLITE_RANGE);
    return index;
}

void TStatement::ResetIfStepped()
{
    if (stepped_)
        Reset();
}

TStatement& TStatement::Bind(std::string_view name, std::int64_t value)
{
    ResetIfStepped();
    db_->Check(sqlite3_bind_int64(stmt_, ParamIndex(name), value));
    return *this;
}

TStatement& TStatement::Bind(std::string_view name, std::string_view text)
{
    ResetIfStepped();
    db_->Check(sqlite3_bind_text(stmt_, ParamIndex(name), text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT));
    return *this;
}

TStatement& TStatement::BindBlob(std::string_view name, std::string_view bytes)
{
    ResetIfStepped();
    // A zero-length blob must still be a blob, not NULL: give it a valid pointer.
    static const char empty = 0;
    const char* data = bytes.empty() ? &empty : bytes.data();
    db_->Check(sqlite3_bind_blob(stmt_, ParamIndex(name), data, static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
    return *this;
}

TStatement& TStatement::BindNull(std::string_view name)
{
    ResetIfStepped();
    db_->Check(sqlite3_bind_null(stmt_, ParamIndex(name)));
    return *this;
}

bool TStatement::Step()
{
    stepped_ = true;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    std::string message = sqlite3_errmsg(db_->Handle());
    sqlite3_reset(stmt_);
    throw EDatabaseError(message, rc & 0xff);
}

void TStatement::Run()
{
    while (Step()) {
    }
    Reset();
}

void TStatement::Reset()
{
    sqlite3_reset(stmt_);
    stepped_ = false;
}

int TStatement::ColumnCount() const
{
    return sqlite3_column_count(stmt_);
}

int TStatement::ColumnIndex(std::string_view name) const
{
    for (int i = 0, n = ColumnCount(); i < n; ++i)
        if (EqualNoCase(sqlite3_column_name(stmt_, i), name))
            return i;
    throw EDatabaseError("no such column: " + std::string(name), SQLITE_ERROR);
}

bool TStatement::IsNull(int column) const
{
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t TStatement::Int64(int column) const
{
    return sqlite3_column_int64(stmt_, column);
}

double TStatement::Double(int column) const
{
    return sqlite3_column_double(stmt_, column);
}

std::string TStatement::Text(int column) const
{
    // Blob access keeps bytes as stored (no text conversion, embedded zero
    // bytes kept); the pointer is valid until the next step.
    const void* data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (!data || size <= 0)
        return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

std::optional<std::string> TStatement::OptText(int column) const
{
    if (IsNull(column))
        return std::nullopt;
    return Text(column);
}

// --- TTransaction ----------------------------------------------------------

TTransaction::TTransaction(TDatabase& db) : db_(db)
{
    db_.Exec("BEGIN IMMEDIATE");
}

TTransaction::~TTransaction()
{
    if (done_)
        return;
    try {
        db_.Exec("ROLLBACK");
    } catch (...) {
        // The engine has already rolled back (e.g. after a full disk); nothing to undo.
    }
}

void TTransaction::Commit()
{
    db_.Exec("COMMIT");
    done_ = true;
}

} // namespace bm
