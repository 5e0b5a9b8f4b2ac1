// SteamChild over pipes whose far ends the test holds, with time limits of
// milliseconds: readiness, requests and their time-outs, answers that come
// after their request gave up, a write cut off part-way, a child that goes,
// and the process it owns; and the bounded write beneath its requests.
#include "base/text.hpp"
#include "broker/steam_child.hpp"
#include "shared/child_protocol.hpp"
#include "shared/scratch.hpp"
#include "test_support.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vandrel {
namespace {

using namespace std::chrono_literals;
using test::bytes_of;
using test::Clock;
using test::frame_of;
using test::write_bytes;

constexpr std::size_t PAGE = 4096;
constexpr std::uint32_t APPID = 10;
constexpr std::uint64_t STEAM_ID = 0x0102030405060708;

// Waited out by the tests of time-outs; long enough for a reader thread on a
// busy machine to pass on frames that are already in the pipe.
constexpr auto SHORT = 250ms;
// Never reached by a child that answers.
constexpr auto LONG = 30s;
constexpr ChildLimits PATIENT{LONG, LONG};
constexpr ChildLimits IMPATIENT{LONG, SHORT};

// The child's ends of the two pipes: the test reads the requests the handle
// wrote and writes the child's frames.
struct FarEnd {
    Fd requests;
    Fd answers;

