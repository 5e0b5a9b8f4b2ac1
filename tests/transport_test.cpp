#include "shared/transport.hpp"
#include "test_support.hpp"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vandrel {
namespace {

using test::bytes_of;
using test::frame_of;

// A transport that hands out scripted reads and records what is written.
class ScriptedTransport final : public Transport {
  public:
    struct Read {
        Bytes bytes;
        int error = 0; // an errno instead of bytes
    };
    std::deque<Read>* reads;
    Bytes* written;
    std::size_t* read_calls;

    ScriptedTransport(std::deque<Read>* r, Bytes* w, std::size_t* calls)
        : reads(r), written(w), read_calls(calls) {}

    IoResult<std::size_t> read(std::span<std::uint8_t> into) override {
        ++*read_calls;
        if (reads->empty())
            return std::size_t{0};
        Read& next = reads->front();
        if (next.error != 0) {
            int err = next.error;
            reads->pop_front();
            return IoError::os(err);
        }
        std::size_t n = std::min(into.size(), next.bytes.size());
        std::copy_n(next.bytes.begin(), n, into.begin());
        next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<std::ptrdiff_t>(n));
        if (next.bytes.empty())
            reads->pop_front();
        return n;
    }
    IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) override {
        written->insert(written->end(), bytes.begin(), bytes.end());
        return bytes.size();
    }
    std::string describe() const override { return "scripted"; }
};

class FramedStream : public ::testing::Test {
  protected:
    std::deque<ScriptedTransport::Read> reads;
    Bytes written;
    std::size_t read_calls = 0;
    Framed framed{std::make_unique<ScriptedTransport>(&reads, &written, &read_calls)};

    void feed(const Bytes& bytes) { reads.push_back({bytes, 0}); }
    void feed(std::string_view text) { feed(bytes_of(text)); }

    // The next payload as text; fails the test on error or end of stream.
    std::string next_text() {
        auto r = framed.next_frame();
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
        if (!r.ok() || !r->has_value())
            return "<none>";
        return std::string(r->value().begin(), r->value().end());
    }
    std::string next_error() {
        auto r = framed.next_frame();
        return r.ok() ? "<ok>" : r.error().text();
    }
    bool next_is_end() {
        auto r = framed.next_frame();
        return r.ok() && !r->has_value();
    }
};

TEST_F(FramedStream, ReadsFramesWhateverTheReadBoundaries) {
    Bytes two = frame_of("first");
    Bytes second = frame_of("second");
    two.insert(two.end(), second.begin(), second.end());
    feed(two);
    EXPECT_EQ(next_text(), "first");
    std::size_t calls = read_calls;
    EXPECT_EQ(next_text(), "second");
    EXPECT_EQ(read_calls, calls) << "a buffered frame needs no read";

    for (std::uint8_t b : frame_of("byte by byte"))
        feed(Bytes{b});
    EXPECT_EQ(next_text(), "byte by byte");

    feed(frame_of(""));
    auto empty = framed.next_frame();
    ASSERT_TRUE(empty.ok());
    ASSERT_TRUE(empty->has_value()) << "an empty payload is not end of stream";
    EXPECT_TRUE(empty->value().empty());
}

TEST_F(FramedStream, RetriesInterruptedReadsAndReportsOthers) {
    reads.push_back({{}, EINTR});
    feed(frame_of("after eintr"));
    EXPECT_EQ(next_text(), "after eintr");
    reads.push_back({{}, ECONNRESET});
    EXPECT_EQ(next_error(),
              "io error, " + std::string(std::strerror(ECONNRESET)) + " (os error 104)");
}

TEST_F(FramedStream, PartialFrameThenEndOfInputIsAPlainEnd) {
    feed("VDRL\x05");
    EXPECT_TRUE(next_is_end());
}

TEST_F(FramedStream, CompleteFrameThenEndOfInput) {
    feed(frame_of("last"));
    EXPECT_EQ(next_text(), "last");
    EXPECT_TRUE(next_is_end());
}

