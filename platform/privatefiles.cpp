#include "platform/privatefiles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace bm {

namespace fs = std::filesystem;

bool CreatePrivateFolders(const fs::path& folder, std::error_code& ec)
{
    ec.clear();
    std::vector<fs::path> missing;
    for (fs::path p = folder; !p.empty(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0)
            break;
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), kPrivateFolderMode) != 0) {
            if (errno == EEXIST)
                continue;  // made by another thread meanwhile
            ec.assign(errno, std::generic_category());
            return false;
        }
        // A umask can take owner bits too; the folder must still be usable.
        ::chmod(it->c_str(), kPrivateFolderMode);
    }
    return true;
}

bool TightenPrivatePath(const fs::path& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    if (S_ISLNK(st.st_mode))
        return true;
    const mode_t wanted = S_ISDIR(st.st_mode) ? kPrivateFolderMode : (st.st_mode & kPrivateFileMode & 07777);
    if ((st.st_mode & 07777) == wanted)
        return true;
    return ::fchmodat(AT_FDCWD, path.c_str(), wanted, 0) == 0;
}

int TightenPrivateTree(const fs::path& folder)
{
    int skipped = TightenPrivatePath(folder) ? 0 : 1;
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!TightenPrivatePath(it->path()))
            ++skipped;
    }
    return skipped;
}

} // namespace bm
