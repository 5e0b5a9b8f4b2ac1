// The session's reading of a child's answer to a conn request, and the reply
// built from it: the answer shapes a real child does not produce; the error
// reply around a command word too long for a frame; and the bounded write that
// carries requests to a child that may read nothing.
#include "base/text.hpp"
#include "broker/session.hpp"
#include "broker/steam_child.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace vandrel {
namespace {

// "ok ", Steam ID 0x0102030405060708, the length field `n`, then `ticket`.
Bytes answer(std::uint32_t n, const Bytes& ticket) {
    Bytes out = {'o', 'k', ' ', 8, 7, 6, 5, 4, 3, 2, 1};
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

std::string length_error(const Bytes& a) {
    Result<std::uint32_t> n = conn_ticket_length(a);
    return n ? "N=" + std::to_string(*n) : n.error().text();
}

TEST(ConnAnswer, RefusalsAreAnythingNotStartingWithOkSpace) {
    for (std::string text :
         {"", "o", "ok", "okx and more bytes", "err steam refused to issue an auth ticket"})
        EXPECT_FALSE(is_conn_answer(Bytes(text.begin(), text.end()))) << text;
    Bytes no_space = answer(0, {});
    no_space[2] = 'x';
    EXPECT_FALSE(is_conn_answer(no_space)) << "ok and 13 more bytes without the blank";
    EXPECT_TRUE(is_conn_answer(Bytes{'o', 'k', ' '}));
}

TEST(ConnAnswer, ShortAndTruncated) {
    Bytes fourteen = answer(0, {});
    fourteen.pop_back();
    EXPECT_EQ(length_error(fourteen), "short ticket response from child");
    EXPECT_EQ(length_error(answer(0, {})), "N=0");
    EXPECT_EQ(length_error(answer(3, {1, 2, 3})), "N=3");
    EXPECT_EQ(length_error(answer(4, {1, 2, 3})), "truncated ticket");
    EXPECT_EQ(length_error(answer(0xFFFFFFFF, {1})), "truncated ticket") << "15 + N must not wrap";
}

TEST(ConnectReply, LayoutAndExtraBytesLeftOut) {
    Bytes empty = connect_reply(-1, answer(0, {}), 0);
    Bytes expected = {'v',  'd', '_', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0xFF, 0xFF, 0xFF,
                      0xFF, 8,   7,   6,   5,   4,   3,   2,   1,   0,   0,    0,    0};
    EXPECT_EQ(empty, expected) << "an empty ticket is a 27-byte reply";

    Bytes with_extra = answer(2, {0xAA, 0xBB, 0xCC, 0xDD});
    Bytes reply = connect_reply(77, with_extra, 2);
    ASSERT_EQ(reply.size(), 29u);
    EXPECT_EQ(reply[11], 77);
    EXPECT_EQ(reply[23], 2);
    EXPECT_EQ(reply[27], 0xAA);
    EXPECT_EQ(reply[28], 0xBB);
}

std::string auth_error(std::string_view text) {
    Result<AuthTicketAnswer> got = read_auth_answer(Bytes(text.begin(), text.end()));
    return got ? "ticket" : got.error().text();
}

TEST(AuthTicketAnswer, ChildFailuresBecomeTheCommandsErrors) {
    EXPECT_EQ(auth_error("err steam refused the ticket, result 2"),
              "steam refused to issue auth ticket, result 2");
    EXPECT_EQ(auth_error("err steam refused the ticket, result -7"),
              "steam refused to issue auth ticket, result -7");
    EXPECT_EQ(auth_error("err steam refused the ticket, result x"),
              "steam refused to issue auth ticket");
    EXPECT_EQ(auth_error("err steam refused to issue an auth ticket"),
              "steam refused to issue auth ticket");
    EXPECT_EQ(auth_error("err steam did not confirm the ticket"),
              "steam did not confirm the ticket");
    EXPECT_EQ(auth_error("err bad identity"), "failed to parse \"identity\"");
    EXPECT_EQ(auth_error("err bad data"), "failed to parse \"data\"");
    EXPECT_EQ(auth_error("auth 0123456789abcde"), "short ticket response from child");
    EXPECT_EQ(auth_error("ok 0123456789abcdefghi"), "steam refused to issue auth ticket")
        << "a conn answer is not an auth ticket answer";
}

TEST(AuthTicketReply, CarriesTheHandleBeforeTheTicket) {
    // "auth ", Steam ID 0x0102030405060708, handle 0x0A0B0C0D, N = 2, 2 bytes and one extra.
    Bytes answer = {'a', 'u',  't',  'h',  ' ',  8, 7, 6, 5, 4,    3,    2,
                    1,   0x0D, 0x0C, 0x0B, 0x0A, 2, 0, 0, 0, 0xAA, 0xBB, 0xCC};
    Result<AuthTicketAnswer> got = read_auth_answer(answer);
    ASSERT_TRUE(got.ok()) << got.error().text();
    Bytes expected = {'v',  'd',  '_',  't',  'i', 'c', 'k', 'e', 't',  '\n', 0xFE,
                      0xFF, 0xFF, 0xFF, 8,    7,   6,   5,   4,   3,    2,    1,
                      0x0D, 0x0C, 0x0B, 0x0A, 2,   0,   0,   0,   0xAA, 0xBB};
    EXPECT_EQ(auth_ticket_reply(-2, *got), expected);
    answer[AUTH_TICKET_LEN_AT] = 4;
    EXPECT_EQ(read_auth_answer(answer).error().text(), "truncated ticket");
}

TEST(ErrorReply, LongWordIsCutAtACharacterToFitAFrame) {
    EXPECT_EQ(error_reply(-1, "vd_x", "oops"),
              (Bytes{'v',  'd', '_', 'e', 'r', 'r', 'o', 'r', '\n', 0xFF, 0xFF, 0xFF,
                     0xFF, 'v', 'd', '_', 'x', ':', ' ', 'o', 'o',  'p',  's'}));

    // 13 fixed bytes, ": " and the text leave 4096 - 13 - 2 - 15 = 4066 bytes
    // for the word; a two-byte character would straddle that limit.
    std::string word = "a";
    while (word.size() < 4100)
        word += "\xC3\xA9";
    Bytes reply = error_reply(0, word, "unknown command");
    ASSERT_EQ(reply.size(), 4095u);
    EXPECT_EQ(as_chars(reply).substr(13, 4065), word.substr(0, 4065));
    EXPECT_EQ(as_chars(reply).substr(13 + 4065), ": unknown command");
}

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t PAGE = 4096;

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
// (Giving up at the deadline: SteamChildSlow and BrokerSlow.)
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
    EXPECT_EQ(w.error->os_code(), EPIPE);
}

} // namespace
} // namespace vandrel