    void say(const Bytes& payload) const { write_bytes(answers.get(), frame_of(payload)); }
    // The next request's payload; none when nothing was written.
    std::optional<Bytes> request() const { return test::read_frame(requests.get(), 0s); }
    // How many bytes of requests wait in the pipe.
    int queued() const {
        int n = -1;
        EXPECT_EQ(::ioctl(requests.get(), FIONREAD, &n), 0);
        return n;
    }
};

struct Pipes {
    ChildPipe ours;
    FarEnd theirs;
};

Pipes make_pipes() {
    int in[2];
    int out[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    return {ChildPipe{Fd(in[1]), Fd(out[0])}, FarEnd{Fd(in[0]), Fd(out[1])}};
}

// A handle on a child without a process, ready once the frames the far end
// has sent already are read.
Result<SteamChild> attach(Pipes& pipes, ChildLimits limits, pid_t pid = -1,
                          std::optional<ChildScratch> scratch = std::nullopt) {
    return SteamChild::attach(APPID, pid, std::move(pipes.ours), limits, std::move(scratch));
}

// A ready handle on a child without a process.
std::optional<SteamChild> ready_child(Pipes& pipes, ChildLimits limits) {
    pipes.theirs.say(ready_message(STEAM_ID));
    Result<SteamChild> child = attach(pipes, limits);
    EXPECT_TRUE(child) << child.error().text();
    if (!child)
        return std::nullopt;
    return std::move(child).value();
}

std::string outcome(const Result<Bytes>& r) {
    return r ? "answer " + std::string(as_chars(*r)) : r.error().text();
}

// Makes the directory chosen for a child under TMPDIR, as the child would
// and leaves it when it is killed; its path.
std::string make_as_the_child(const ChildScratch& scratch) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / scratch.name();
    EXPECT_TRUE(std::filesystem::create_directory(path)) << path;
    std::ofstream(path / "steam_appid.txt") << APPID;
    return path.string();
}

ChildScratch chosen_scratch() {
    return ChildScratch::choose(std::to_string(APPID), scratch_random_u32());
}

TEST(SteamChildReady, ReadinessCarriesTheUserAndTheDirectoryGoesWithTheHandle) {
    Pipes pipes = make_pipes();
    const ChildScratch scratch = chosen_scratch();
    const std::string path = make_as_the_child(scratch);
    pipes.theirs.say(ready_message(STEAM_ID));
    testing::internal::CaptureStderr();
    Result<SteamChild> attached = attach(pipes, PATIENT, -1, scratch);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[vandrel] child for appid 10 ready, steamid 72623859790382856\n");
    ASSERT_TRUE(attached) << attached.error().text();
    std::optional<SteamChild> child(std::move(attached).value());
    EXPECT_EQ(child->appid(), APPID);
    EXPECT_EQ(child->steam_id(), STEAM_ID);
    EXPECT_FALSE(child->exited()) << "no process to have ended";
    EXPECT_FALSE(pipes.theirs.request()) << "nothing is asked at the start";
    child.reset();
    EXPECT_FALSE(std::filesystem::exists(path)) << "the chosen directory goes with the handle";
}

// The directory is named before the child starts, so that it is removed
// however early the child ends: before it has made it, or after.
TEST(SteamChildReady, DirectoryOfAChildThatDiesBeforeReadinessIsRemoved) {
    for (bool made : {false, true}) {
        Pipes pipes = make_pipes();
        const ChildScratch scratch = chosen_scratch();
        const std::string path = made ? make_as_the_child(scratch) : "";
        pipes.theirs.answers.reset();
        Result<SteamChild> child = attach(pipes, PATIENT, -1, scratch);
        ASSERT_FALSE(child);
        EXPECT_EQ(child.error().text(), "steam child exited");
        if (made) {
            EXPECT_FALSE(std::filesystem::exists(path));
        }
    }
}

TEST(SteamChildReady, StartFailures) {
    Bytes short_ready = ready_message(1);
    short_ready.pop_back();
    struct Case {
        const char* what;
        Bytes written; // raw bytes on the child's output
        bool closed;   // the child's output ends after them
        std::string error;
        std::string log;
    };
    const Case cases[] = {
        {"a failure text", frame_of(bytes_of("err steam init failed: x\xFF")), false,
         "steam child failed to initialise",
         "[vandrel] child for appid 10 failed: err steam init failed: x\xEF\xBF\xBD\n"},
        {"a readiness message one byte short", frame_of(short_ready), false,
         "steam child failed to initialise",
         "[vandrel] child for appid 10 failed: ready \\u{1}\\u{0}\\u{0}\\u{0}\\u{0}\\u{0}\\u{0}\n"},
        {"nothing, then the end", {}, true, "steam child exited", ""},
        {"a frame with the wrong magic", Bytes{'V', 'D', 'R', 'X', 1, 0}, false,
         "steam child exited", ""},
        {"nothing in time", {}, false, "steam child timed out", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pipes pipes = make_pipes();
        if (!c.written.empty())
            write_bytes(pipes.theirs.answers.get(), c.written);
        if (c.closed)
            pipes.theirs.answers.reset();
        testing::internal::CaptureStderr();
        Result<SteamChild> child = attach(pipes, ChildLimits{SHORT, LONG});
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.log);
        ASSERT_FALSE(child);
        EXPECT_EQ(child.error().text(), c.error);
    }
}

TEST(SteamChildRequest, SendsOneFrameAndReturnsTheAnswer) {
    Pipes pipes = make_pipes();
    std::optional<SteamChild> child = ready_child(pipes, PATIENT);
    ASSERT_TRUE(child);
    pipes.theirs.say(bytes_of("ok 1"));
    EXPECT_EQ(outcome(child->request(bytes_of("term 1.2.3.4:5"))), "answer ok 1");
    EXPECT_EQ(pipes.theirs.request(), bytes_of("term 1.2.3.4:5"));

    Result<Bytes> too_large = child->request(Bytes(MAX_FRAME_PAYLOAD + 1, 'x'));
    ASSERT_FALSE(too_large);
    EXPECT_EQ(too_large.error().text(), "response payload too large");
    EXPECT_EQ(pipes.theirs.queued(), 0) << "nothing is written";
    EXPECT_FALSE(child->input_cut());
}

// Answers that come after their requests timed out are discarded, never
// taken for a later request's: two requests time out in a row, and the third
// discards both late answers, the second of which the child sends only once
// it has the third request. Each late answer is owed once only.
TEST(SteamChildRequest, LateAnswersAreNotTakenForALaterRequest) {
    Pipes pipes = make_pipes();
    std::optional<SteamChild> child = ready_child(pipes, IMPATIENT);
    ASSERT_TRUE(child);
    EXPECT_EQ(outcome(child->request(bytes_of("first"))), "steam child timed out");
    EXPECT_EQ(outcome(child->request(bytes_of("second"))), "steam child timed out");
    pipes.theirs.say(bytes_of("first's"));
    std::thread late([&] {
        for (const char* request : {"first", "second", "third"})
            EXPECT_EQ(test::read_frame(pipes.theirs.requests.get()), bytes_of(request));
        pipes.theirs.say(bytes_of("second's"));
        pipes.theirs.say(bytes_of("third's"));
    });
    EXPECT_EQ(outcome(child->request(bytes_of("third"))), "answer third's");
    late.join();
    pipes.theirs.say(bytes_of("fourth's"));
    EXPECT_EQ(outcome(child->request(bytes_of("fourth"))), "answer fourth's");
    EXPECT_FALSE(child->input_cut());
}

// A late answer that carries a handle Steam issued has its ticket cancelled
// as soon as it is read, after the request that read it has its answer, and
// only once; the cancel's answer is owed in turn. An app ticket's (handle 0)
// and a game-connection ticket's carry no handle to cancel.
TEST(SteamChildRequest, LateAuthTicketIsCancelledOnce) {
    Pipes pipes = make_pipes();
    std::optional<SteamChild> child = ready_child(pipes, IMPATIENT);
    ASSERT_TRUE(child);
    for (const char* request : {"ticket session -", "appticket", "conn 1.2.3.4:5 1 1"})
        EXPECT_EQ(outcome(child->request(bytes_of(request))), "steam child timed out");
    const Bytes ticket = {1, 2, 3};
    pipes.theirs.say(auth_ticket_answer(STEAM_ID, 7, ticket));
    pipes.theirs.say(auth_ticket_answer(STEAM_ID, 0, ticket));
    pipes.theirs.say(conn_answer(STEAM_ID, ticket));
    pipes.theirs.say(bytes_of("status's"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(outcome(child->request(bytes_of("status"))), "answer status's");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[vandrel] cancelling late auth ticket 7\n");
    for (const char* request :
         {"ticket session -", "appticket", "conn 1.2.3.4:5 1 1", "status", "cancel 7"})
        EXPECT_EQ(pipes.theirs.request(), bytes_of(request));
    EXPECT_FALSE(pipes.theirs.request());

    pipes.theirs.say(bytes_of(ACK_ANSWER));
    pipes.theirs.say(bytes_of("term's"));
    EXPECT_EQ(outcome(child->request(bytes_of("term 1.2.3.4:5"))), "answer term's");
    EXPECT_EQ(pipes.theirs.request(), bytes_of("term 1.2.3.4:5"));
    EXPECT_FALSE(pipes.theirs.request()) << "cancelled once";
}

// The request pipe holds one page and the child reads nothing: a frame that
// fits whole leaves the input usable, and so does one that cannot be written
// at all; one that goes in only in part does not.
TEST(SteamChildRequest, OnlyAFrameCutOffPartWayLeavesTheInputUnusable) {
    Pipes pipes = make_pipes();
    ASSERT_EQ(::fcntl(pipes.ours.requests.get(), F_SETPIPE_SZ, static_cast<int>(PAGE)),
              static_cast<int>(PAGE));
    std::optional<SteamChild> child = ready_child(pipes, IMPATIENT);
    ASSERT_TRUE(child);
    const Bytes page_frame(PAGE - FRAME_HEADER_LEN, 'a');
    EXPECT_EQ(outcome(child->request(page_frame)), "steam child timed out");
    EXPECT_FALSE(child->input_cut()) << "the frame went in whole";
    EXPECT_EQ(outcome(child->request(bytes_of("no room"))), "steam child timed out");
    EXPECT_FALSE(child->input_cut()) << "nothing of the frame went in";
    EXPECT_EQ(pipes.theirs.queued(), static_cast<int>(PAGE));

    EXPECT_EQ(pipes.theirs.request(), page_frame) << "the child takes the first frame";
    EXPECT_EQ(outcome(child->request(Bytes(MAX_FRAME_PAYLOAD, 'b'))), "steam child timed out");
    EXPECT_TRUE(child->input_cut());
    EXPECT_EQ(pipes.theirs.queued(), static_cast<int>(PAGE));
}

// A child whose output ends answers nothing more; once its input is closed
// too, the write itself fails.
TEST(SteamChildRequest, ChildThatGoes) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipes pipes = make_pipes();
    std::optional<SteamChild> child = ready_child(pipes, PATIENT);
    ASSERT_TRUE(child);
    EXPECT_FALSE(child->exited());
    pipes.theirs.answers.reset();
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(outcome(child->request(bytes_of("term 1.2.3.4:5"))), "steam child exited") << i;
    EXPECT_TRUE(child->exited()) << "it answers nothing more";
    pipes.theirs.requests.reset();
    EXPECT_EQ(outcome(child->request(bytes_of("term 1.2.3.4:5"))),
              "send error, Broken pipe (os error 32)");
    EXPECT_FALSE(child->input_cut());

    // A child whose input has no reader has ended too, whatever its output.
    Pipes other = make_pipes();
    std::optional<SteamChild> reading = ready_child(other, PATIENT);
    ASSERT_TRUE(reading);
    other.theirs.requests.reset();
    EXPECT_EQ(outcome(reading->request(bytes_of("term 1.2.3.4:5"))),
              "send error, Broken pipe (os error 32)");
    EXPECT_TRUE(reading->exited());
}

// Once the broker stops, a child's answers are waited for only until the
// stop's deadline, however long the handle's own limits: an answer that comes
// within the grace is still taken, a request that waits on a silent child
// gives up at the deadline, and one asked after it at once.
TEST(SteamChildRequest, TheStopBoundsTheWaitForAnswers) {
    constexpr auto DAY = std::chrono::hours(24);
    for (const bool answers : {true, false}) {
        Result<std::unique_ptr<StopSignal>> stop = StopSignal::create();
        ASSERT_TRUE(stop);
        Pipes pipes = make_pipes();
        std::optional<SteamChild> child = ready_child(pipes, {DAY, DAY, stop->get()});
        ASSERT_TRUE(child);
        std::thread stops_meanwhile([&] {
            EXPECT_EQ(test::read_frame(pipes.theirs.requests.get()), bytes_of("term 1.2.3.4:5"));
            (*stop)->request(answers ? DAY : SHORT);
            if (answers)
                pipes.theirs.say(bytes_of("ok"));
        });
        EXPECT_EQ(outcome(child->request(bytes_of("term 1.2.3.4:5"))),
                  answers ? "answer ok" : "steam child timed out");
        stops_meanwhile.join();
        if (!answers) {
            EXPECT_EQ(outcome(child->request(bytes_of("cancel 1"))), "steam child timed out");
        }
    }
}

// A process that waits until it is killed, or one that ends at once.
pid_t fork_process(bool ends) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (ends)
            ::_exit(0);
        for (;;)
            ::pause();
    }
    EXPECT_GT(pid, 0);
    return pid;
}

