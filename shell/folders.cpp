// SPDX-License-Identifier: GPL-3.0-or-later
// Folders named in a drop or on the command line become their files: a walk
// of the tree that runs on a worker thread and knows nothing of the window.
#include "folders.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool is_dot_or_dot_dot(const char *name)
{
    return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]));
}

// Adds the regular files under the folder open as `fd` (taken over), whose
// path is `path`, to `paths`. Links, FIFOs, sockets and devices are left out.
// A folder that cannot be opened or read through is added itself, so that a
// run stops there with "InFile not found" rather than skip its files unsaid.
// Each subfolder is opened from its parent's descriptor without following
// links (which a walk by path names cannot do), so that a folder swapped for
// a link while it is listed leads nowhere else.
void add_files_under(int fd, const std::string &path, std::vector<std::string> &paths,
                     GCancellable *cancellable)
{
    std::unique_ptr<DIR, int (*)(DIR *)> dir(fdopendir(fd), closedir);
    if (!dir) {
        close(fd);
        paths.push_back(path);
        return;
    }
    const std::string prefix = path == "/" ? path : path + '/';
    while (!g_cancellable_is_cancelled(cancellable)) {
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0)
                paths.push_back(path);
            return;
        }
        if (is_dot_or_dot_dot(entry->d_name))
            continue;
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            // An entry removed since the folder was read is simply gone.
            if (fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = IFTODT(st.st_mode);
        }
        std::string child = prefix + entry->d_name;
        if (type == DT_REG) {
            paths.push_back(std::move(child));
        } else if (type == DT_DIR) {
            int sub = openat(dirfd(dir.get()), entry->d_name,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0)
                paths.push_back(std::move(child));
            else
                add_files_under(sub, child, paths, cancellable);
        }
    }
}

} // namespace

std::vector<std::string> TenvarixCryptoFilesInFolder(const std::string &folder,
                                                     GCancellable *cancellable)
{
    std::vector<std::string> paths;
    // The folder itself may be a link: it was named, so it is followed.
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        paths.push_back(folder);
    else
        add_files_under(fd, folder, paths, cancellable);
    // std::string compares as unsigned bytes.
    std::sort(paths.begin(), paths.end());
    return paths;
}
