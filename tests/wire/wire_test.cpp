// The wire header from both sides: a reply the broker builds is read back by C
// code written against the header alone and by the client library, and the
// frames each side writes are the other's.
#include "broker/session.hpp"
#include "shared/child_protocol.hpp"
#include "shared/transport.hpp"
#include "test_support.hpp"
#include "vandrel/client.h"
#include "vandrel/wire.h"
#include "wire_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vandrel {
namespace {

using test::bytes_of;

constexpr std::uint64_t USER_STEAM_ID = 0x1122334455667788;
constexpr std::int32_t CHALLENGE = -5;
const Bytes TICKET = {0x01, 0x00, 0xFF, 0x7F};

// The ticket reply as the session builds it from a child's answer.
Bytes broker_ticket_reply() {
    return connect_reply(CHALLENGE, conn_answer(USER_STEAM_ID, TICKET),
                         static_cast<std::uint32_t>(TICKET.size()));
}

TEST(Wire, TicketReplyOfTheBrokerReadsBackInC) {
    Bytes reply = broker_ticket_reply();
    wire_check_ticket got{};
    ASSERT_EQ(wire_check_read_ticket_reply(reply.data(), reply.size(), &got), 1);
    EXPECT_EQ(got.challenge, static_cast<std::uint32_t>(CHALLENGE));
    EXPECT_EQ(got.steam_id, USER_STEAM_ID);
    ASSERT_EQ(got.ticket_len, TICKET.size());
    EXPECT_EQ(Bytes(got.ticket, got.ticket + got.ticket_len), TICKET);
}

TEST(Wire, FrameHeadersAreTheSameFromBothSides) {
    const Bytes payload(300, 'p');
    Result<Bytes> broker = encode_frame(payload);
    ASSERT_TRUE(broker.ok());
    Bytes c(VANDREL_FRAME_HEADER_LEN);
    ASSERT_EQ(wire_check_frame_header(c.data(), payload.size()), FRAME_HEADER_LEN);
    c.insert(c.end(), payload.begin(), payload.end());
    EXPECT_EQ(c, *broker);
}

struct Pipe {
    Fd read, write;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
};

// The payloads of the frames in `bytes`, by the broker's frame rule.
std::vector<std::string> payloads(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> out;
    for (FrameParse f = parse_frame(bytes); f.status == FrameParse::Status::Frame;
         f = parse_frame(bytes)) {
        out.emplace_back(as_chars(f.payload));
        bytes = bytes.subspan(f.consumed);
    }
    return out;
}

TEST(Wire, TicketReplyOfTheBrokerReadsBackInTheClientLibrary) {
    Pipe to_broker;
    Pipe to_client;
    Result<Bytes> reply = encode_frame(broker_ticket_reply());
    ASSERT_TRUE(reply.ok());
    test::write_bytes(to_client.write.get(), *reply);

    vandrel_client* client = nullptr;
    ASSERT_EQ(vandrel_attach(&client, to_client.read.get(), to_broker.write.get(), 0), VANDREL_OK);
    vandrel_ticket_request request{"1.2.3.4:27015", 90071992547409920, 1, CHALLENGE};
    unsigned char data[VANDREL_MAX_TICKET_LEN];
    vandrel_ticket ticket{data, sizeof data, 0, 0};
    ASSERT_EQ(vandrel_request_ticket(client, &request, 5000, &ticket), VANDREL_OK);
    EXPECT_EQ(ticket.steam_id, USER_STEAM_ID);
    EXPECT_EQ(Bytes(data, data + ticket.len), TICKET);
    EXPECT_EQ(vandrel_close(client), VANDREL_OK);

    to_broker.write.reset();
    Bytes sent;
    std::uint8_t buf[VANDREL_FRAME_HEADER_LEN + VANDREL_MAX_FRAME_PAYLOAD];
    for (ssize_t n; (n = ::read(to_broker.read.get(), buf, sizeof buf)) > 0;)
        sent.insert(sent.end(), buf, buf + n);
    EXPECT_EQ(payloads(sent),
              (std::vector<std::string>{"vd_errors on",
                                        "vd_connect 1.2.3.4:27015 90071992547409920 1 -5"}));
}

TEST(Wire, AuthTicketReplyOfTheBrokerReadsBackInCAndInTheClientLibrary) {
    constexpr std::uint32_t HANDLE = 0x0A0B0C0D;
    // The answer's parts are borrowed from it: it lives as long as they do.
    const Bytes child_answer = auth_ticket_answer(USER_STEAM_ID, HANDLE, TICKET);
    Result<AuthTicketAnswer> answer = read_auth_answer(child_answer);
    ASSERT_TRUE(answer.ok());
    Bytes reply = auth_ticket_reply(CHALLENGE, *answer);
    wire_check_auth_ticket got{};
    ASSERT_EQ(wire_check_read_auth_reply(reply.data(), reply.size(), &got), 1);
    EXPECT_EQ(got.challenge, static_cast<std::uint32_t>(CHALLENGE));
    EXPECT_EQ(got.steam_id, USER_STEAM_ID);
    EXPECT_EQ(got.handle, HANDLE);
    EXPECT_EQ(Bytes(got.ticket, got.ticket + got.ticket_len), TICKET);

    Pipe to_broker;
    Pipe to_client;
    Result<Bytes> frame = encode_frame(reply);
    ASSERT_TRUE(frame.ok());
    test::write_bytes(to_client.write.get(), *frame);
    vandrel_client* client = nullptr;
    ASSERT_EQ(vandrel_attach(&client, to_client.read.get(), to_broker.write.get(), 0), VANDREL_OK);
    vandrel_auth_request request{VANDREL_TICKET_SESSION, "steamid:1", nullptr, 0, CHALLENGE};
    unsigned char data[VANDREL_MAX_AUTH_TICKET_LEN];
    vandrel_ticket ticket{data, sizeof data, 0, 0};
    std::uint32_t handle = 0;
    ASSERT_EQ(vandrel_request_auth_ticket(client, &request, 5000, &ticket, &handle), VANDREL_OK);
    EXPECT_EQ(handle, HANDLE);
    EXPECT_EQ(ticket.steam_id, USER_STEAM_ID);
    EXPECT_EQ(Bytes(data, data + ticket.len), TICKET);
    EXPECT_EQ(vandrel_close(client), VANDREL_OK);
    to_broker.write.reset();
    Bytes sent;
    std::uint8_t buf[VANDREL_FRAME_HEADER_LEN + VANDREL_MAX_FRAME_PAYLOAD];
    for (ssize_t n; (n = ::read(to_broker.read.get(), buf, sizeof buf)) > 0;)
        sent.insert(sent.end(), buf, buf + n);
    EXPECT_EQ(payloads(sent),
              (std::vector<std::string>{"vd_errors on", "vd_ticket session steamid:1 -5"}));
}

} // namespace
} // namespace vandrel
