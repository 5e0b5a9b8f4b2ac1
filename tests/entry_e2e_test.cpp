// The built program's command line, listener and session loop, run as a
// subprocess and checked by its standard error lines and exit status.
#include "e2e.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vandrel::test {
namespace {

struct Outcome {
    int status;
    std::vector<std::string> lines;
};

// Runs the broker to its end with standard input at end of file.
Outcome run_to_end(std::vector<std::string> args) {
    Spawn options;
    options.args = std::move(args);
    Process p(options);
    p.close_stdin();
    auto lines = p.rest_of_lines();
    auto status = p.wait_exit();
    return {status.value_or(-1), lines};
}

TEST(CommandLine, HelpWritesTheUsageText) {
    for (auto args :
         std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"--help", "extra"}}) {
        Outcome o = run_to_end(args);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.lines, broker_usage()) << args[0];
    }
}

// A malformed AppID, or a scratch directory name that is not one the broker
// makes for the AppID, ends the child before it makes anything.
TEST(CommandLine, BadChildArgumentsAreFatal) {
    const std::vector<std::string> fatal = {"[vandrel] fatal: invalid args, missing \"appid\""};
    for (auto args : std::vector<std::vector<std::string>>{{"--child"},
                                                           {"--child", ""},
                                                           {"--child", "abc"},
                                                           {"--child", "-5"},
                                                           {"--child", "+"},
                                                           {"--child", "-"},
                                                           {"--child", " 5"},
                                                           {"--child", "4294967296"}}) {
        Outcome o = run_to_end(args);
        EXPECT_EQ(o.status, 1) << args.back();
        EXPECT_EQ(o.lines, fatal) << "'" << args.back() << "'";
    }
    for (std::string name : {"", "../vandrel-480-0000beef", "vandrel-10-0000beef",
                             "vandrel-480-0000BEEF", "vandrel-480-beef", "vandrel-480-0000beef/"}) {
        Outcome o = run_to_end({"--child", "480", name});
        EXPECT_EQ(o.status, 1) << name;
        EXPECT_EQ(o.lines, std::vector<std::string>{"[vandrel] fatal: failed to parse \"scratch\""})
            << "'" << name << "'";
    }
}

TEST(CommandLine, OptionLikeWordsAreListenAddresses) {
    for (std::string word : {"--Stdio", "-help", "--std", ""}) {
        Outcome o = run_to_end({word});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.lines,
                  std::vector<std::string>{
                      "[vandrel] fatal: create socket error, invalid socket address"})
            << "'" << word << "'";
    }
}

TEST(Listener, AddressErrors) {
    EXPECT_EQ(run_to_end({"127.0.0.1:notaport"}).lines,
              std::vector<std::string>{"[vandrel] fatal: create socket error, invalid port value"});
    EXPECT_EQ(run_to_end({"localhost:65536"}).lines,
              std::vector<std::string>{"[vandrel] fatal: create socket error, invalid port value"});
    Outcome lookup = run_to_end({"no-such-host.invalid:80"});
    EXPECT_EQ(lookup.status, 1);
    ASSERT_EQ(lookup.lines.size(), 1u);
    EXPECT_TRUE(lookup.lines[0].starts_with(
        "[vandrel] fatal: create socket error, failed to lookup address information: "))
        << lookup.lines[0];
}

TEST(Listener, AddressInUse) {
    TcpBroker first;
    first.connect(); // learns the port
    Outcome second = run_to_end({"127.0.0.1:" + std::to_string(first.port())});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.lines, std::vector<std::string>{"[vandrel] fatal: create socket error, "
                                                     "Address already in use (os error 98)"});
}

TEST(Listener, LoopbackWarningFollowsTheText) {
    struct Case {
        std::string addr;
        bool warns;
    };
    for (const Case& c : {Case{"0.0.0.0:0", true}, Case{"localhost:0", false},
                          Case{"127.0.0.1:0", false}, Case{"[::1]:0", false}}) {
        Spawn options;
        options.args = {c.addr};
        Process p(options);
        auto listening = p.next_line();
        ASSERT_TRUE(listening) << c.addr;
        EXPECT_TRUE(listening->starts_with("[vandrel] listening on ")) << *listening;
        EXPECT_NE(listening->substr(listening->rfind(':')), ":0") << "the chosen port is shown";
        auto next = p.next_line(300ms);
        if (c.warns)
            EXPECT_EQ(next, "[vandrel] WARNING: listening on a non-loopback address with no "
                            "authentication");
        else
            EXPECT_FALSE(next.has_value()) << c.addr << ": " << *next;
    }
}

TEST(TcpMode, SilentClientThenNextClient) {
    TcpBroker broker;
    for (int round = 0; round < 2; ++round) {
        Fd client = broker.connect();
        std::string peer = "127.0.0.1:" + std::to_string(local_port(client.get()));
        client.reset();
        EXPECT_EQ(broker.process().next_line(), "[vandrel] session open on tcp " + peer);
        EXPECT_EQ(broker.process().next_line(), "[vandrel] peer closed the connection");
        EXPECT_EQ(broker.process().next_line(),
                  "[vandrel] session ended, awaiting next connection");
    }
}

TEST(TcpMode, BadMagicEndsOnlyTheSession) {
    TcpBroker broker;
    Fd client = broker.connect();
    write_bytes(client.get(), bytes_of("HELLO!"));
    ASSERT_TRUE(broker.process().wait_for_prefix("[vandrel] session open on tcp "));
    EXPECT_EQ(broker.process().next_line(), "[vandrel] session error: invalid frame magic");
    EXPECT_TRUE(reads_eof(client.get(), LINE_TIMEOUT)) << "the connection is closed";
    Fd next = broker.connect();
    EXPECT_TRUE(broker.process().wait_for_prefix("[vandrel] session open on tcp "));
}

