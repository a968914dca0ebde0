// SPDX-License-Identifier: GPL-3.0-or-later
// The naive durable loop over a list of files, for bench/smallfiles.sh to
// time, and the check of the program's outputs.
// Usage: tenvarix-smallfiles-loop write|check KEY SUFFIX < LIST
//   write: reads each listed file, XORs it with the repeating KEY, writes it to
//          the path with SUFFIX appended and fsyncs it, one file after another.
//   check: each path with SUFFIX appended must hold its file XOR the KEY.
// Exits 1 with a message at the first failure.
#include "whole_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void die(const std::string &what, const std::string &path)
{
    std::cerr << "tenvarix-smallfiles-loop: " << what << " " << path << ": " << std::strerror(errno)
              << "\n";
    std::exit(1);
}

// Reads the file at path into buffer; the bytes read.
std::size_t read_file(const std::string &path, std::vector<char> &buffer)
{
    const UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        die("cannot open", path);
    const ssize_t size = ReadWhole(in.get(), buffer);
    if (size < 0)
        die("cannot read", path);
    return std::size_t(size);
}

void write_durably(const std::string &path, const char *data, std::size_t size)
{
    UniqueFd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!out)
        die("cannot create", path);
    if (!WriteAll(out.get(), data, size))
        die("cannot write", path);
    if (::fsync(out.get()) != 0)
        die("cannot fsync", path);
    if (!out.close())
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
    std::vector<char> data, output;
    std::string path;
    while (std::getline(std::cin, path)) {
        const std::size_t size = read_file(path, data);
        XorWithKey(data.data(), size, key);
        if (mode == "write") {
            write_durably(path + suffix, data.data(), size);
        } else if (read_file(path + suffix, output) != size ||
                   std::memcmp(output.data(), data.data(), size) != 0) {
            std::cerr << "tenvarix-smallfiles-loop: " << path + suffix << " does not hold " << path
                      << " XOR the key\n";
            return 1;
        }
    }
    return 0;
}
