// A private, uniquely named temporary directory that lives exactly as long as
// its owner, and the small pseudo-random generator that names it.
#pragma once

#include "base/error.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
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
    // Creates the directory `name` (a plain name, as scratch_dir_name makes
    // one) under the temporary directory, exactly as `create` does: the
    // child's broker chose the name.
    static Result<ScratchDir> create_named(std::string_view name);

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

// The scratch directory of a Steam child, named by its broker before the
// child starts, so that the broker can remove it however the child ends: a
// killed child cannot remove its own, and one killed before it could say
// where it works would otherwise leave it behind.
class ChildScratch {
  public:
    // The name scratch_dir_name makes for `tag` and `number`; the broker
    // draws the number from this thread's generator, as a child draws its own.
    static ChildScratch choose(std::string_view tag, std::uint32_t number);

    // The directory's name, for the child's command line.
    const std::string& name() const { return name_; }
    // Removes the directory and all it holds if the child made it: the entry
    // of its name directly under the temporary directory (TMPDIR, resolved as
    // a child that inherited our environment and working directory resolves
    // it) is a directory of our own user and not a symbolic link, and
    // nothing had that name when it was chosen (the child refuses an existing
    // one, which is never ours to remove). Ignores failures.
    void remove() const;

  private:
    ChildScratch(std::string name, bool taken) : name_(std::move(name)), taken_(taken) {}

    std::string name_;
    bool taken_; // something had the name already when it was chosen
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
