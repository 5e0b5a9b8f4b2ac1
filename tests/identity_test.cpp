// One rule for an identity on the client's side: the library refuses what the
// broker would refuse before it sends anything, and vandrel-ticket refuses it
// before it starts a broker. (The broker's own refusal: Session tests.)
#include "test_support.hpp"
#include "vandrel/client.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace vandrel::test {
namespace {

using namespace std::chrono_literals;

const std::string LONGEST(VANDREL_MAX_IDENTITY_LEN, 'i');
// Each refused for another reason: none, a blank, a NUL's stand-in that a C
// string can carry (U+0001), ESC, DEL, C1 (U+0085), not UTF-8, too long, and
// "-", which stands for none on the wire.
const std::vector<std::string> REFUSED = {
    "", "a b", "a\x01", "a\x1B[2J", "a\x7F", "a\xC2\x85", "caf\xE9", LONGEST + "i", "-"};

// The frames' payloads that arrived on `fd` so far.
std::vector<std::string> payloads_on(int fd) {
    std::vector<std::string> out;
    while (std::optional<Bytes> payload = read_frame(fd, 200ms))
        out.emplace_back(payload->begin(), payload->end());
    return out;
}

TEST(Identity, TheLibrarySendsAnIdentityAsWrittenOrNothing) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    Fd broker(fds[0]);
    vandrel_client* client = nullptr;
    ASSERT_EQ(vandrel_attach(&client, fds[1], fds[1], 1), VANDREL_OK);
    unsigned char data[VANDREL_MAX_AUTH_TICKET_LEN];
    vandrel_ticket ticket{data, sizeof data, 0, 0};
    auto request = [&](vandrel_ticket_kind kind, const std::string& identity) {
        vandrel_auth_request r{kind, identity.c_str(), nullptr, 0, 7};
        return vandrel_request_auth_ticket(client, &r, 0, &ticket, nullptr);
    };

    for (const std::string& bad : REFUSED) {
        EXPECT_EQ(vandrel_check_identity(bad.c_str()), VANDREL_ERR_ARGUMENT) << bad;
        EXPECT_EQ(request(VANDREL_TICKET_WEBAPI, bad), VANDREL_ERR_ARGUMENT) << bad;
        EXPECT_EQ(request(VANDREL_TICKET_SESSION, bad), VANDREL_ERR_ARGUMENT) << bad;
    }
    EXPECT_EQ(vandrel_check_identity(nullptr), VANDREL_ERR_ARGUMENT);
    EXPECT_EQ(payloads_on(broker.get()), std::vector<std::string>{"vd_errors on"})
        << "nothing but the opening line was sent";

    for (const std::string& good : {std::string("str:caf\xC3\xA9"), LONGEST}) {
        EXPECT_EQ(vandrel_check_identity(good.c_str()), VANDREL_OK) << good;
        EXPECT_EQ(request(VANDREL_TICKET_WEBAPI, good), VANDREL_ERR_TIMEOUT) << good;
        EXPECT_EQ(payloads_on(broker.get()),
                  std::vector<std::string>{"vd_ticket webapi " + good + " 7"});
    }
    EXPECT_EQ(vandrel_close(client), VANDREL_OK);
}

// A "broker" that only leaves a mark that it was started.
class MarkingBroker {
  public:
    MarkingBroker() {
        std::ofstream(path()) << "#!/bin/sh\ntouch '" << mark() << "'\n";
        std::filesystem::permissions(path(), std::filesystem::perms::owner_all);
    }
    std::string path() const { return dir_.path() + "/broker"; }
    std::string mark() const { return dir_.path() + "/started"; }
    bool started() const { return std::filesystem::exists(mark()); }

  private:
    TempDir dir_;
};

int run_tool(const MarkingBroker& broker, const std::string& kind, const std::string& identity,
             std::vector<std::string>* err = nullptr) {
    Spawn options;
    options.args = {"--spawn", broker.path(), "--appid",    "480",
                    "--kind",  kind,          "--identity", identity};
    options.pipe_stdin = false;
    options.pipe_stdout = false;
    Process tool(build_dir() + "/bin/vandrel-ticket", options);
    std::vector<std::string> lines = tool.rest_of_lines(20s);
    if (err != nullptr)
        *err = lines;
    return tool.wait_exit(10s).value_or(-1);
}

TEST(Identity, VandrelTicketRefusesABadIdentityBeforeItStartsABroker) {
    MarkingBroker broker;
    for (const std::string& bad : REFUSED) {
        std::vector<std::string> err;
        EXPECT_EQ(run_tool(broker, "webapi", bad, &err), 2) << bad;
        EXPECT_EQ(err.at(0),
                  "vandrel-ticket: invalid --identity: it must be 1 to 255 bytes of UTF-8 without "
                  "spaces or control characters")
            << bad;
        EXPECT_FALSE(broker.started()) << bad;
    }
    // An identity the rule takes goes on to the broker, here one that fails.
    EXPECT_NE(run_tool(broker, "session", "str:caf\xC3\xA9"), 2);
    EXPECT_TRUE(broker.started());
}

} // namespace
} // namespace vandrel::test