// True once `pid` is neither running nor left unreaped.
bool gone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(SteamChildProcess, EveryEndKillsAndReapsTheProcess) {
    {
        const pid_t pid = fork_process(false);
        Pipes pipes = make_pipes();
        Result<SteamChild> child = attach(pipes, ChildLimits{SHORT, LONG}, pid);
        ASSERT_FALSE(child);
        EXPECT_EQ(child.error().text(), "steam child timed out");
        EXPECT_TRUE(gone(pid)) << "a child that never got ready";
    }
    const pid_t pid = fork_process(false);
    Pipes pipes = make_pipes();
    pipes.theirs.say(ready_message(STEAM_ID));
    Result<SteamChild> child = attach(pipes, PATIENT, pid);
    ASSERT_TRUE(child) << child.error().text();
    EXPECT_FALSE(child->exited());
    testing::internal::CaptureStderr();
    { SteamChild destroyed = std::move(child).value(); }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[vandrel] child for appid 10 reaped\n");
    EXPECT_TRUE(gone(pid)) << "a ready child";
}

TEST(SteamChildProcess, AProcessThatEndsIsReapedWhenAskedAbout) {
    const pid_t pid = fork_process(true);
    Pipes pipes = make_pipes();
    pipes.theirs.say(ready_message(STEAM_ID));
    Result<SteamChild> child = attach(pipes, PATIENT, pid);
    ASSERT_TRUE(child) << child.error().text();
    const auto give_up = Clock::now() + test::LINE_TIMEOUT;
    while (!child->exited() && Clock::now() < give_up)
        std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(child->exited());
    EXPECT_TRUE(gone(pid)) << "reaped by exited()";
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

// A pipe whose ends do not block, with room for one page.
struct SmallPipe {
    Fd read, write;
    SmallPipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
        EXPECT_EQ(::fcntl(write.get(), F_SETPIPE_SZ, static_cast<int>(PAGE)),
                  static_cast<int>(PAGE));
    }
};

