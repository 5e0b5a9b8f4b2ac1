#include "shared/scratch.hpp"

#include "base/bytes.hpp"
#include "base/fd.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace vandrel {
namespace {

constexpr const char* TEMP_DIR_VARIABLE = "TMPDIR";
constexpr std::string_view DEFAULT_TEMP_DIR = "/tmp";
constexpr std::string_view NAME_PREFIX = "vandrel-";
constexpr mode_t SCRATCH_MODE = 0700;

constexpr int SEED_COMPRESSION_ROUNDS = 1;
constexpr int SEED_FINALIZATION_ROUNDS = 3;

constexpr std::string_view HEX = "0123456789abcdef";
constexpr std::size_t NAME_DIGITS = 8;

constexpr std::uint64_t WYRAND_INCREMENT = 0x2D358DCCAA6C78A5;
constexpr std::uint64_t WYRAND_MIX = 0x8BB84B93962EACC9;

// Appends `base` and `name` joined by one "/", which an empty base or one
// that already ends in "/" does not need.
std::string join(std::string base, std::string_view name) {
    if (!base.empty() && base.back() != '/')
        base += '/';
    base += name;
    return base;
}

Result<std::string> current_dir() {
    // glibc sizes the buffer itself when given none, so no path is too long.
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (!cwd)
        return BrokerError::io(IoError::last_os());
    return std::string(cwd.get());
}

// TMPDIR when set (even empty), else "/tmp"; an empty or relative value is
// anchored at the working directory now, because the owner later changes into
// the scratch directory and a relative path would then no longer reach it.
Result<std::string> temp_dir() {
    const char* value = std::getenv(TEMP_DIR_VARIABLE);
    if (value == nullptr)
        return std::string(DEFAULT_TEMP_DIR);
    const std::string_view dir = value;
    if (!dir.empty() && dir.front() == '/')
        return std::string(dir);
    auto cwd = current_dir();
    if (!cwd)
        return std::move(cwd).error();
    if (dir.empty())
        return std::move(cwd).value();
    return join(std::move(cwd).value(), dir);
}

// The temporary directory, opened as a parent for the *at calls; invalid when
// it cannot be.
Fd open_temp_dir() {
    Result<std::string> base = temp_dir();
    if (!base)
        return Fd();
    return Fd(::open(base->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// Removes the directory `name` under `parent` with everything in it. Entries
// are opened with O_NOFOLLOW and unlinked where they stand, so a symbolic link
// is removed as a link and nothing outside the tree is touched. Failures are
// ignored: whatever cannot be removed stays.
void remove_tree_at(int parent, const char* name) {
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    DIR* dir = ::fdopendir(fd); // owns `fd` from here on
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* child = entry->d_name;
        if (std::strcmp(child, ".") == 0 || std::strcmp(child, "..") == 0)
            continue;
        if (entry->d_type == DT_DIR) {
            remove_tree_at(fd, child);
            continue;
        }
        // Unknown types are tried as files first; Linux refuses to unlink a
        // directory with EISDIR, and then it is removed as one.
        if (::unlinkat(fd, child, 0) != 0 && errno == EISDIR)
            remove_tree_at(fd, child);
    }
    ::closedir(dir);
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// The 128-bit product that wyrand needs; both supported compilers have it.
__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t rotl(std::uint64_t x, int bits) {
    return (x << bits) | (x >> (64 - bits));
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    void compress(std::uint64_t m, int rounds) {
        v3 ^= m;
        for (int i = 0; i < rounds; ++i)
            round();
        v0 ^= m;
    }
};

// The seed: SipHash-1-3 under the zero key over the monotonic clock's seconds
// (i64 LE) and nanoseconds (u32 LE) and the thread id (u64 LE).
std::uint64_t fresh_seed() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto thread_id = static_cast<std::uint64_t>(::gettid());

    std::array<std::uint8_t, 8 + 4 + 8> bytes{};
    const std::span<std::uint8_t> out(bytes);
    store_le(out.subspan(0, 8), static_cast<std::uint64_t>(static_cast<std::int64_t>(now.tv_sec)));
    store_le(out.subspan(8, 4), static_cast<std::uint32_t>(now.tv_nsec));
    store_le(out.subspan(12, 8), thread_id);
    return siphash(bytes, 0, 0, SEED_COMPRESSION_ROUNDS, SEED_FINALIZATION_ROUNDS);
}

} // namespace

std::uint64_t siphash(std::span<const std::uint8_t> data, std::uint64_t k0, std::uint64_t k1,
                      int c_rounds, int d_rounds) {
    SipState s{k0 ^ 0x736f6d6570736575, k1 ^ 0x646f72616e646f6d, k0 ^ 0x6c7967656e657261,
               k1 ^ 0x7465646279746573};
    const std::size_t whole = data.size() - data.size() % 8;
    for (std::size_t i = 0; i < whole; i += 8)
        s.compress(load_le(data.subspan(i, 8)), c_rounds);
    // The last block holds the remaining bytes and, in its top byte, the
    // length modulo 256.
    const std::uint64_t last =
        load_le(data.subspan(whole)) | (std::uint64_t{data.size() & 0xff} << 56);
    s.compress(last, c_rounds);
    s.v2 ^= 0xff;
    for (int i = 0; i < d_rounds; ++i)
        s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint32_t wyrand_next(std::uint64_t& state) {
    state += WYRAND_INCREMENT;
    const u128 product = u128{state} * u128{state ^ WYRAND_MIX};
    const auto mixed =
        static_cast<std::uint64_t>(product >> 64) ^ static_cast<std::uint64_t>(product);
    return static_cast<std::uint32_t>(mixed);
}

std::uint32_t scratch_random_u32() {
    thread_local std::optional<std::uint64_t> state;
    if (!state)
        state = fresh_seed();
    return wyrand_next(*state);
}

std::string scratch_dir_name(std::string_view tag, std::uint32_t number) {
    std::string name;
    name.reserve(NAME_PREFIX.size() + tag.size() + 1 + NAME_DIGITS);
    name += NAME_PREFIX;
    name += tag;
    name += '-';
    for (int shift = 28; shift >= 0; shift -= 4)
        name += HEX[(number >> shift) & 0xf];
    return name;
}

bool is_scratch_dir_name(std::string_view name, std::string_view tag) {
    const std::size_t head = NAME_PREFIX.size() + tag.size() + 1;
    if (name.size() != head + NAME_DIGITS || !name.starts_with(NAME_PREFIX) ||
        name.substr(NAME_PREFIX.size(), tag.size()) != tag || name[head - 1] != '-')
        return false;
    return name.substr(head).find_first_not_of(HEX) == std::string_view::npos;
}

void remove_scratch_tree(const std::string& path) {
    remove_tree_at(AT_FDCWD, path.c_str());
}

ChildScratch ChildScratch::choose(std::string_view tag, std::uint32_t number) {
    std::string name = scratch_dir_name(tag, number);
    const Fd parent = open_temp_dir();
    struct stat entry {};
    // A temporary directory that cannot be opened holds nothing of ours: the
    // child fails to make its directory there too.
    const bool taken = !parent.valid() ||
                       ::fstatat(parent.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 ||
                       errno != ENOENT;
    return ChildScratch(std::move(name), taken);
}

void ChildScratch::remove() const {
    if (taken_)
        return;
    const Fd parent = open_temp_dir();
    if (!parent.valid())
        return;
    struct stat entry {};
    if (::fstatat(parent.get(), name_.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(entry.st_mode) && entry.st_uid == ::geteuid())
        remove_tree_at(parent.get(), name_.c_str());
}

Result<ScratchDir> ScratchDir::create(std::string_view tag) {
    return create_named(scratch_dir_name(tag, scratch_random_u32()));
}

Result<ScratchDir> ScratchDir::create_named(std::string_view name) {
    // Only ever a name directly under the temporary directory.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        return BrokerError::io(IoError::os(EINVAL));
    auto dir = temp_dir();
    if (!dir)
        return std::move(dir).error();
    std::string path = join(std::move(dir).value(), name);
    if (::mkdir(path.c_str(), SCRATCH_MODE) != 0)
        return BrokerError::io(IoError::last_os());
    return ScratchDir(std::move(path));
}

ScratchDir::ScratchDir(ScratchDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

ScratchDir& ScratchDir::operator=(ScratchDir&& other) noexcept {
    if (this != &other) {
        if (!path_.empty())
            remove_tree_at(AT_FDCWD, path_.c_str());
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

ScratchDir::~ScratchDir() {
    if (!path_.empty())
        remove_tree_at(AT_FDCWD, path_.c_str());
}

} // namespace vandrel
