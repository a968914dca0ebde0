// SPDX-License-Identifier: GPL-3.0-or-later
// The naive durable loop over a list of files, for bench/smallfiles.sh to
// time, and the check of the program's outputs.
// Usage: tenvarix-smallfiles-loop write|check KEY SUFFIX < LIST
//   write: reads each listed file, XORs it with the repeating KEY, writes it to
//          the path with SUFFIX appended and fsyncs it, one file after another.
//   check: each path with SUFFIX appended must hold its file XOR the KEY.
// Exits 1 with a message at the first failure.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// An open descriptor, closed on every way out; close_checked reports its error.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool close_checked()
    {
        const int f = fd;
        fd = -1;
        return ::close(f) == 0;
    }
};

[[noreturn]] void die(const std::string &what, const std::string &path)
{
    std::cerr << "tenvarix-smallfiles-loop: " << what << " " << path << ": " << std::strerror(errno)
              << "\n";
    std::exit(1);
}

std::vector<unsigned char> read_file(const std::string &path)
{
    Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0)
        die("cannot open", path);
    std::vector<unsigned char> data;
    unsigned char block[65536];
    for (;;) {
        const ssize_t n = ::read(in.fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("cannot read", path);
        if (n == 0)
            break;
        data.insert(data.end(), block, block + n);
    }
    return data;
}

void write_durably(const std::string &path, const std::vector<unsigned char> &data)
{
    Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (out.fd < 0)
        die("cannot create", path);
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(out.fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            die("cannot write", path);
        done += std::size_t(n);
    }
    if (::fsync(out.fd) != 0)
        die("cannot fsync", path);
    if (!out.close_checked())
        die("cannot close", path);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc == 4 ? argv[1] : "";
    if ((mode != "write" && mode != "check") || !*argv[2]) {
        std::cerr << "usage: tenvarix-smallfiles-loop write|check KEY SUFFIX < LIST\n";
        return 2;
    }
    const std::string key = argv[2], suffix = argv[3];
    std::string path;
    while (std::getline(std::cin, path)) {
        std::vector<unsigned char> data = read_file(path);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] ^= static_cast<unsigned char>(key[i % key.size()]);
        if (mode == "write") {
            write_durably(path + suffix, data);
        } else if (read_file(path + suffix) != data) {
            std::cerr << "tenvarix-smallfiles-loop: " << path + suffix << " does not hold " << path
                      << " XOR the key\n";
            return 1;
        }
    }
    return 0;
}
