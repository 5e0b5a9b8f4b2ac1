// A private, uniquely named temporary directory that lives exactly as long as
// its owner, and the small pseudo-random generator that names it.
#pragma once

#include "error.hpp"

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
