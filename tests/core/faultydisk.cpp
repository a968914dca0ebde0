// SPDX-License-Identifier: GPL-3.0-or-later
#include "faultydisk.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace faultydisk {
namespace {

std::mutex mutex;
std::condition_variable released;
std::string close_fails, open_held;

template <typename Fn> Fn real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

void wait_if_held(const char *path)
{
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [path] { return open_held.empty() || open_held != path; });
}

} // namespace

void fail_close_of(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex);
    close_fails = path;
}

void hold_open_of(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex);
    open_held = path;
}

void release_open()
{
    std::lock_guard<std::mutex> lock(mutex);
    open_held.clear();
    released.notify_all();
}

void reset()
{
    syncfs_delay_ms = 0;
    syncfs_calls = 0;
    syncfs_fails_from = 0;
    folder_fsync_fails = false;
    file_fsync_calls = 0;
    file_fsync_fails_at = 0;
    no_unnamed_files = false;
    thread_calls = 0;
    threads_fail_from = 0;
    fail_close_of("");
    release_open();
}

} // namespace faultydisk

using namespace faultydisk;

extern "C" int syncfs(int fd)
{
    if (const int delay = syncfs_delay_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    const int call = ++syncfs_calls;
    if (syncfs_fails_from > 0 && call >= syncfs_fails_from) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int)>("syncfs")(fd);
}

extern "C" int fsync(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0 &&
        (S_ISDIR(st.st_mode) ? folder_fsync_fails.load()
                             : S_ISREG(st.st_mode) && ++file_fsync_calls == file_fsync_fails_at)) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int)>("fsync")(fd);
}

extern "C" int close(int fd)
{
    bool fail = false;
    if (const int flags = fcntl(fd, F_GETFL); flags >= 0 && (flags & O_ACCMODE) == O_RDWR) {
        std::lock_guard<std::mutex> lock(mutex);
        struct stat file, named;
        fail = !close_fails.empty() && fstat(fd, &file) == 0 &&
               stat(close_fails.c_str(), &named) == 0 && file.st_dev == named.st_dev &&
               file.st_ino == named.st_ino;
        if (fail)
            close_fails.clear();
    }
    const int result = real<int (*)(int)>("close")(fd);
    if (fail) {
        errno = EIO;
        return -1;
    }
    return result;
}

extern "C" int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    wait_if_held(path);
    return real<int (*)(const char *, int, ...)>("open")(path, flags, mode);
}

extern "C" int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
    if (no_unnamed_files && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return real<int (*)(int, const char *, int, ...)>("openat")(dirfd, path, flags, mode);
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *),
                              void *arg)
{
    if (threads_fail_from > 0 && ++thread_calls >= threads_fail_from)
        return EAGAIN;
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    return real<Create>("pthread_create")(thread, attr, start, arg);
}
