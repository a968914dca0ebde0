// The output side of the byte transform, inside crypt/: creates the partner
// file, takes its bytes, starts their writeback and either commits or
// discards it. Independent of how the bytes are read.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

#include "crypt.h"

// What the output must know of the input: its identity, so that it is never
// written, and its permission bits, which a new output takes over.
struct InputIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    mode_t mode = 0;
};

class PartnerOutput {
public:
    // The least a durable output keeps under writeback, where it starts.
    static constexpr std::uint64_t kMinInFlight = 64 * 1024;

    PartnerOutput() = default;
    PartnerOutput(const PartnerOutput &) = delete;
    PartnerOutput &operator=(const PartnerOutput &) = delete;
    // Dropped without commit(), the file under way is discarded.
    ~PartnerOutput();

    // Prepares out_name for writing as the user's own plain open for writing
    // could; false (nothing changed) when that open is refused, the name
    // leads to the input or to no regular file, or nothing can be created.
    // durable: the file reaches the disk before it takes the name, and its
    // writeback starts as it is written, a stretch at a time, what is on disk
    // leaving the page cache (faster than one flush at the end).
    bool open(const std::string &out_name, const InputIdentity &input, mode_t umask,
              bool durable);
    // Asked between pieces of the waits for the disk; false gives up the
    // write or commit under way (which then fail).
    void watch(std::function<bool()> go_on) { go_on_ = std::move(go_on); }
    // The size the file will have: a new file gets room for it ahead of the
    // writes, which spares the file system its bookkeeping page by page. A
    // hint only; the writes decide whether the file fits.
    void expect(std::uint64_t size) { expected_ = size; }
    bool write(const char *data, std::size_t size);
    // Makes the complete file durable and gives it the output name.
    bool commit();

private:
    bool open_directory(std::string directory);
    bool create_temporary();
    bool keep_identity();
    bool copy_into_place();
    bool link_under(const std::string &name);
    bool rename_without_replacing();
    void reserve(std::uint64_t end);
    bool start_writeback();
    bool wait_for_disk(std::uint64_t end, bool drop);
    void discard();

    enum class Mode { New, Replace, InPlace };
    Mode mode_ = Mode::New;
    bool durable_ = true;
    std::function<bool()> go_on_;
    mode_t new_mode_ = 0600;
    UniqueFd directory_;
    std::string directory_path_;
    UniqueFd target_;   // the existing output, opened for writing
    UniqueFd temp_;     // the file being written; target_ itself in place
    std::string base_;  // the output's name in directory_
    std::string named_; // the temporary's name in directory_, when it has one
    std::uint64_t target_device_ = 0, target_inode_ = 0;
    // Bytes written, whose writeback was started, and known to be on disk.
    std::uint64_t written_ = 0, started_ = 0, settled_ = 0;
    // The expected size, and how far room is set aside for it.
    std::uint64_t expected_ = 0, reserved_ = 0;
    // Bytes allowed under writeback behind the stretch just started; follows
    // the disk's speed, from the least.
    std::uint64_t in_flight_ = kMinInFlight;
    bool measuring_ = false, measured_ = false;
    std::chrono::steady_clock::time_point mark_time_;
    std::uint64_t mark_settled_ = 0;
    bool committed_ = false;
};

// The process's umask, read without changing it.
mode_t CurrentUmask();
