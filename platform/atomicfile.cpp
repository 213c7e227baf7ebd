#include "platform/atomicfile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/privatefiles.h"

namespace bm {

namespace {

[[noreturn]] void Fail(const std::filesystem::path& file, const char* what, int err)
{
    throw EAtomicWriteError("Cannot write " + file.string() + ": " + what + ": " + std::strerror(err));
}

bool WriteAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

void SyncFolder(const std::filesystem::path& folder)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

namespace {

void ReplaceFile(const std::filesystem::path& file, const std::string& bytes, bool sync)
{
    std::filesystem::path folder = file.parent_path();
    if (folder.empty())
        folder = ".";
    std::error_code ec;
    CreatePrivateFolders(folder, ec);
    std::string temp = (folder / ("." + file.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        Fail(file, "create temporary", errno);
    struct stat old {};
    if (::stat(file.c_str(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777);
    int err = 0;
    const char* what = nullptr;
    if (!WriteAll(fd, bytes)) {
        err = errno ? errno : EIO;
        what = "write";
    } else if (sync && ::fsync(fd) != 0) {
        err = errno;
        what = "fsync";
    }
    if (::close(fd) != 0 && !what) {
        err = errno;
        what = "close";
    }
    if (!what && ::rename(temp.c_str(), file.c_str()) != 0) {
        err = errno;
        what = "rename";
    }
    if (what) {
        ::unlink(temp.c_str());
        Fail(file, what, err);
    }
    if (sync)
        SyncFolder(folder);
}

} // namespace

void WriteFileAtomic(const std::filesystem::path& file, const std::string& bytes)
{
    ReplaceFile(file, bytes, true);
}

void WriteFileAtomicUnsynced(const std::filesystem::path& file, const std::string& bytes)
{
    ReplaceFile(file, bytes, false);
}

bool ReadWholeFile(const std::filesystem::path& file, std::string& bytes)
{
    bytes.clear();
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

} // namespace bm