// Reads everything from `fd` until its writer closes; the byte count.
std::size_t drain(int fd) {
    std::size_t total = 0;
    std::uint8_t buf[PAGE];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, -1);
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            return total;
        if (n > 0)
            total += static_cast<std::size_t>(n);
    }
}

// A write larger than the pipe goes in part by part as the reader takes it.
// (Giving up at the deadline: SteamChildRequest above.)
TEST(BoundedWrite, WaitsForAReaderThatMakesRoom) {
    SmallPipe pipe;
    const Bytes bytes(5 * PAGE + 10, 'x');
    std::size_t read = 0;
    std::thread reader([&] { read = drain(pipe.read.get()); });
    BoundedWrite w = write_before(pipe.write.get(), bytes, Clock::now() + 20s);
    pipe.write.reset();
    reader.join();
    EXPECT_EQ(w.written, bytes.size());
    EXPECT_FALSE(w.error);
    EXPECT_EQ(read, bytes.size());
}

// A reader that goes while the write waits for room ends the wait at once.
TEST(BoundedWrite, AReaderThatGoesIsABrokenPipe) {
    std::signal(SIGPIPE, SIG_IGN);
    SmallPipe pipe;
    const Bytes bytes(2 * PAGE, 'x');
    std::thread closer([&] {
        std::this_thread::sleep_for(50ms);
        pipe.read.reset();
    });
    const auto start = Clock::now();
    BoundedWrite w = write_before(pipe.write.get(), bytes, start + 20s);
    closer.join();
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(w.written, PAGE);
    ASSERT_TRUE(w.error);
    EXPECT_EQ(test::text_of(*w.error), "Broken pipe (os error 32)");
}

} // namespace
} // namespace vandrel
