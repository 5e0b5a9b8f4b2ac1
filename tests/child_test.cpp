// The child's request handler as a pure function over a recording Steam.
#include "child/child.hpp"
#include "shared/child_protocol.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace vandrel::child {
namespace {

using test::bytes_of;

struct Call {
    std::string what;
    std::uint64_t sid = 0;
    SocketAddrV4 server;
    bool secure = false;
};

class FakeSteam final : public SteamPort {
  public:
    std::vector<Call> calls;
    std::optional<Bytes> ticket = Bytes{1, 2, 3};
    std::uint64_t id = 0x0110000100000001ULL;

    std::uint64_t steam_id() override { return id; }
    std::optional<Bytes> initiate_game_connection(std::uint64_t sid, SocketAddrV4 server,
                                                  bool secure) override {
        calls.push_back({"conn", sid, server, secure});
        return ticket;
    }
    void terminate_game_connection(SocketAddrV4 server) override {
        calls.push_back({"term", 0, server, false});
    }
    steam::AuthResult session_ticket(std::optional<std::string_view> identity) override {
        calls.push_back({"session " + std::string(identity.value_or("(none)")), 0, {}, false});
        return auth;
    }
    steam::AuthResult web_api_ticket(std::optional<std::string_view> identity) override {
        calls.push_back({"webapi " + std::string(identity.value_or("(none)")), 0, {}, false});
        return auth;
    }
    steam::AuthResult app_ticket(std::span<const std::uint8_t> data) override {
        calls.push_back({"app " + std::string(data.begin(), data.end()), 0, {}, false});
        return auth;
    }
    void cancel_auth_ticket(std::uint32_t handle) override {
        calls.push_back({"cancel " + std::to_string(handle), 0, {}, false});
    }
    bool logged_on() override {
        calls.push_back({"logged_on", 0, {}, false});
        return on;
    }
    steam::RuntimeIdentity runtime() override { return identity; }