TEST_F(FramedStream, MagicIsCheckedOnlyOnceSixBytesAreThere) {
    feed("XXXX");
    feed(Bytes{0x01});
    feed(Bytes{0x00});
    EXPECT_EQ(next_error(), "invalid frame magic");
    EXPECT_EQ(read_calls, 3u) << "no error before the sixth byte";
    EXPECT_EQ(next_error(), "invalid frame magic") << "the bad bytes stay at the front";
}

TEST_F(FramedStream, LengthLimit) {
    Bytes max(MAX_FRAME_PAYLOAD, 'a');
    feed(frame_of(max));
    auto r = framed.next_frame();
    ASSERT_TRUE(r.ok() && r->has_value());
    EXPECT_EQ(r->value().size(), 4096u);

    feed(Bytes{'V', 'D', 'R', 'L', 0x01, 0x10}); // 4097, no payload yet
    EXPECT_EQ(next_error(), "frame too large");
}

TEST_F(FramedStream, ReceiveBufferIsBounded) {
    // 4100 bytes of a 4096-byte frame are buffered; a read that brings its
    // last two bytes and a following 4095-byte frame's worth of bytes would
    // take the buffer past 8192.
    Bytes big = frame_of(Bytes(MAX_FRAME_PAYLOAD, 'b'));
    Bytes head(big.begin(), big.begin() + 4100);
    Bytes tail(big.begin() + 4100, big.end());
    Bytes next = frame_of(Bytes(4088, 'c'));
    tail.insert(tail.end(), next.begin(), next.end());
    ASSERT_EQ(tail.size(), 2u + 4094u);
    feed(Bytes(head.begin(), head.begin() + 4096));
    feed(Bytes(head.begin() + 4096, head.end()));
    feed(tail);
    // 4100 + 4096 (the read is capped at one chunk) = 8196 > 8192.
    EXPECT_EQ(next_error(), "rx buffer overflow");
}

TEST_F(FramedStream, ExactlyFullBufferIsAccepted) {
    // 4096 bytes of a 4102-byte frame, then a read of 4096 bytes (its last
    // six and most of the next frame) fill the buffer to exactly 8192.
    Bytes a = frame_of(Bytes(MAX_FRAME_PAYLOAD, 'a'));
    Bytes b = frame_of(Bytes(MAX_FRAME_PAYLOAD, 'b'));
    feed(Bytes(a.begin(), a.begin() + 4096));
    Bytes rest(a.begin() + 4096, a.end());
    rest.insert(rest.end(), b.begin(), b.begin() + 4090);
    feed(rest);
    feed(Bytes(b.begin() + 4090, b.end()));
    auto first = framed.next_frame();
    ASSERT_TRUE(first.ok()) << first.error().text();
    ASSERT_TRUE(first->has_value());
    EXPECT_EQ(first->value(), Bytes(MAX_FRAME_PAYLOAD, 'a'));
    auto second = framed.next_frame();
    ASSERT_TRUE(second.ok() && second->has_value());
    EXPECT_EQ(second->value(), Bytes(MAX_FRAME_PAYLOAD, 'b'));
}

TEST_F(FramedStream, SendWritesOneWholeFrame) {
    ASSERT_TRUE(framed.send({}).ok());
    EXPECT_EQ(written, (Bytes{'V', 'D', 'R', 'L', 0, 0}));

    written.clear();
    ASSERT_TRUE(framed.send(Bytes(300, 'x')).ok());
    ASSERT_EQ(written.size(), 306u);
    EXPECT_EQ(written[4], 0x2C);
    EXPECT_EQ(written[5], 0x01);

    written.clear();
    ASSERT_TRUE(framed.send(Bytes(MAX_FRAME_PAYLOAD, 'y')).ok());
    ASSERT_EQ(written.size(), 4102u);
    EXPECT_EQ(written[4], 0x00);
    EXPECT_EQ(written[5], 0x10);

    written.clear();
    auto too_big = framed.send(Bytes(MAX_FRAME_PAYLOAD + 1, 'z'));
    ASSERT_FALSE(too_big.ok());
    EXPECT_EQ(too_big.error().text(), "response payload too large");
    EXPECT_TRUE(written.empty());
}

