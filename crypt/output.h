// SPDX-License-Identifier: GPL-3.0-or-later
// The output side of the byte transform, inside crypt/: where a partner
// file's bytes go (a new file, a replacement or the existing file in place)
// and how fast they are pushed to the disk. Independent of how the bytes are
// read.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "identity.h"
#include "paths.h"
#include "run.h"
#include "writeback.h"

// What a look just before found under a name: nothing at all, a regular
// file (no link), or anything else or nothing known.
enum class NameFound { Unknown, Nothing, RegularFile };

// What one flush of the whole file system of fd (syncfs) does for a file
// there. whole: it makes the file durable; not where the file system hands
// data on (FUSE, network file systems), nor where it cannot be told.
// tells_errors: it also tells of every writeback error on the file system
// since the descriptor flushed was opened or last flushed (Linux 5.8 on, for
// the local file systems that record their writeback errors on the file
// system itself, not a stacked one).
struct FileSystemFlush {
    bool whole = false;
    bool tells_errors = false;
};
FileSystemFlush FlushOf(int fd);

// An output's folder, opened once and shared by the outputs made in it one
// after another (a list mostly names files side by side): the last one
// opened is kept for the next output.
class FolderCache {
public:
    struct Folder {
        std::string path;
        UniqueFd fd;
        // Its file system, and what one flush of it does for a file in it.
        dev_t device = 0;
        FileSystemFlush flush;
        // Whether it has a default ACL (or it cannot be told), which files
        // made in it take.
        bool default_acl = true;
        // The hidden names of its temporary files, counted on from a random
        // number (HiddenName).
        std::uint64_t first_name = 0;
        mutable std::atomic<std::uint64_t> names_given{0};
        std::string hidden_name() const { return HiddenName(first_name + names_given++); }
        // What every file made in it has of its own, as the first one showed,
        // so that a replacement need not ask again: its chattr flags, and
        // whether it has no extended attributes.
        FreshFile fresh() const;
        void learn(const FreshFile &file) const;

    private:
        // -1 until known.
        mutable std::atomic<long long> fresh_flags_{-1};
        mutable std::atomic<int> fresh_bare_{-1};
    };
    // The folder at path, opened for reading, or only as a path where the
    // user may write but not read it (its flush then goes through its file
    // system); null with errno when it cannot be opened.
    std::shared_ptr<const Folder> open(const std::string &path);
    // The user the outputs are made for (the effective user, asked once).
    uid_t user() const { return user_; }

private:
    std::shared_ptr<const Folder> last_;
    uid_t user_ = ::geteuid();
};

// Every step below that fails returns false with errno saying why: the
// errno of the call that failed, or EINVAL for a name that leads to the
// input, ENOTSUP for one that leads to no regular file, EEXIST for a name
// another file took meanwhile.
class PartnerOutput {
public:
    PartnerOutput() = default;
    PartnerOutput(const PartnerOutput &) = delete;
    PartnerOutput &operator=(const PartnerOutput &) = delete;
    // Dropped before it has its name, the file under way is discarded.
    ~PartnerOutput();

    // Prepares out_name for writing as the user's own plain open for writing
    // could; false (nothing changed) when that open is refused, the name
    // leads to the input or to no regular file, or nothing can be created.
    // durable: the file reaches the disk before it takes the name, and its
    // writeback starts as it is written. looked: what a look just before
    // found under out_name. Nothing: a new file is made straight away; should
    // one appear meanwhile, the commit refuses its name (EEXIST), as for one
    // that appears while the output is written. A regular file under a full
    // name: it is opened in its folder, no link followed, so that its real
    // name need not be asked of the kernel. folders: where the folder is
    // looked for first, if given.
    bool open(const std::string &out_name, const InputFile &input, mode_t umask, bool durable,
              NameFound looked = NameFound::Unknown, FolderCache *folders = nullptr);
    // Asked between pieces of the waits for the disk; false gives up the
    // write or commit under way (which then fail).
    void watch(std::function<bool()> go_on) { writeback_.watch(std::move(go_on)); }
    // The size the file will have: a new file gets room for it ahead of the
    // writes. A hint only; the writes decide whether the file fits.
    void expect(std::uint64_t size) { expected_ = size; }
    bool write(const char *data, std::size_t size);

    // Where the bytes go: a new file, a replacement (a temporary file that
    // takes the earlier file's name) or the earlier file itself, written in
    // place, so that what it overwrites cannot be had back. Set by open();
    // only write_in_place() changes it afterwards.
    enum class Way { New, Replacement, InPlace };
    bool in_place() const { return way_ == Way::InPlace; }
    // Whether its commit writes into the earlier file itself (a replacement
    // that cannot keep that file's owner, mode, ACL or attributes).
    bool overwrites_earlier_file();
    // A replacement takes the earlier file's owner, mode, ACL and attributes,
    // once (what overwrites_earlier_file tells). Called as its last bytes are
    // written, on the writer's thread, so that its commit has only its name
    // to take. just_opened: the output was opened a moment ago (its input was
    // read in one read), and the earlier file's look then is as good as one
    // now.
    void keep_identity(bool just_opened = false);