    steam::AuthResult auth = steam::AuthTicket{7, {9, 8}};
    bool on = true;
    steam::RuntimeIdentity identity{"/opt/steam/libsteam_api.so", false};
};

std::string reply_text(std::string_view request, FakeSteam& steam) {
    Bytes out = handle(bytes_of(request), steam);
    return std::string(out.begin(), out.end());
}

TEST(ChildHandle, ConnArguments) {
    struct Case {
        std::string request;
        std::uint64_t sid;
        bool secure;
    };
    for (const Case& c : {
             Case{"conn 10.0.0.5:27015", 0, false},
             Case{"conn 10.0.0.5:27015 90071992547409920 1", 90071992547409920ULL, true},
             Case{"conn 10.0.0.5:27015 123abc 0", 123, false},
             Case{"conn 10.0.0.5:27015 99999999999999999999 1", 0, true},
             Case{"conn 10.0.0.5:27015 18446744073709551615 00", 18446744073709551615ULL, true},
             Case{"conn 10.0.0.5:27015 abc -1", 0, true},
             Case{"conn 10.0.0.5:27015 0x10 false", 0, true},
             Case{"conn 10.0.0.5:27015 -5 true", 0, true},
             Case{"  conn\t10.0.0.5:27015  7  1  extra", 7, true},
         }) {
        FakeSteam steam;
        reply_text(c.request, steam);
        ASSERT_EQ(steam.calls.size(), 1u) << c.request;
        EXPECT_EQ(steam.calls[0].sid, c.sid) << c.request;
        EXPECT_EQ(steam.calls[0].secure, c.secure) << c.request;
        EXPECT_EQ(steam.calls[0].server.to_string(), "10.0.0.5:27015");
    }
}

TEST(ChildHandle, TicketReplyLayout) {
    FakeSteam steam;
    Bytes out = handle(bytes_of("conn 1.2.3.4:5 1 1"), steam);
    Bytes expected = {'o', 'k', ' ', 0x01, 0, 0, 0, 0x01, 0, 0x10, 0x01, 3, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(out, expected);

    steam.ticket = std::nullopt;
    EXPECT_EQ(reply_text("conn 1.2.3.4:5 1 1", steam), "err steam refused to issue an auth ticket");
}

TEST(ChildHandle, BadAddressesCallNothing) {
    FakeSteam steam;
    for (auto r :
         {"conn", "conn localhost:27015", "conn 10.0.0.5", "conn [::1]:27015", "conn 10.0.0.05:1"})
        EXPECT_EQ(reply_text(r, steam), "err bad server address") << r;
    for (auto r : {"term", "term nonsense"})
        EXPECT_EQ(reply_text(r, steam), "ok") << r;
    EXPECT_TRUE(steam.calls.empty());
    EXPECT_EQ(reply_text("term 10.0.0.5:27015 more", steam), "ok");
    ASSERT_EQ(steam.calls.size(), 1u);
    EXPECT_EQ(steam.calls[0].what, "term");
}

TEST(ChildHandle, UnknownWordsAreQuoted) {
    FakeSteam steam;
    EXPECT_EQ(reply_text("CONN 10.0.0.5:27015", steam), "err unknown child request \"CONN\"");
    EXPECT_EQ(reply_text("hello there", steam), "err unknown child request \"hello\"");
    EXPECT_EQ(reply_text("", steam), "err unknown child request \"\"");
    EXPECT_EQ(reply_text(" \t\r\n\f", steam), "err unknown child request \"\"");
    EXPECT_EQ(reply_text("a\vb", steam), "err unknown child request \"a\\u{b}b\"");
    EXPECT_EQ(reply_text("e\u0301", steam), "err unknown child request \"e\\u{301}\"");
    EXPECT_EQ(reply_text("back\\slash\"quote", steam),
              "err unknown child request \"back\\\\slash\\\"quote\"");
    Bytes not_text = {'c', 'o', 0xFF};
    Bytes out = handle(not_text, steam);
    EXPECT_EQ(std::string(out.begin(), out.end()), "err non-utf8 request");
    EXPECT_TRUE(steam.calls.empty());
}

TEST(ChildHandle, AuthTicketRequestsAndTheirAnswers) {
    FakeSteam steam;
    // "auth ", Steam ID, handle 7, N = 2, the ticket.
    Bytes expected = {'a',  'u', 't', 'h', ' ', 0x01, 0, 0, 0, 0x01, 0, 0x10,
                      0x01, 7,   0,   0,   0,   2,    0, 0, 0, 9,    8};
    EXPECT_EQ(handle(bytes_of("ticket session steamid:76561197960287931"), steam), expected);
    EXPECT_EQ(handle(bytes_of("ticket webapi -"), steam), expected);
    // App data travel as the bytes they are, a NUL and a non-UTF-8 byte too.
    EXPECT_EQ(handle(app_ticket_request(Bytes{0x00, 0xFF, 0x41}), steam), expected);
    EXPECT_EQ(handle(app_ticket_request(Bytes{}), steam), expected);
    EXPECT_EQ(handle(bytes_of("appticket"), steam), expected);
    EXPECT_EQ(reply_text("cancel 4294967295", steam), "ok");
    EXPECT_EQ(reply_text("cancel -1", steam), "ok") << "not a handle: nothing to cancel";
    std::vector<std::string> asked;
    for (const Call& call : steam.calls)
        asked.push_back(call.what);
    const std::string app_data("app \0\xFF"
                               "A",
                               7);
    EXPECT_EQ(asked, (std::vector<std::string>{"session steamid:76561197960287931", "webapi (none)",
                                               app_data, "app ", "app ", "cancel 4294967295"}));
}

TEST(ChildHandle, AuthTicketFailuresAndBadArguments) {
    using Kind = steam::AuthFailure::Kind;
    FakeSteam steam;
    steam.auth = steam::AuthFailure{Kind::Refused, 2};
    EXPECT_EQ(reply_text("ticket session -", steam), "err steam refused the ticket, result 2");
    steam.auth = steam::AuthFailure{Kind::Refused, std::nullopt};
    EXPECT_EQ(reply_text("ticket webapi x", steam), "err steam refused to issue an auth ticket");
    steam.auth = steam::AuthFailure{Kind::Unconfirmed, std::nullopt};
    EXPECT_EQ(reply_text("appticket", steam), "err steam did not confirm the ticket");
    steam.auth = steam::AuthFailure{Kind::BadIdentity, std::nullopt};
    EXPECT_EQ(reply_text("ticket session nobody", steam), "err bad identity");
    steam.calls.clear();
    Bytes too_much = handle(app_ticket_request(Bytes(MAX_APP_DATA_LEN + 1, 'a')), steam);
    EXPECT_EQ(std::string(too_much.begin(), too_much.end()), "err bad data");
    // App data come as bytes only, never as a kind of the text request.
    for (auto r : {"ticket connect -", "ticket app 00ff", "appticketx 00"})
        EXPECT_NE(reply_text(r, steam).find("err "), std::string::npos) << r;
    EXPECT_EQ(reply_text("ticket app 00ff", steam), "err bad ticket kind");
    EXPECT_TRUE(steam.calls.empty()) << "nothing reached Steam";
}

// The status answer asks Steam at that moment, and carries the runtime's path
// cut to its limit; the broker reads back what the child wrote.
TEST(ChildHandle, StatusAsksSteamNowAndRoundTrips) {
    FakeSteam steam;
    steam.on = false;
    steam.identity = {"/opt/vandrel/lib/libsteam_api.so", true};
    Bytes expected = bytes_of("status ");
    append_le(expected, steam.id, 8);
    expected.push_back(0);
    expected.push_back(1);
    const Bytes path = bytes_of(steam.identity.path);
    expected.insert(expected.end(), path.begin(), path.end());
    EXPECT_EQ(handle(bytes_of("status"), steam), expected);
    ASSERT_EQ(steam.calls.size(), 1u);
    EXPECT_EQ(steam.calls[0].what, "logged_on");

    steam.on = true;
    steam.identity = {std::string(MAX_RUNTIME_PATH_LEN + 10, 'p'), false};
    Bytes answer = handle(bytes_of("  status extra"), steam);
    EXPECT_EQ(answer.size(), STATUS_PATH_AT + MAX_RUNTIME_PATH_LEN);
    Result<ChildStatus> read = read_status_answer(answer);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->steam_id, steam.id);
    EXPECT_TRUE(read->logged_on);
    EXPECT_FALSE(read->standin);
    EXPECT_EQ(read->runtime, std::string(MAX_RUNTIME_PATH_LEN, 'p'));

    EXPECT_EQ(read_status_answer(Bytes(answer.begin(), answer.begin() + STATUS_PATH_AT - 1))
                  .error()
                  .text(),
              "short status response from child");
    EXPECT_EQ(read_status_answer(bytes_of("err unknown child request \"status\"")).error().text(),
              "steam child refused the status request");
    // Another answer of the status answer's length is not one.
    Bytes other = answer;
    std::copy(CONN_ANSWER_WORD.begin(), CONN_ANSWER_WORD.end(), other.begin());
    EXPECT_EQ(read_status_answer(other).error().text(), "steam child refused the status request");
}

TEST(ChildHandle, LeadingSteamId) {
    EXPECT_EQ(leading_steam_id(""), 0u);
    EXPECT_EQ(leading_steam_id("007"), 7u);
    EXPECT_EQ(leading_steam_id("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(leading_steam_id("18446744073709551616"), 0u);
    EXPECT_EQ(leading_steam_id("000000000000000000000000042x"), 42u);
}

} // namespace
} // namespace vandrel::child
