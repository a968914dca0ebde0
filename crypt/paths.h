// SPDX-License-Identifier: GPL-3.0-or-later
// Names of files and folders, and the process's umask, inside crypt/.
#pragma once

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

// The process's umask, read without changing it.
mode_t CurrentUmask();

// The folder a path names its last part in ("." or "/" where it has no other),
// and that last part.
std::string directory_of(const std::string &path);
std::string name_in_directory(const std::string &path);

// Whether two stats are of one file.
inline bool SameFile(const struct stat &st, const struct stat &other)
{
    return st.st_dev == other.st_dev && st.st_ino == other.st_ino;
}

// The name by which /proc leads to an open descriptor of this process.
std::string DescriptorPath(int fd);
// The path the kernel knows an open file by; empty when /proc cannot say.
std::string PathOf(int fd);
// A number of eight random bytes (the kernel's, else rand()'s).
std::uint64_t RandomNumber();
// A name for a hidden temporary file: ".tvx" and eight letters, each number
// giving others (numbers counted on from a random one give names as hard to
// foresee as random ones, without asking the kernel for each).
std::string HiddenName(std::uint64_t number);