    // Its complete bytes as an input, on a second descriptor of its file at
    // offset 0 (an offset the two share, which nothing else uses once the
    // output is complete), for a path that leads to the name it is to take:
    // what that path gives once this output has its name. at_name is the
    // file the path leads to now and may be read (its descriptor is not
    // needed), or nothing with errno `error`: the earlier file this output
    // replaces, or no file at all (ENOENT) for a new one, so that the path is
    // known to lead there and to be as readable then as it is now.
    // The input's size is the bytes written, its identity the temporary
    // file's, its mode the one the file has once named. Nothing for an
    // output written in place, one whose temporary file has a name (which a
    // path could lead to), a path that leads elsewhere, a new file its owner
    // may not read, or a failure to reopen the file.
    std::optional<InputFile> reopen_for_reading(const std::optional<InputFile> &at_name,
                                                int error) const;

    // Its commit, in three steps. A group of outputs takes each step for all
    // of them, in list order, before the next, so that one flush of each file
    // system between the steps serves them all; an output whose step fails
    // takes no further step.
    //  1. commit_data: the complete file gets everything it keeps (a
    //     replacement that cannot keep the earlier file's attributes is
    //     written into that file instead).
    //  2. commit_name: its data reaches the disk and it takes its name.
    //     data_flushed: a flush of its file system since step 1 did the
    //     first, and what is left is to hear of any error of this file's;
    //     errors_heard: that flush also told of every writeback error on its
    //     file system since this file was opened, and none came.
    //  3. commit_end: its name reaches the disk (name_flushed: a flush of its
    //     file system since step 2 did that; else its folder is flushed, once
    //     for all the outputs in it, as folders remembers) and it is closed.
    //     keep false (an earlier output failed), or a folder flush or close
    //     that fails: a new output's name is taken back and a replaced file
    //     gets its earlier self back (where its file system can exchange
    //     names). False in those cases.
    bool commit_data();
    bool commit_name(bool data_flushed, bool errors_heard);
    // Each folder flushed: 0, or the errno of its flush.
    using FolderFlushes = std::map<std::string, int>;
    bool commit_end(bool name_flushed, bool keep, FolderFlushes &folders);
    // A descriptor of the output's file system when one flush of that whole
    // file system makes the output durable; -1 where the file system hands
    // data on (FUSE, network file systems).
    int flush_with() const;
    // Whether that flush also tells of this file's writeback errors.
    bool flush_tells_errors() const;
    // The file system of its file; false with errno when it cannot be told.
    bool device(dev_t *device) const;

private:
    int file() const { return in_place() ? target_.get() : temp_.get(); }
    // A replacement becomes the earlier file written in place: its temporary
    // file goes, and the earlier file is all that is left.
    void write_in_place();

    // in_folder: existing was opened by base_ in the folder, no link followed.
    bool open_existing(UniqueFd existing, const InputFile &input, bool in_folder,
                       FolderCache &folders);
    bool open_directory(const std::string &directory, FolderCache &folders);
    int dir() const { return folder_ ? folder_->fd.get() : -1; }
    // Unnamed with the given mode where the file system allows, else under
    // a hidden name, readable by nobody else meanwhile (mode 0600).
    bool create_temporary(mode_t mode);
    // Gives the temporary file a hidden random name in the folder, one that
    // make(name) takes, trying another while the name exists.
    bool take_hidden_name(const std::function<bool(const std::string &)> &make);
    // The temporary file's hidden name as a path, for the exit-time clean-up.
    std::string hidden_path() const { return folder_->path + "/" + named_; }
    bool copy_into_place();
    bool make_durable(bool flushed_with_file_system, bool errors_heard);
    bool take_name();
    bool flush_folder();
    bool close_named(bool keep);
    bool link_under(const std::string &name);
    bool rename_without_replacing();
    bool replace_earlier_file();
    // Swaps the file under the hidden name and the one under the output's name.
    bool exchange_names();
    void reserve(std::uint64_t end);
    void discard();

    // Whether a replacement has the earlier file's identity; unknown until
    // asked. Failed: the errno of the call that failed.
    Way way_ = Way::New;
    std::optional<Identity> identity_;
    int identity_error_ = 0;
    bool durable_ = true;
    Writeback writeback_;
    mode_t new_mode_ = 0600;
    bool mode_given_ = false; // a new output made with new_mode_ from the start
    std::shared_ptr<const FolderCache::Folder> folder_;
    std::string named_folder_; // the folder's path once the name is given
    UniqueFd target_;          // the existing output, opened for writing
    struct stat earlier_ {};   // its identity, for a replacement
    UniqueFd temp_;            // the file being written, unless in place
    ino_t temp_inode_ = 0;     // its inode, once a replacement keeps the identity
    std::string base_;         // the output's name in directory_
    std::string named_;        // the temporary's name in directory_, when it has one
    std::uint64_t written_ = 0;
    // The expected size, and how far room is set aside for it.
    std::uint64_t expected_ = 0, reserved_ = 0;
    bool emptied_ = false;   // an output in place: its earlier bytes are gone
    bool named_new_ = false; // a new output has its name
    // A replacement has its name, and the earlier file waits under the
    // hidden name named_ until the commit ends.
    bool earlier_hidden_ = false;
};
