#include "base/text.hpp"
#include "shared/scratch.hpp"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vandrel {
namespace {

namespace fs = std::filesystem;

// The name of the directory numbered 0xBEEF for the tag "480".
constexpr std::string_view BEEF = "vandrel-480-0000beef";

// Restores TMPDIR (set or unset) when the test ends.
class TmpdirGuard {
  public:
    TmpdirGuard() {
        if (const char* v = std::getenv("TMPDIR"))
            saved_ = v;
    }
    ~TmpdirGuard() {
        if (saved_)
            ::setenv("TMPDIR", saved_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }
    TmpdirGuard(const TmpdirGuard&) = delete;
    TmpdirGuard& operator=(const TmpdirGuard&) = delete;

    void set(const std::string& value) { ::setenv("TMPDIR", value.c_str(), 1); }
    void unset() { ::unsetenv("TMPDIR"); }

  private:
    std::optional<std::string> saved_;
};

// Sets the file-creation mask and restores the old one when the test ends.
class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(saved_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

  private:
    mode_t saved_;
};

// Returns to the current working directory when the test ends.
class CwdGuard {
  public:
    CwdGuard() : saved_(fs::current_path()) {}
    ~CwdGuard() {
        std::error_code ignored;
        fs::current_path(saved_, ignored);
    }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

