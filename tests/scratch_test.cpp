#include "base/text.hpp"
#include "shared/scratch.hpp"

#include <array>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vandrel {
namespace {

namespace fs = std::filesystem;

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
        auto dir = ScratchDir::create_with_number("480", 0xBEEF);
        ASSERT_TRUE(dir) << dir.error().text();
        EXPECT_EQ(dir->path(), base.path().string() + "/vandrel-480-0000beef")
            << "TMPDIR " << value;
    }
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
    auto first = ScratchDir::create_with_number("480", 0xBEEF);
    ASSERT_TRUE(first) << first.error().text();
    write_file(fs::path(first->path()) / "keep", "mine");

    auto second = ScratchDir::create_with_number("480", 0xBEEF);
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
            auto dir = ScratchDir::create_with_number("480", 0xBEEF);
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
    auto a = ScratchDir::create_with_number("1", 1);
    auto b = ScratchDir::create_with_number("2", 2);
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

// A process that sits in a directory until it is destroyed.
class ProcessIn {
  public:
    explicit ProcessIn(const fs::path& dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0)
                ::_exit(1);
            for (;;)
                ::pause();
        }
        // Wait until it is there.
        const std::string cwd = "/proc/" + std::to_string(pid_) + "/cwd";
        std::error_code ec;
        for (int i = 0; i < 5000 && !fs::equivalent(cwd, dir, ec); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~ProcessIn() { end(); }
    ProcessIn(const ProcessIn&) = delete;
    ProcessIn& operator=(const ProcessIn&) = delete;

    pid_t pid() const { return pid_; }
    void end() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

TEST(ChildScratch, FoundWhileTheProcessRunsAndRemovedAfterItEnds) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    const fs::path dir = base.path() / "vandrel-480-0000beef";
    fs::create_directories(dir / "sub");
    write_file(dir / "steam_appid.txt", "480");
    fs::create_directory(base.path() / "neighbour");

    ProcessIn child(dir);
    std::optional<ChildScratch> found = ChildScratch::of_process(child.pid(), "480");
    child.end();
    ASSERT_TRUE(found);
    found->remove();
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(fs::is_directory(base.path() / "neighbour"));
    found->remove(); // gone already: nothing happens, nothing is reported
}

TEST(ChildScratch, OnlyAScratchDirectoryOfTheTagIsTaken) {
    TestDir base;
    TmpdirGuard tmpdir;
    CwdGuard cwd;
    tmpdir.set(base.path());
    const fs::path scratch = base.path() / "vandrel-480-0000beef";
    const fs::path other = base.path() / "other";
    fs::create_directory(scratch);
    fs::create_directory(other);
    {
        ProcessIn child(scratch);
        EXPECT_FALSE(ChildScratch::of_process(child.pid(), "10")) << "another tag";
    }
    {
        ProcessIn child(other);
        EXPECT_FALSE(ChildScratch::of_process(child.pid(), "480")) << "another name";
    }
    {
        // A process that has not changed directory yet shares ours.
        fs::current_path(scratch);
        ProcessIn child(scratch);
        EXPECT_FALSE(ChildScratch::of_process(child.pid(), "480")) << "our own directory";
    }
    EXPECT_FALSE(ChildScratch::of_process(999999999, "480")) << "no such process";
    EXPECT_TRUE(fs::is_directory(scratch));
}

// Removal takes only the directory the process was in, and only as an entry
// directly under TMPDIR: not one of the same name deeper down, not a symbolic
// link put in its place.
TEST(ChildScratch, RemovesNothingButThatDirectoryUnderTmpdir) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    const std::string name = "vandrel-480-0000beef";
    const fs::path victim = base.path() / "victim";
    fs::create_directory(victim);
    write_file(victim / "data", "keep");

    const fs::path deeper = base.path() / "deeper" / name;
    fs::create_directories(deeper);
    std::optional<ChildScratch> found;
    {
        ProcessIn child(deeper);
        found = ChildScratch::of_process(child.pid(), "480");
    }
    ASSERT_TRUE(found);
    found->remove();
    EXPECT_TRUE(fs::is_directory(deeper));

    const fs::path dir = base.path() / name;
    fs::create_directory(dir);
    {
        ProcessIn child(dir);
        found = ChildScratch::of_process(child.pid(), "480");
    }
    ASSERT_TRUE(found);
    fs::remove(dir);
    fs::create_directory_symlink(victim, dir);
    found->remove();
    EXPECT_TRUE(fs::is_symlink(dir));
    EXPECT_EQ(read_file(victim / "data"), "keep");
}

// A reported name is taken only for a directory of its tag's name, our own,
// directly under TMPDIR; what is taken is removed as a found one is.
TEST(ChildScratch, AReportedNameIsTakenOnlyForOurOwnDirectoryUnderTmpdir) {
    TestDir base;
    TmpdirGuard tmpdir;
    tmpdir.set(base.path());
    const std::string name = "vandrel-480-0000beef";
    fs::create_directory(base.path() / "victim");
    EXPECT_FALSE(ChildScratch::reported(name, "480")) << "not there";
    fs::create_directory_symlink(base.path() / "victim", base.path() / name);
    EXPECT_FALSE(ChildScratch::reported(name, "480")) << "a symbolic link";
    fs::remove(base.path() / name);

    fs::create_directories(base.path() / name / "sub");
    EXPECT_FALSE(ChildScratch::reported(name, "10")) << "another tag";
    EXPECT_FALSE(ChildScratch::reported("victim", "480")) << "another name";
    EXPECT_FALSE(ChildScratch::reported("../" + name, "480")) << "not a plain name";
    if (::geteuid() == 0) {
        constexpr uid_t NOBODY = 65534;
        ASSERT_EQ(::chown((base.path() / name).c_str(), NOBODY, NOBODY), 0);
        EXPECT_FALSE(ChildScratch::reported(name, "480")) << "another user's";
        ASSERT_EQ(::chown((base.path() / name).c_str(), 0, 0), 0);
    }
    std::optional<ChildScratch> found = ChildScratch::reported(name, "480");
    ASSERT_TRUE(found);
    found->remove();
    EXPECT_FALSE(fs::exists(base.path() / name));
    EXPECT_TRUE(fs::is_directory(base.path() / "victim"));
}

} // namespace
} // namespace vandrel
