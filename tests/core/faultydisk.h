// SPDX-License-Identifier: GPL-3.0-or-later
// A disk that misbehaves as real ones do, for the core's tests: the test
// binary's own syncfs, fsync, close, open, openat and pthread_create stand in front of the C
// library's for every call the core makes, and pass through unless a fault
// below is armed.
#pragma once

#include <atomic>
#include <string>

namespace faultydisk {

// Every syncfs waits this long first (a flush that costs time, as on a
// slow stick, an SD card or a network share).
inline std::atomic<int> syncfs_delay_ms{0};
// The syncfs calls so far, and from which one on (1-based) they fail with
// EIO; 0 for none.
inline std::atomic<int> syncfs_calls{0};
inline std::atomic<int> syncfs_fails_from{0};
// fsync of a folder fails with EIO.
inline std::atomic<bool> folder_fsync_fails{false};
// The fsync calls on regular files so far, and which one (1-based) fails
// with EIO, as a file whose writeback failed; 0 for none.
inline std::atomic<int> file_fsync_calls{0};
inline std::atomic<int> file_fsync_fails_at{0};
// Unnamed temporary files (O_TMPFILE) are not supported, as on FAT.
inline std::atomic<bool> no_unnamed_files{false};

// From this call of pthread_create on (1-based, counted from reset()), no
// thread can be had (EAGAIN); 0 for none.
inline std::atomic<int> thread_calls{0};
inline std::atomic<int> threads_fail_from{0};

// The close of a descriptor open for reading and writing on the file this
// path names when it is closed fails with EIO (after closing it, as Linux
// does), once; empty for none.
void fail_close_of(const std::string &path);
// An open of this path waits until released; empty for none.
void hold_open_of(const std::string &path);
void release_open();

// Everything back to passing through.
void reset();

} // namespace faultydisk
