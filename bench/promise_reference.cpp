// SPDX-License-Identifier: GPL-3.0-or-later
// The least a run over many files must do for its durable promise, for
// bench/smallfiles.sh to time beside the program: each output written to an
// unnamed file in its own folder, then per group one flush of each file
// system for the data, every output linked under its name, and one more
// flush for the names. The same steps as the program's group commit, without
// anything else.
// Usage: tenvarix-promise-reference KEY SUFFIX [GROUP] < LIST
//   Each listed file XORed with the repeating KEY into the path with SUFFIX
//   appended, GROUP files (default 2000, as many as the program lets wait)
//   committed together. Exits 1 with a message at the first failure.
#include "whole_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void die(const std::string &what, const std::string &path)
{
    std::cerr << "tenvarix-promise-reference: " << what << " " << path << ": "
              << std::strerror(errno) << "\n";
    std::exit(1);
}

// A written output waiting for its name: its unnamed file, its folder and
// its name there.
struct Pending {
    int file;
    int folder;
    std::string name;
    std::string path;
};

class Reference {
public:
    Reference(std::string key, std::string suffix)
        : key_(std::move(key)),
          suffix_(std::move(suffix))
    {
    }
    ~Reference()
    {
        for (const auto &[_, fd] : folders_)
            ::close(fd);
    }
    Reference(const Reference &) = delete;
    Reference &operator=(const Reference &) = delete;

    void write(const std::string &path)
    {
        UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in)
            die("cannot open", path);
        const ssize_t size = ReadWhole(in.get(), buffer_);
        if (size < 0)
            die("cannot read", path);
        in.reset();
        XorWithKey(buffer_.data(), std::size_t(size), key_);

        const std::string out = path + suffix_;
        const std::size_t slash = out.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : out.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? out : out.substr(slash + 1);
        auto [it, fresh] = folders_.try_emplace(folder, -1);
        if (fresh && (it->second = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0)
            die("cannot open folder", folder);
        const int file = ::openat(it->second, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (file < 0)
            die("cannot make an unnamed file in", folder);
        if (!WriteAll(file, buffer_.data(), std::size_t(size)))
            die("cannot write", out);
        pending_.push_back({file, it->second, name, out});
    }

    // One flush for the data, the names, one flush for the names.
    void commit()
    {
        if (pending_.empty())
            return;
        if (::syncfs(pending_.front().file) != 0)
            die("cannot flush", pending_.front().path);
        for (const Pending &p : pending_) {
            if (::linkat(p.file, "", p.folder, p.name.c_str(), AT_EMPTY_PATH) != 0) {
                const std::string self = "/proc/self/fd/" + std::to_string(p.file);
                if (::linkat(AT_FDCWD, self.c_str(), p.folder, p.name.c_str(), AT_SYMLINK_FOLLOW) !=
                    0)
                    die("cannot link", p.path);
            }
        }
        if (::syncfs(pending_.front().file) != 0)
            die("cannot flush the names of", pending_.front().path);
        for (const Pending &p : pending_)
            if (::close(p.file) != 0)
                die("cannot close", p.path);
        pending_.clear();
    }

    std::size_t pending() const { return pending_.size(); }

private:
    std::string key_, suffix_;
    std::vector<char> buffer_;
    std::map<std::string, int> folders_;
    std::vector<Pending> pending_;
};

} // namespace

int main(int argc, char **argv)
{
    if ((argc != 3 && argc != 4) || !*argv[1]) {
        std::cerr << "usage: tenvarix-promise-reference KEY SUFFIX [GROUP] < LIST\n";
        return 2;
    }
    const std::size_t group = argc == 4 ? std::max(1L, std::atol(argv[3])) : 2000;
    // A descriptor for each output of a group, as the program raises its limit.
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < group + 64) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, group + 64);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    Reference reference(argv[1], argv[2]);
    std::string path;
    while (std::getline(std::cin, path)) {
        reference.write(path);
        if (reference.pending() >= group)
            reference.commit();
    }
    reference.commit();
    return 0;
}
