// Session, web API and encrypted app tickets end to end: "vd_appid",
// "vd_ticket" and "vd_cancel" over TCP, the exact reply bytes, what reached
// Steam (the runtime's call log), refusals, and the tickets cancelled when a
// session ends or switches its game. Each confirmation comes after unrelated
// callbacks and after a confirmation for another handle, which the child must
// pass over. Instances run on the stand-in ("StandIn/...") and on Steam's real
// runtime with the simulated Steam client ("Real/...").
#include "e2e.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vandrel::test {
namespace {

constexpr std::uint32_t APPID = 480;
constexpr std::uint64_t WEB_API_SEED = 1ULL << 32;
constexpr std::uint64_t APP_SEED = 1ULL << 33;

inline constexpr std::string_view SESSION_CALL = "SteamAPI_ISteamUser_GetAuthSessionTicket ";
inline constexpr std::string_view WEB_API_CALL = "SteamAPI_ISteamUser_GetAuthTicketForWebApi ";
inline constexpr std::string_view APP_CALL = "SteamAPI_ISteamUser_RequestEncryptedAppTicket ";
inline constexpr std::string_view CANCEL_CALL = "SteamAPI_ISteamUser_CancelAuthTicket ";
inline constexpr std::string_view PARSE_CALL = "SteamAPI_SteamNetworkingIdentity_ParseString ";

// The "vd_ticket" reply: "vd_ticket\n", challenge, Steam ID, handle, N, ticket.
Bytes auth_reply(std::int32_t challenge, std::uint32_t handle, const Bytes& ticket) {
    Bytes out = bytes_of("vd_ticket\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    append_le(out, USER_STEAM_ID, 8);
    append_le(out, handle, 4);
    append_le(out, ticket.size(), 4);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

// The runtimes' ticket bytes for `seed` (the handle of a session ticket,
// 2^32 + the handle of a web API ticket, 2^33 + the length of an app ticket's data).
Bytes auth_bytes(std::uint64_t seed) {
    return standin_ticket(0, 0, seed, DEFAULT_TICKET_LEN);
}

std::string cancel_call(std::uint32_t handle) {
    return std::string(CANCEL_CALL) + "handle=" + std::to_string(handle) + " known=1";
}

std::string activating(std::uint32_t appid) {
    return "activating appid " + std::to_string(appid) + " (appid " + std::to_string(appid) + ")";
}

class AuthTickets : public OnRuntime<Runtime> {
  protected:
    std::unique_ptr<Client> client(Env env = {}) {
        env["VANDREL_STANDIN_AUTH_DECOYS"] = "1";
        auto c = Client::tcp(steam(), env);
        c->command("vd_appid 480", {activating(APPID), ready_line(APPID)});
        return c;
    }
};

TEST_P(AuthTickets, EachKindWithItsReplyAndItsSteamCall) {
    auto c = client();
    c->command("vd_ticket session steamid:76561197960287931 5",
               {"-> session ticket 240 bytes, handle 1, for challenge 5"});
    EXPECT_EQ(c->reply(), auth_reply(5, 1, auth_bytes(1)));
    c->command("vd_ticket session - -6",
               {"-> session ticket 240 bytes, handle 2, for challenge -6"});
    EXPECT_EQ(c->reply(), auth_reply(-6, 2, auth_bytes(2)));
    c->command("vd_ticket webapi api.example.com 7",
               {"-> webapi ticket 240 bytes, handle 3, for challenge 7"});
    EXPECT_EQ(c->reply(), auth_reply(7, 3, auth_bytes(WEB_API_SEED + 3)));
    c->command("vd_ticket webapi - 8", {"-> webapi ticket 240 bytes, handle 4, for challenge 8"});
    EXPECT_EQ(c->reply(), auth_reply(8, 4, auth_bytes(WEB_API_SEED + 4)));
    c->command("vd_ticket app 0102fF 9", {"-> app ticket 240 bytes, handle 0, for challenge 9"});
    EXPECT_EQ(c->reply(), auth_reply(9, 0, auth_bytes(APP_SEED + 3)));
    c->command("vd_ticket app - 10", {"-> app ticket 240 bytes, handle 0, for challenge 10"});
    EXPECT_EQ(c->reply(), auth_reply(10, 0, auth_bytes(APP_SEED)));

    const Broker& b = c->broker();
    EXPECT_EQ(b.calls(PARSE_CALL),
              std::vector<std::string>{std::string(PARSE_CALL) +
                                       "text=steamid:76561197960287931 result=1"});
    EXPECT_EQ(b.calls(SESSION_CALL),
              (std::vector<std::string>{
                  std::string(SESSION_CALL) +
                      "max=2048 zeroed=1 identity=steamid:76561197960287931 handle=1 len=240",
                  std::string(SESSION_CALL) + "max=2048 zeroed=1 identity=null handle=2 len=240"}));
    EXPECT_EQ(
        b.calls(WEB_API_CALL),
        (std::vector<std::string>{std::string(WEB_API_CALL) + "identity=api.example.com handle=3",
                                  std::string(WEB_API_CALL) + "identity=null handle=4"}));
    std::vector<std::string> apps = b.calls(APP_CALL);
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_TRUE(apps[0].starts_with(std::string(APP_CALL) + "len=3 data=0102ff call=")) << apps[0];
    EXPECT_TRUE(apps[1].starts_with(std::string(APP_CALL) + "len=0 data=null call=")) << apps[1];

    // A live handle is cancelled once; then it, and one never issued, are unknown.
    c->command("vd_cancel 3", {});
    c->command("vd_cancel 3", {"command error: unknown ticket handle"});
    c->command("vd_cancel 0", {"command error: unknown ticket handle"});
    c->sync();
    EXPECT_EQ(b.calls(CANCEL_CALL), std::vector<std::string>{cancel_call(3)});

    // The session ends: the handles still held are cancelled, one line each.
    c->close_input();
    c->expect({"peer closed the connection", "cancelling dangling auth ticket 1",
               "cancelling dangling auth ticket 2", "cancelling dangling auth ticket 4",
               "session ended, awaiting next connection", reaped_line(APPID)});
    EXPECT_EQ(b.calls(CANCEL_CALL), (std::vector<std::string>{cancel_call(3), cancel_call(1),
                                                              cancel_call(2), cancel_call(4)}));
    EXPECT_TRUE(c->nothing_more());
    EXPECT_TRUE(b.calls("ERROR").empty());
}

TEST_P(AuthTickets, RefusalCancelsTheIssuedHandleAndIsAnsweredWhenAsked) {
    auto c = client({{"VANDREL_STANDIN_AUTH_RESULT", "2"}});
    c->command("vd_errors on", {});
    c->command("vd_ticket webapi - 77", {"err steam refused the ticket, result 2",
                                         "command error: steam refused to issue auth ticket, "
                                         "result 2"});
    EXPECT_EQ(c->reply(),
              error_reply(77, "vd_ticket: steam refused to issue auth ticket, result 2"));
    c->command("vd_ticket app - 78", {"err steam refused the ticket, result 2",
                                      "command error: steam refused to issue auth ticket, "
                                      "result 2"});
    EXPECT_EQ(c->reply(),
              error_reply(78, "vd_ticket: steam refused to issue auth ticket, result 2"));
    EXPECT_EQ(c->broker().calls(CANCEL_CALL), std::vector<std::string>{cancel_call(1)})
        << "the refused handle, and nothing for an app ticket";
    EXPECT_TRUE(c->broker().calls("SteamAPI_ISteamUser_GetEncryptedAppTicket").empty());
    // Nothing is held: nothing is cancelled at the end.
    c->close_input();
    c->expect({"peer closed the connection", "session ended, awaiting next connection",
               reaped_line(APPID)});
    EXPECT_EQ(c->broker().calls(CANCEL_CALL).size(), 1u);
}

TEST_P(AuthTickets, SwitchCancelsTheOldChildsTickets) {
    auto c = client();
    c->command("vd_appid 00480", {"appid 480 already active (appid 480)"});
    c->command("vd_ticket session - 1", {"-> session ticket 240 bytes, handle 1, for challenge 1"});
    ASSERT_TRUE(c->reply());
    c->command("vd_ticket webapi - 2", {"-> webapi ticket 240 bytes, handle 2, for challenge 2"});
    ASSERT_TRUE(c->reply());
    c->command("vd_gamedir cstrike",
               {"switching appid 480 -> 10", "cancelling dangling auth ticket 1",
                "cancelling dangling auth ticket 2", reaped_line(APPID),
                "activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    EXPECT_EQ(c->broker().calls(CANCEL_CALL),
              (std::vector<std::string>{cancel_call(1), cancel_call(2)}));
    // The new child's handles start afresh; the old ones are gone.
    c->command("vd_cancel 2", {"command error: unknown ticket handle"});
    c->command("vd_terminate", {reaped_line(10), "vd_terminate \xE2\x80\x94 exiting"});
    EXPECT_EQ(c->broker().calls(CANCEL_CALL).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(StandIn, AuthTickets, ::testing::Values(Runtime::StandIn), instance_name);
INSTANTIATE_TEST_SUITE_P(Real, AuthTickets, ::testing::Values(Runtime::Real), instance_name);

TEST(AuthTicketCommands, ArgumentErrorsNameTheArgument) {
    auto c = Client::tcp(standin());
    c->command("vd_ticket session - 1", {"command error: session not active"});
    c->command("vd_appid", {"command error: invalid args, missing \"appid\""});
    for (std::string bad : {"0", "+480", "-1", "4.8", "4294967296", "480x"})
        c->command("vd_appid " + bad, {"command error: failed to parse \"appid\""});
    c->command("vd_appid 4294967295", {activating(4294967295), ready_line(4294967295)});
    c->command("vd_ticket", {"command error: invalid args, missing \"kind\""});
    c->command("vd_ticket connect - 1", {"command error: failed to parse \"kind\""});
    c->command("vd_ticket session", {"command error: invalid args, missing \"identity\""});
    c->command("vd_ticket app", {"command error: invalid args, missing \"data\""});
    c->command("vd_ticket webapi -", {"command error: invalid args, missing \"challenge\""});
    c->command("vd_ticket session - 1x", {"command error: failed to parse \"challenge\""});
    for (const std::string& data : {std::string("0"), std::string("0g"), std::string(2050, 'a')})
        c->command("vd_ticket app " + data + " 1", {"command error: failed to parse \"data\""});
    c->command("vd_ticket webapi " + std::string(256, 'i') + " 1",
               {"command error: failed to parse \"identity\""});
    c->command("vd_ticket session nobody 1",
               {"err bad identity", "command error: failed to parse \"identity\""});
    c->command("vd_cancel", {"command error: invalid args, missing \"handle\""});
    c->command("vd_cancel -1", {"command error: failed to parse \"handle\""});
    c->sync();
    EXPECT_TRUE(c->broker().calls(SESSION_CALL).empty());
    EXPECT_TRUE(c->broker().calls(WEB_API_CALL).empty());
    EXPECT_TRUE(c->broker().calls(APP_CALL).empty());
    EXPECT_EQ(c->broker().calls(PARSE_CALL),
              std::vector<std::string>{std::string(PARSE_CALL) + "text=nobody result=0"});
}

} // namespace
} // namespace vandrel::test