TEST(ParseFrame, ReportsWhatTheBufferHolds) {
    using Status = FrameParse::Status;
    EXPECT_EQ(parse_frame(bytes_of("VDRL\x02")).status, Status::NeedMore);
    EXPECT_EQ(parse_frame(Bytes{'V', 'D', 'R', 'X', 0, 0}).status, Status::BadMagic);
    Bytes f = frame_of("hi");
    f.push_back('!');
    FrameParse p = parse_frame(f);
    ASSERT_EQ(p.status, Status::Frame);
    EXPECT_EQ(p.consumed, 8u);
    EXPECT_EQ(std::string(p.payload.begin(), p.payload.end()), "hi");
}

TEST(ReadFrames, DeliversUntilABadFrameOrEnd) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    Bytes input = frame_of("one");
    Bytes two = frame_of("two");
    input.insert(input.end(), two.begin(), two.end());
    input.insert(input.end(), {'B', 'A', 'D', '!', 0, 0});
    Bytes after = frame_of("never");
    input.insert(input.end(), after.begin(), after.end());
    test::write_bytes(fds[1], input);
    ::close(fds[1]);
    std::vector<std::string> got;
    read_frames(fds[0], [&](Bytes payload) {
        got.emplace_back(payload.begin(), payload.end());
        return true;
    });
    ::close(fds[0]);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two"}));
}

TEST(TcpTransport, DescribesPeerAndReportsGoneClient) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    TcpTransport t{Fd(pair[0])};
    EXPECT_EQ(t.describe(), "tcp <unknown>") << "a unix socket has no IP peer";
    ::close(pair[1]);
    auto w = t.write_all(bytes_of("to nobody"));
    ASSERT_FALSE(w.ok()) << "no SIGPIPE, an error";
    EXPECT_EQ(test::text_of(w.error()), "Broken pipe (os error 32)");
}

// Once the broker stops, a session's input ends, whether its read waits or
// its client has sent more, and a write that waits for room in the client's
// socket gives up. Standard input ends the same way.
TEST(TransportStop, EndsInputAndWaitingWrites) {
    Result<std::unique_ptr<StopSignal>> stop = StopSignal::create();
    ASSERT_TRUE(stop);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd peer(pair[1]);
    UnixTransport t{Fd(pair[0]), "pid 1 uid 1"};
    t.stop_on(**stop);
    std::uint8_t buf[16];
    test::write_bytes(peer.get(), bytes_of("before"));
    EXPECT_EQ(t.read(buf).value(), 6u) << "the stop changes nothing before it comes";
    EXPECT_FALSE(t.stopped());

    std::thread stopper([&] { (*stop)->request(std::chrono::seconds(0)); });
    EXPECT_EQ(t.read(buf).value(), 0u) << "a waiting read ends";
    stopper.join();
    EXPECT_TRUE(t.stopped());
    test::write_bytes(peer.get(), bytes_of("after"));
    EXPECT_EQ(t.read(buf).value(), 0u) << "what the client sent after is not read";
    // More than the socket's buffers hold, to a client that reads nothing.
    IoResult<std::size_t> written = t.write_all(Bytes(8 << 20, 'x'));
    ASSERT_FALSE(written);
    EXPECT_EQ(test::text_of(written.error()), STOPPING_MESSAGE);

    int in[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    Fd in_read(in[0]), in_write(in[1]);
    StdioTransport stdio(in_read.get(), -1);
    stdio.stop_on(**stop);
    EXPECT_EQ(stdio.read(buf).value(), 0u);
}

TEST(StdioTransport, Describe) {
    EXPECT_EQ(StdioTransport().describe(), "stdio");
}

} // namespace
} // namespace vandrel
