// A private, uniquely named temporary directory that lives exactly as long as
// its owner, and the small pseudo-random generator that names it.
#pragma once

#include "base/error.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace vandrel {

// Owns one directory "vandrel-{tag}-{8 hex digits}" under TMPDIR (or "/tmp"),
// created with mode 0700; destroying the owner removes the directory and all
// it holds without following symbolic links, and ignores every failure.
class ScratchDir {
  public:
    // Creates the directory with a fresh pseudo-random number; `Io` with the
    // system's error when mkdir fails (an existing name is never reused).
    static Result<ScratchDir> create(std::string_view tag);
    // As `create`, but with the caller's number in the name (for tests that
    // need to know the name in advance).
    static Result<ScratchDir> create_with_number(std::string_view tag, std::uint32_t number);

    ScratchDir(ScratchDir&& other) noexcept;
    ScratchDir& operator=(ScratchDir&& other) noexcept;
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();

    // The full path as created; absolute even when TMPDIR is empty or
    // relative, so removal works after the owner changes into the directory.
    const std::string& path() const { return path_; }

  private:
    explicit ScratchDir(std::string path) : path_(std::move(path)) {}

    std::string path_; // empty once moved from
};

// "vandrel-{tag}-{number}" with the number as eight lowercase hex digits.
std::string scratch_dir_name(std::string_view tag, std::uint32_t number);
// True when `name` is "vandrel-{tag}-" followed by eight lowercase hex digits.
bool is_scratch_dir_name(std::string_view name, std::string_view tag);

// Removes the directory at `path` and all it holds, as destroying its
// ScratchDir does: symbolic links are removed, never followed; failures are
// ignored.
void remove_scratch_tree(const std::string& path);

// The scratch directory of another process, found while that process runs so
// that it can be removed once the process has been killed (a killed Steam
// child cannot remove its own).
class ChildScratch {
  public:
    // The working directory of process `pid` when it is a directory named as
    // a scratch directory for `tag` (is_scratch_dir_name) and is not our own
    // working directory; none otherwise, for example when the process has not
    // changed into its scratch directory yet, has removed it, or has ended.
    static std::optional<ChildScratch> of_process(pid_t pid, std::string_view tag);
    // The directory a child reported by its `name`, found now: when the name
    // is a scratch directory name for `tag` and the entry of that name
    // directly under the temporary directory (resolved as `remove` resolves
    // it) is a directory of our own user, not a symbolic link and not our own
    // working directory; none otherwise.
    static std::optional<ChildScratch> reported(std::string_view name, std::string_view tag);

    // Removes the directory and all it holds if the entry of its name
    // directly under the temporary directory (TMPDIR, resolved as a child
    // that inherited our environment and working directory resolves it) is
    // still that same directory and not a symbolic link. Ignores failures.
    void remove() const;

  private:
    ChildScratch(std::string name, dev_t device, ino_t inode)
        : name_(std::move(name)), device_(device), inode_(inode) {}

    std::string name_;
    dev_t device_;
    ino_t inode_;
};

// The next number of this thread's generator, seeded on first use from the
// monotonic clock and the thread id. Not cryptographic.
std::uint32_t scratch_random_u32();

// One wyrand step: advances `state` and returns the 32-bit number drawn.
std::uint32_t wyrand_next(std::uint64_t& state);

// SipHash with `c_rounds` compression and `d_rounds` finalization rounds under
// the key (k0, k1), each half read little-endian; the generator uses 1 and 3.
std::uint64_t siphash(std::span<const std::uint8_t> data, std::uint64_t k0, std::uint64_t k1,
                      int c_rounds, int d_rounds);

} // namespace vandrel
