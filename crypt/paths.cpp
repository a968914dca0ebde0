// SPDX-License-Identifier: GPL-3.0-or-later
#include "paths.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sys/random.h>
#include <unistd.h>

mode_t CurrentUmask()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8) & 0777);
    return 077; // unknown: the narrowest
}

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string name_in_directory(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DescriptorPath(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string PathOf(int fd)
{
    // One readlink, into room for any path the kernel gives.
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink(DescriptorPath(fd).c_str(), path.data(), path.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= path.size())
        return {};
    path.resize(static_cast<std::size_t>(n));
    return path;
}

std::string RandomName()
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char raw[8];
    if (::getrandom(raw, sizeof raw, 0) != static_cast<ssize_t>(sizeof raw))
        for (unsigned char &b : raw)
            b = static_cast<unsigned char>(::rand());
    std::string name = ".tvx";
    for (unsigned char b : raw)
        name += kAlphabet[b % (sizeof kAlphabet - 1)];
    return name;
}
