// SPDX-License-Identifier: GPL-3.0-or-later
// The output side of the byte transform, inside crypt/: where a partner
// file's bytes go (a new file, a replacement or the existing file in place)
// and how fast they are pushed to the disk. Independent of how the bytes are
// read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

#include "crypt.h"
#include "identity.h"
#include "paths.h"
#include "writeback.h"

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
    // writeback starts as it is written.
    bool open(const std::string &out_name, const InputFile &input, mode_t umask,
              bool durable);
    // Asked between pieces of the waits for the disk; false gives up the
    // write or commit under way (which then fail).
    void watch(std::function<bool()> go_on) { writeback_.watch(std::move(go_on)); }
    // The size the file will have: a new file gets room for it ahead of the
    // writes. A hint only; the writes decide whether the file fits.
    void expect(std::uint64_t size) { expected_ = size; }
    bool write(const char *data, std::size_t size);

    // Whether the output is the existing file itself, written in place: what
    // it overwrites cannot be had back.
    bool in_place() const { return target_ && !temp_; }
    // Whether its commit writes into the earlier file itself (a replacement
    // that cannot keep that file's owner, mode, ACL or attributes).
    bool overwrites_earlier_file();

    // The complete file gets everything it keeps (a replacement that cannot
    // keep the earlier file's attributes is written into that file instead).
    bool prepare();
    // Its data reaches the disk; flushed_with_file_system: a flush of its
    // whole file system since prepare() has done that already, and what is
    // left is to hear of any error of this file's.
    bool make_durable(bool flushed_with_file_system = false);
    // Whether a flush of the file's whole file system makes it durable: not
    // where the file system hands data on (FUSE, network file systems).
    bool file_system_flush_covers() const;
    int file() const { return temp_ ? temp_.get() : target_.get(); }
    // Gives the durable file the output name.
    bool take_name();
    // The folder whose flush makes the name durable; empty when in place.
    const std::string &folder() const { return named_folder_; }
    bool flush_folder();
    // Closes the file. keep false (its folder's flush failed), or a close
    // that fails: a new output's name is taken back, while a replaced file
    // stays the new one, complete, though its name may not survive a power
    // cut. False in those cases.
    bool close_named(bool keep);

private:
    // The way is where the bytes go: a new output has no earlier file, a
    // replacement has the earlier file and a temporary one, an output in
    // place has the earlier file alone.
    bool replaces() const { return target_ && temp_; }

    bool open_existing(UniqueFd existing, const InputFile &input);
    bool open_directory(std::string directory);
    bool create_temporary();
    // Gives the temporary file a hidden random name in the folder, one that
    // make(name) takes, trying another while the name exists.
    bool take_hidden_name(const std::function<bool(const std::string &)> &make);
    bool copy_into_place();
    bool link_under(const std::string &name);
    bool rename_without_replacing();
    void reserve(std::uint64_t end);
    void discard();

    // Whether a replacement has the earlier file's identity; unknown until asked.
    std::optional<Identity> identity_;
    bool durable_ = true;
    Writeback writeback_;
    mode_t new_mode_ = 0600;
    UniqueFd directory_;
    std::string directory_path_;
    std::string named_folder_; // directory_path_ once the name is given
    UniqueFd target_;   // the existing output, opened for writing
    UniqueFd temp_;     // the file being written, unless in place
    std::string base_;  // the output's name in directory_
    std::string named_; // the temporary's name in directory_, when it has one
    std::uint64_t written_ = 0;
    // The expected size, and how far room is set aside for it.
    std::uint64_t expected_ = 0, reserved_ = 0;
    bool emptied_ = false; // an output in place: its earlier bytes are gone
    bool named_new_ = false; // a new output has its name
};


