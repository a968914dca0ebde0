// SPDX-License-Identifier: GPL-3.0-or-later
// What a replacement keeps of the file it replaces, inside crypt/: its
// owner, group, mode, ACL, extended attributes and chattr flags, copied to
// the new file and checked.
#pragma once

#include <optional>
#include <sys/stat.h>

// Whether an owner or mode change was refused as file systems without owners
// or permissions refuse it: not an error as long as the result matches.
bool WithoutPermissions(int error);

// What a new file has of its own before anything is kept, where known (as
// its folder gives every file made in it): its chattr flags, and whether it
// has no extended attributes. What is not known is read, and left here.
struct FreshFile {
    std::optional<unsigned> flags;
    std::optional<bool> bare;
};

// Gives the new, still empty file `to` the chattr flags of `from` that a
// plain overwrite keeps (some, such as no copy-on-write, take only on an
// empty file); false when they cannot be read or kept.
bool KeepFlags(int from, int to, FreshFile &fresh);

// Whether the new file `to` now has the owner, group, mode, ACL and
// extended attributes of `from` (through the same library calls as a copy
// that keeps them). NotKept: an owner or mode refused as not permitted, or
// attributes that cannot be copied or that differ (the file is then written
// in place instead); Failed: any other error while the owner or mode is set
// (a failing disk), which fails the output.
enum class Identity { Kept, NotKept, Failed };
// old and made: the stats of from and of to, just taken (from's perhaps at
// its open, moments before). fresh: what `to` has of its own, as in KeepFlags.
Identity KeepIdentity(int from, const struct stat &old, int to, const struct stat &made,
                      FreshFile &fresh);
