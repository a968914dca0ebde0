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

std::uint64_t RandomNumber()
{
    std::uint64_t number = 0;
    if (::getrandom(&number, sizeof number, 0) != static_cast<ssize_t>(sizeof number))
        number =
            (static_cast<std::uint64_t>(::rand()) << 32) ^ static_cast<std::uint64_t>(::rand());
    return number;
}

std::string HiddenName(std::uint64_t number)
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    // splitmix64: neighbouring numbers give unrelated letters.
    std::uint64_t z = number + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    std::string name = ".tvx";
    for (int i = 0; i < 8; ++i, z /= sizeof kAlphabet - 1)
        name += kAlphabet[z % (sizeof kAlphabet - 1)];
    return name;
}