  private:
    fs::path saved_;
};

// A private directory for one test, removed with its contents afterwards.
class TestDir {
  public:
    TestDir() {
        std::string templ = (fs::temp_directory_path() / "scratch_test-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        path_ = fs::canonical(templ);
    }
    ~TestDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

mode_t permissions(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

void write_file(const fs::path& path, std::string_view content) {
    std::ofstream(path) << content;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ScratchDirName, EightLowercaseHexDigits) {
    EXPECT_EQ(scratch_dir_name("480", 0xBEEF), "vandrel-480-0000beef");
    EXPECT_EQ(scratch_dir_name("480", 0), "vandrel-480-00000000");
    EXPECT_EQ(scratch_dir_name("480", 0xFFFFFFFF), "vandrel-480-ffffffff");
    EXPECT_EQ(scratch_dir_name("480", 0x0A3F9C2E), "vandrel-480-0a3f9c2e");
    EXPECT_EQ(scratch_dir_name("a b", 0x12345678), "vandrel-a b-12345678");
}

TEST(ScratchDirName, RecognisedOnlyForItsTag) {
    EXPECT_TRUE(is_scratch_dir_name("vandrel-480-0a3f9c2e", "480"));
    EXPECT_TRUE(is_scratch_dir_name(scratch_dir_name("10", 0xFFFFFFFF), "10"));
    for (std::string_view name :
         {"vandrel-480-0a3f9c2e", "vandrel-4800-0a3f9c2", "vandrel-480-0A3F9C2E",
          "vandrel-480-0a3f9c2", "vandrel-480-0a3f9c2e0", "vandrel-480-0a3f9c2g",
          "vandrel-480-0a3f9c2e (deleted)", "vandrel-10_0a3f9c2e", "xandrel-10-0a3f9c2e", ""})
        EXPECT_FALSE(is_scratch_dir_name(name, "10")) << name;
}

TEST(SipHash, PublishedSipHash24Vectors) {
    // Key 00..0f; messages 00..(n-1), from the reference test vectors.
    const std::uint64_t k0 = 0x0706050403020100;
    const std::uint64_t k1 = 0x0f0e0d0c0b0a0908;
    std::array<std::uint8_t, 15> message{};
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(siphash(message, k0, k1, 2, 4), 0xa129ca6149be45e5u);
    EXPECT_EQ(siphash(std::span(message).first(0), k0, k1, 2, 4), 0x726fdb47dd0e0e31u);
}

TEST(Wyrand, StepsFromKnownStates) {
    // Worked out with arbitrary-precision arithmetic from the generator's
    // definition; a 64-bit-only product or a lost carry gives other numbers.
    std::uint64_t state = 0;
    EXPECT_EQ(wyrand_next(state), 0x8d59f0d6u);
    EXPECT_EQ(state, 0x2d358dccaa6c78a5u);
    EXPECT_EQ(wyrand_next(state), 0x189663f5u);
    EXPECT_EQ(state, 0x5a6b1b9954d8f14au);
    EXPECT_EQ(wyrand_next(state), 0x97e7a496u);

    state = 0xffffffffffffffff; // the addition wraps
    EXPECT_EQ(wyrand_next(state), 0xe333549eu);
    EXPECT_EQ(state, 0x2d358dccaa6c78a4u);
}

TEST(ScratchRandom, ThreadsAreSeededApart) {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::thread([&] { a = scratch_random_u32(); }).join();
    std::thread([&] { b = scratch_random_u32(); }).join();
    EXPECT_NE(a, b);
    EXPECT_NE(scratch_random_u32(), scratch_random_u32());
}

TEST(ScratchDir, DefaultsToTmpWithMode0700) {
    TmpdirGuard tmpdir;
    tmpdir.unset();
    UmaskGuard mask(022);
    std::string path;
    {
        auto dir = ScratchDir::create("480");
        ASSERT_TRUE(dir) << dir.error().text();
        path = dir->path();
        EXPECT_TRUE(std::regex_match(path, std::regex("/tmp/vandrel-480-[0-9a-f]{8}"))) << path;
        EXPECT_TRUE(fs::is_directory(path));
        EXPECT_EQ(permissions(path), 0700u);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

TEST(ScratchDir, ModeIsNotWidenedByAnEmptyMask) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    UmaskGuard mask(0);
    auto dir = ScratchDir::create("480");
    ASSERT_TRUE(dir) << dir.error().text();
    EXPECT_EQ(permissions(dir->path()), 0700u);
}

TEST(ScratchDir, JoinsWithASingleSlash) {
    TestDir base;
    TmpdirGuard tmpdir;
    for (const std::string& value : {base.path().string() + "/", base.path().string()}) {
        tmpdir.set(value);
        auto dir = ScratchDir::create_named(BEEF);
        ASSERT_TRUE(dir) << dir.error().text();
        EXPECT_EQ(dir->path(), base.path().string() + "/vandrel-480-0000beef")
            << "TMPDIR " << value;
    }
}

// A broker's name is made exactly as a drawn one, and only ever directly
// under TMPDIR.
TEST(ScratchDir, ANamedDirectoryIsMadeDirectlyUnderTmpdir) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    for (std::string_view bad : {"", ".", "..", "../vandrel-480-0000beef", "a/b"}) {
        auto dir = ScratchDir::create_named(bad);
        ASSERT_FALSE(dir) << bad;
        EXPECT_EQ(dir.error().text(), "io error, Invalid argument (os error 22)");
    }
    EXPECT_TRUE(fs::is_empty(base.path()));
}

TEST(ScratchDir, MissingTempDirIsAnIoError) {
    TestDir base;
    TmpdirGuard tmpdir;
    const fs::path missing = base.path() / "missing";
    tmpdir.set(missing);
    auto dir = ScratchDir::create("480");
    ASSERT_FALSE(dir);
    EXPECT_EQ(dir.error().text(), "io error, No such file or directory (os error 2)");
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(fs::is_empty(base.path()));
}

TEST(ScratchDir, ExistingNameIsNeverReused) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    auto first = ScratchDir::create_named(BEEF);
    ASSERT_TRUE(first) << first.error().text();
    write_file(fs::path(first->path()) / "keep", "mine");

    auto second = ScratchDir::create_named(BEEF);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().text(), "io error, File exists (os error 17)");
    // No other name was tried, and the existing directory is untouched.
    EXPECT_EQ(std::distance(fs::directory_iterator(base.path()), fs::directory_iterator()), 1);
    EXPECT_EQ(read_file(fs::path(first->path()) / "keep"), "mine");
}

TEST(ScratchDir, RemovesEverythingInside) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    std::string path;
    {
        auto dir = ScratchDir::create("480");
        ASSERT_TRUE(dir) << dir.error().text();
        path = dir->path();
        const fs::path root(path);
        write_file(root / "steam_appid.txt", "480");
        fs::create_directories(root / "a" / "b" / "c");
        write_file(root / "a" / "one", "1");
        write_file(root / "a" / "b" / "two", "2");
        write_file(root / "a" / "b" / "c" / "three", "3");
        fs::create_directory(root / "empty");
        write_file(root / ".hidden", "h");
        ::mkfifo((root / "fifo").c_str(), 0600);
        fs::permissions(root / "a" / "one", fs::perms::none);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    EXPECT_TRUE(fs::is_empty(base.path()));
}

TEST(ScratchDir, SymbolicLinksAreRemovedNotFollowed) {
    TestDir base;
    TmpdirGuard tmpdir;
    const fs::path tmp = base.path() / "tmp";
    fs::create_directory(tmp);
    tmpdir.set(tmp);

    const fs::path outside_file = base.path() / "outside_file";
    const fs::path outside_dir = base.path() / "outside_dir";
    write_file(outside_file, "target");
    fs::create_directory(outside_dir);
    write_file(outside_dir / "inner", "inner");
    {
        auto dir = ScratchDir::create("480");
        ASSERT_TRUE(dir) << dir.error().text();
        const fs::path root(dir->path());
        fs::create_symlink(outside_file, root / "file_link");
        fs::create_directory_symlink(outside_dir, root / "dir_link");
        fs::create_directory(root / "sub");
        fs::create_directory_symlink(outside_dir, root / "sub" / "nested_dir_link");
        fs::create_symlink(base.path() / "dangling", root / "dangling_link");
    }
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_EQ(read_file(outside_file), "target");
    EXPECT_EQ(read_file(outside_dir / "inner"), "inner");
}

TEST(ScratchDir, RemovalAfterSomeoneElseRemovedItIsSilent) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    testing::internal::CaptureStderr();
    {
        auto dir = ScratchDir::create("480");
        ASSERT_TRUE(dir) << dir.error().text();
        fs::remove_all(dir->path());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(fs::is_empty(base.path()));
}

TEST(ScratchDir, RemovalDoesNotFollowAReplacedPath) {
    TestDir base;
    TmpdirGuard tmpdir;
    const fs::path tmp = base.path() / "tmp";
    const fs::path victim = base.path() / "victim";
    fs::create_directory(tmp);
    fs::create_directory(victim);
    write_file(victim / "data", "keep");
    tmpdir.set(tmp);
    {
        auto dir = ScratchDir::create("480");
        ASSERT_TRUE(dir) << dir.error().text();
        // Someone swaps the directory for a link to another one.
        fs::remove(dir->path());
        fs::create_directory_symlink(victim, dir->path());
    }
    EXPECT_EQ(read_file(victim / "data"), "keep");
}

TEST(ScratchDir, RelativeAndEmptyTmpdirBecomeAbsolute) {
    TestDir base;
    TmpdirGuard tmpdir;
    CwdGuard cwd;
    fs::current_path(base.path());
    fs::create_directory(base.path() / "rel");

    const std::array<std::pair<std::string, fs::path>, 3> cases{{
        {"", base.path()},
        {"rel", base.path() / "rel"},
        {"rel/", base.path() / "rel"},
    }};
    for (const auto& [value, parent] : cases) {
        tmpdir.set(value);
        std::string path;
        {
            auto dir = ScratchDir::create_named(BEEF);
            ASSERT_TRUE(dir) << dir.error().text();
            path = dir->path();
            EXPECT_EQ(path, (parent / "vandrel-480-0000beef").string())
                << "TMPDIR '" << value << "'";
            // The child works inside its scratch directory until it ends.
            ASSERT_EQ(::chdir(path.c_str()), 0);
            write_file("steam_appid.txt", "480");
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << "TMPDIR '" << value << "'";
        fs::current_path(base.path());
    }
}

TEST(ScratchDir, MovingTransfersOwnership) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    auto a = ScratchDir::create_named(scratch_dir_name("1", 1));
    auto b = ScratchDir::create_named(scratch_dir_name("2", 2));
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    const std::string path_a = a->path();
    const std::string path_b = b->path();
    {
        ScratchDir moved(std::move(*a));
        EXPECT_EQ(moved.path(), path_a);
        EXPECT_TRUE(fs::is_directory(path_a));
        // Assigning over an owner removes what it owned before.
        moved = std::move(*b);
        EXPECT_FALSE(fs::exists(path_a));
        EXPECT_TRUE(fs::is_directory(path_b));
    }
    EXPECT_FALSE(fs::exists(path_b));
    EXPECT_TRUE(fs::is_empty(base.path()));
}

// The broker removes its child's directory by the name it chose: only one
// the child made, a directory of our own directly under TMPDIR, and never
// what a symbolic link in its place points to.
TEST(ChildScratch, RemovesOnlyTheDirectoryTheChildMade) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    const ChildScratch chosen = ChildScratch::choose("480", 0xBEEF);
    EXPECT_EQ(chosen.name(), BEEF);
    const fs::path dir = base.path() / BEEF;
    const fs::path victim = base.path() / "victim";
    fs::create_directory(victim);
    write_file(victim / "data", "keep");
    chosen.remove(); // not made: nothing happens, nothing is reported

    fs::create_directory_symlink(victim, dir);
    chosen.remove();
    EXPECT_TRUE(fs::is_symlink(dir));
    fs::remove(dir);
    fs::create_directories(dir / "sub");
    write_file(dir / "steam_appid.txt", "480");
    if (::geteuid() == 0) {
        constexpr uid_t NOBODY = 65534;
        ASSERT_EQ(::chown(dir.c_str(), NOBODY, NOBODY), 0);
        chosen.remove();
        EXPECT_TRUE(fs::is_directory(dir)) << "another user's";
        ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
    }
    chosen.remove();
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(read_file(victim / "data"), "keep");

    // A name that was taken when it was chosen is not the child's: it
    // refuses to work there, and the directory is left alone.
    fs::create_directory(dir);
    const ChildScratch taken = ChildScratch::choose("480", 0xBEEF);
    taken.remove();
    EXPECT_TRUE(fs::is_directory(dir));
}

} // namespace
} // namespace vandrel
