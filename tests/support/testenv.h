#pragma once
// Test environment helpers shared by every test executable.

#include <filesystem>
#include <optional>
#include <string>

namespace bm::test {

// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Points HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR and
// XDG_DOCUMENTS_DIR at a private temporary folder for the life of the object.
class PrivateHome {
public:
    PrivateHome();
    const std::filesystem::path& root() const { return dir_.path(); }

private:
    TempDir dir_;
};

// Sets (or, with a null value, removes) an environment variable for the
// life of the object and puts the old value back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& file);
// Writes bytes to a file, creating parent folders.
void WriteFileBytes(const std::filesystem::path& file, const std::string& bytes);

} // namespace bm::test