TEST(TcpMode, FramesAreReadAndUnknownWordsRejected) {
    TcpBroker broker;
    Fd client = broker.connect();
    Bytes input = frame_of("");
    for (auto p : {"VD_TERMINATE", " vd_gamedir cstrike", "hello\xc2\xa0world"}) {
        Bytes f = frame_of(p);
        input.insert(input.end(), f.begin(), f.end());
    }
    Bytes bad = frame_of(Bytes{'a', 0xFF});
    input.insert(input.end(), bad.begin(), bad.end());
    Bytes oversized = {'V', 'D', 'R', 'L', 0x01, 0x10};
    input.insert(input.end(), oversized.begin(), oversized.end());
    write_bytes(client.get(), input);
    auto& p = broker.process();
    ASSERT_TRUE(p.wait_for_prefix("[vandrel] session open on tcp "));
    const std::vector<std::string> expected = {
        "[vandrel] <- ",
        "[vandrel] command error: unknown command",
        "[vandrel] <- VD_TERMINATE",
        "[vandrel] command error: unknown command",
        "[vandrel] <- ",
        "[vandrel] command error: unknown command",
        "[vandrel] <- hello",
        "[vandrel] command error: unknown command",
        "[vandrel] command error: invalid string, invalid utf-8 sequence of 1 bytes from index 1",
        "[vandrel] session error: frame too large",
    };
    for (const auto& line : expected)
        EXPECT_EQ(p.next_line(), line);
    std::vector<std::uint8_t> nothing;
    EXPECT_TRUE(reads_eof(client.get(), LINE_TIMEOUT)) << "nothing is sent back";
}

TEST(StdioMode, InputThatEndsAtOnce) {
    Outcome o = run_to_end({"--stdio", "extra"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.lines, (std::vector<std::string>{"[vandrel] starting in stdio mode",
                                                 "[vandrel] session open on stdio",
                                                 "[vandrel] peer closed the connection"}));
}

TEST(StdioMode, CodecErrorIsFatal) {
    Spawn options;
    options.args = {"--stdio"};
    Process p(options);
    write_bytes(p.stdin_fd(), bytes_of("garbage"));
    EXPECT_TRUE(p.wait_for_line("[vandrel] fatal: invalid frame magic"));
    EXPECT_EQ(p.wait_exit(), 1);
    EXPECT_TRUE(reads_eof(p.stdout_fd(), LINE_TIMEOUT)) << "standard output stays empty";
}

TEST(LogLines, EachEventIsOneLineWhateverItsTextHolds) {
    // A TMPDIR that ends a line and forges the next one, and a command word of
    // terminal controls: the child's scratch line and the "<- " line hold both.
    // A line separator and a right-to-left override would make a viewer show
    // a line break or the text after it reversed.
    TempDir tmp;
    const std::string tmpdir = tmp.path() + "/x\n[vandrel] forged\u2028";
    ASSERT_EQ(::mkdir(tmpdir.c_str(), 0700), 0);
    auto client = Client::tcp(standin(), {{"TMPDIR", tmpdir}});
    client->activate_cstrike();
    client->send("\x1b[1A\x1b[2Kvd_x\b\x7f\u202edi_dv now");
    client->expect({"<- \\u{1b}[1A\\u{1b}[2Kvd_x\\u{8}\\u{7f}\\u{202e}di_dv",
                    "command error: unknown command"});
    client->close_input();
    client->expect({"peer closed the connection"});

    const auto& lines = client->process().lines();
    const std::string scratch = "[vandrel] child: appid 10, scratch " + tmp.path() +
                                "/x\\u{a}[vandrel] forged\\u{2028}/vandrel-10-";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.starts_with(scratch);
    })) << client->transcript();
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.starts_with("[vandrel] ") || is_child_line(line)) << line;
        EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](unsigned char c) {
            return c < 0x20 || c == 0x7f;
        })) << line;
        for (std::string_view raw : {"\u2028", "\u202e"})
            EXPECT_EQ(line.find(raw), std::string::npos) << line;
    }
}

class ClosedStandardDescriptors : public testing::TestWithParam<std::vector<int>> {};

// Started with standard output, standard error or both closed, the broker
// still serves a ticket, and its frame stream holds nothing but the reply.
TEST_P(ClosedStandardDescriptors, TheClientGetsExactlyTheReply) {
    std::uint16_t port = free_port();
    ASSERT_NE(port, 0);
    Broker env(standin());
    Spawn options = env.spawn({"127.0.0.1:" + std::to_string(port)}, {});
    options.pipe_stdin = false;
    options.closed = GetParam();
    Process broker(options);

    // The broker's log may be gone with standard error: wait for its port.
    Fd client;
    for (auto deadline = Clock::now() + LINE_TIMEOUT; !client.valid() && Clock::now() < deadline;)
        if (client = connect_tcp(port); !client.valid())
            std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(client.valid());
    write_bytes(client.get(), frame_of(std::string_view("vd_gamedir cstrike")));
    write_bytes(client.get(), frame_of(std::string_view("vd_connect 1.2.3.4:27015 1 1 77")));
    EXPECT_EQ(read_frame(client.get()), expected_reply(77, IP_1_2_3_4, 27015, 1));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_TRUE(reads_eof(client.get(), LINE_TIMEOUT)) << "nothing after the reply";
}

INSTANTIATE_TEST_SUITE_P(Closed, ClosedStandardDescriptors,
                         testing::Values(std::vector<int>{1}, std::vector<int>{2},
                                         std::vector<int>{1, 2}),
                         [](const auto& info) {
                             std::string name = "Fd";
                             for (int fd : info.param)
                                 name += std::to_string(fd);
                             return name;
                         });

} // namespace
} // namespace vandrel::test
