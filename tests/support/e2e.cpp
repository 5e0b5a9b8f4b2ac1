#include "e2e.hpp"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vandrel::test {

namespace fs = std::filesystem;

std::string runtime_name(Runtime runtime) {
    return runtime == Runtime::Real ? "Real" : "StandIn";
}

void PrintTo(Runtime runtime, std::ostream* os) {
    *os << runtime_name(runtime);
}

std::string init_prefix(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient ConnectToGlobalUser " : "SteamAPI_InitFlat ";
}

std::string init_call(Runtime runtime, std::uint32_t appid) {
    return init_prefix(runtime) +
           (runtime == Runtime::Real ? "pipe=1 user=1 appid=" : "zeroed=1 result=0 appid=") +
           std::to_string(appid);
}

std::string steam_id_call(Runtime runtime, std::uint64_t id) {
    return (runtime == Runtime::Real ? "steamclient GetSteamID steamid="
                                     : "SteamAPI_ISteamUser_GetSteamID steamid=") +
           std::to_string(id);
}

std::string shutdown_call(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient BShutdownIfAllPipesClosed result=1"
                                    : "SteamAPI_Shutdown";
}

std::string run_frame_prefix(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient RunFrame" : "SteamAPI_ManualDispatch_RunFrame ";
}

bool is_background_call(Runtime runtime, std::string_view line) {
    if (line.starts_with(NEXT_CALLBACK) || line.starts_with(CALL_RESULT) ||
        line.starts_with(FREE_CALLBACK))
        return true;
    if (runtime == Runtime::StandIn)
        return line.starts_with("SteamAPI_GetHSteamPipe ") ||
               line.starts_with("SteamAPI_ManualDispatch_RunFrame ");
    return line == "steamclient RunFrame" ||
           line.starts_with("steamclient GetISteamGenericInterface ") ||
           line.starts_with("steamclient GetAppID ");
}

std::string misuse_prefix(Runtime runtime) {
    return runtime == Runtime::Real ? "steamclient simulation: error"
                                    : "libsteam_api stand-in: error";
}

std::vector<std::string> lines_starting(const std::vector<std::string>& lines,
                                        std::string_view prefix) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        if (line.starts_with(prefix))
            out.push_back(line);
    return out;
}

std::vector<std::string> steam_calls(Runtime runtime, const std::vector<std::string>& calls) {
    std::vector<std::string> out;
    for (const auto& line : calls)
        if (!is_background_call(runtime, line))
            out.push_back(line);
    return out;
}

bool in_order(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const auto& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end())
            return false;
        ++at;
    }
    return true;
}

std::string initiate_call(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                          long long written, long long result) {
    return std::string(INITIATE) + "max=2048 zeroed=1 sid=" + std::to_string(sid) +
           " ip=" + std::to_string(ip) + " port=" + std::to_string(port) +
           " secure=" + (secure ? "1" : "0") + " written=" + std::to_string(written) +
           " result=" + std::to_string(result);
}

std::string terminate_call(std::uint32_t ip, std::uint16_t port) {
    return std::string(TERMINATE) + "ip=" + std::to_string(ip) + " port=" + std::to_string(port);
}

std::string field(const std::string& line, std::string_view key) {
    std::string needle = " " + std::string(key) + "=";
    std::size_t at = line.find(needle);
    if (at == std::string::npos)
        return "";
    at += needle.size();
    return line.substr(at, line.find(' ', at) - at);
}

RealSteam real_steam() {
    return {VANDREL_REAL_RUNTIME_DIR, VANDREL_STEAMCLIENT_SO};
}

std::string real_runtime_missing() {
    const std::string runtime = real_steam().runtime_dir + "/libsteam_api.so";
    if (fs::exists(runtime))
        return "";
    return runtime + " is missing: scripts/fetch-steam-runtime could not fetch the real runtime "
                     "(the ctest fixture fetch_steam_runtime does)";
}

std::string loaded_runtime_path(Runtime runtime) {
    if (runtime == Runtime::Real)
        return real_steam().runtime_dir + "/libsteam_api.so";
    // The program finds the stand-in through its own, resolved, path.
    return (fs::canonical(build_dir()) / "lib/vandrel/libsteam_api.so").string();
}

SteamSetup::SteamSetup(const RealSteam& real)
    : runtime_(Runtime::Real), runtime_dir_(real.runtime_dir), home_(std::make_unique<TempDir>()) {
    fs::create_directories(home_->path() + "/.steam/sdk64");
    std::error_code ec;
    fs::copy_file(real.simulated_client, client_library(), ec);
    EXPECT_FALSE(ec) << "cannot copy " << real.simulated_client << ": " << ec.message();
    std::ofstream(home_->path() + "/.steam/steam.pid") << ::getpid();
}

void SteamSetup::apply(Spawn& spawn) const {
    std::vector<std::string> scripting = scripting_variables();
    spawn.unset_env.insert(spawn.unset_env.end(), scripting.begin(), scripting.end());
    spawn.env["LD_BIND_NOW"] = "1";
    if (runtime_ == Runtime::Real) {
        spawn.env["LD_LIBRARY_PATH"] = runtime_dir_;
        spawn.env["HOME"] = home();
    } else {
        spawn.unset_env.emplace_back("LD_LIBRARY_PATH");
    }
}

std::vector<std::string> SteamSetup::announcement() const {
    if (runtime_ == Runtime::Real)
        return {"[S_API] SteamAPI_Init(): Loaded '" + client_library() + "' OK.",
                "steamclient simulation: not Steam"};
    return {"libsteam_api stand-in: not Steam"};
}

void SteamSetup::expect_in_use(const std::vector<std::string>& lines) const {
    for (const auto& line : announcement())
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
            << line << "\n"
            << ::testing::PrintToString(lines);
}

void SteamSetup::expect_announced(const std::vector<std::string>& lines, long times) const {
    for (const auto& line : announcement())
        EXPECT_EQ(std::count(lines.begin(), lines.end(), line), times)
            << line << "\n"
            << ::testing::PrintToString(lines);
}

const SteamSetup& standin() {
    static const SteamSetup setup;
    return setup;
}

Bytes ready_message(std::uint64_t id) {
    Bytes out = bytes_of("ready ");
    append_le(out, id, 8);
    return out;
}

Bytes ticket_reply(const Bytes& ticket, std::uint64_t id) {
    Bytes out = bytes_of("ok ");
    append_le(out, id, 8);
    append_le(out, ticket.size(), 4);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

Bytes padded_ticket(std::uint32_t ip, std::uint16_t port, std::uint64_t sid, std::size_t written,
                    std::size_t total) {
    Bytes out = standin_ticket(ip, port, sid, written);
    out.resize(total, 0);
    return out;
}

std::string show(const std::optional<Bytes>& payload) {
    if (!payload)
        return "<no frame>";
    std::string out;
    for (std::uint8_t b : *payload) {
        if (b >= 0x20 && b < 0x7f) {
            out.push_back(static_cast<char>(b));
        } else {
            static constexpr char HEX[] = "0123456789abcdef";
            out += "\\x";
            out.push_back(HEX[b >> 4]);
            out.push_back(HEX[b & 0xf]);
        }
    }
    return out;
}

Child::Child(const SteamSetup& steam, Env env, std::string appid, std::optional<std::string> tmpdir)
    : process_(options(steam, std::move(env), std::move(appid), std::move(tmpdir))) {}

std::optional<std::string> Child::next_log_line() {
    while (auto line = process_.next_line(REPLY_TIMEOUT))
        if (line->starts_with(LOG_PREFIX))
            return line;
    return std::nullopt;
}

Ending Child::finish() {
    process_.close_stdin();
    process_.rest_of_lines(REPLY_TIMEOUT);
    std::optional<int> status = process_.wait_exit(REPLY_TIMEOUT);
    return {status, process_.lines()};
}

Spawn Child::options(const SteamSetup& steam, Env env, std::string appid,
                     std::optional<std::string> tmpdir) {
    // A write to a child that has already ended must fail, not end the tests.
    std::signal(SIGPIPE, SIG_IGN);
    Spawn spawn;
    spawn.args = {"--child", std::move(appid)};
    steam.apply(spawn);
    spawn.env["TMPDIR"] = tmpdir.value_or(tmp_.path());
    spawn.env["VANDREL_STANDIN_CALL_LOG"] = call_log_path();
    spawn.env["VANDREL_STANDIN_STEAM_ID"] = std::to_string(CHILD_STEAM_ID);
    for (auto& [name, value] : env)
        spawn.env[name] = std::move(value);
    return spawn;
}

std::vector<std::string> log_lines(const std::vector<std::string>& lines) {
    return lines_starting(lines, LOG_PREFIX);
}

std::string scratch_of(const std::optional<std::string>& line, const std::string& tmpdir) {
    const std::string head = "[vandrel] child: appid 480, scratch ";
    if (!line || !line->starts_with(head)) {
        ADD_FAILURE() << "expected the scratch line, got " << line.value_or("<none>");
        return "";
    }
    std::string dir = line->substr(head.size());
    EXPECT_EQ(fs::path(dir).parent_path().string(), tmpdir) << dir;
    std::string name = fs::path(dir).filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex("vandrel-480-[0-9a-f]{8}"))) << name;
    return dir;
}

bool dir_is_empty(const std::string& path) {
    std::error_code ec;
    return fs::is_empty(path, ec) && !ec;
}

std::vector<std::string> scratch_dirs(const std::string& tmpdir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(tmpdir, ec))
        if (entry.path().filename().string().starts_with("vandrel-"))
            out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string start(Child& child, std::uint64_t id) {
    std::optional<Bytes> ready = child.next_frame();
    EXPECT_EQ(ready, ready_message(id)) << show(ready);
    std::string dir = scratch_of(child.next_log_line(), child.tmpdir());
    EXPECT_EQ(child.next_log_line(),
              "[vandrel] child: steam up, appid AppId(480), steamid " + std::to_string(id));
    return dir;
}

std::vector<std::string> startup_lines(const std::string& dir) {
    return {"[vandrel] child: appid 480, scratch " + dir,
            "[vandrel] child: steam up, appid AppId(480), steamid " +
                std::to_string(CHILD_STEAM_ID)};
}

std::vector<std::string> new_steam_calls(Runtime runtime, const Child& child, std::size_t& seen) {
    std::vector<std::string> all = steam_calls(runtime, child.calls());
    std::vector<std::string> fresh;
    if (all.size() > seen)
        fresh.assign(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
    seen = all.size();
    return fresh;
}

void expect_clean_shutdown(Runtime runtime, const std::vector<std::string>& calls) {
    EXPECT_EQ(lines_starting(calls, "ERROR "), std::vector<std::string>{});
    std::vector<std::string> steam = steam_calls(runtime, calls);
    ASSERT_FALSE(steam.empty());
    EXPECT_EQ(steam.back(), shutdown_call(runtime));
    EXPECT_EQ(std::count(steam.begin(), steam.end(), shutdown_call(runtime)), 1);
}

std::string ready_line(std::uint32_t appid) {
    return "child for appid " + std::to_string(appid) + " ready, steamid " +
           std::to_string(USER_STEAM_ID);
}

std::string reaped_line(std::uint32_t appid) {
    return "child for appid " + std::to_string(appid) + " reaped";
}

std::string broker_initiate(std::uint64_t sid, std::uint32_t ip, std::uint16_t port, bool secure,
                            std::size_t len) {
    const auto n = static_cast<long long>(len);
    return initiate_call(sid, ip, port, secure, n, n);
}

Bytes connect_reply(std::int32_t challenge, std::uint64_t steam_id, const Bytes& ticket,
                    std::optional<std::uint32_t> announced) {
    Bytes out = bytes_of("vd_connect\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    append_le(out, steam_id, 8);
    append_le(out, announced.value_or(static_cast<std::uint32_t>(ticket.size())), 4);
    out.insert(out.end(), ticket.begin(), ticket.end());
    return out;
}

Bytes error_reply(std::int32_t challenge, std::string_view text) {
    Bytes out = bytes_of("vd_error\n");
    append_le(out, static_cast<std::uint32_t>(challenge), 4);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

Bytes expected_reply(std::int32_t challenge, std::uint32_t ip, std::uint16_t port,
                     std::uint64_t server_sid, std::size_t len) {
    return connect_reply(challenge, USER_STEAM_ID, standin_ticket(ip, port, server_sid, len));
}

bool is_child_or_fatal(std::string_view line) {
    return is_child_line(line) || line.starts_with("[vandrel] fatal: ");
}

bool process_exists(pid_t pid) {
    return fs::exists("/proc/" + std::to_string(pid));
}

bool wait_dead(pid_t pid, Clock::duration limit) {
    const std::string proc = "/proc/" + std::to_string(pid);
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        std::string stat = read_file(proc + "/stat");
        auto close = stat.rfind(')');
        if (stat.empty())
            return true;
        std::error_code ec;
        auto tasks =
            std::distance(fs::directory_iterator(proc + "/task", ec), fs::directory_iterator());
        if (close != std::string::npos && stat.substr(close + 2, 1) == "Z" && tasks == 1)
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

Spawn Broker::spawn(std::vector<std::string> args, const Env& extra) const {
    Spawn options;
    options.args = std::move(args);
    steam_.apply(options);
    options.env["TMPDIR"] = dir_.path();
    options.env["VANDREL_STANDIN_CALL_LOG"] = call_log();
    options.env["VANDREL_STANDIN_STEAM_ID"] = std::to_string(USER_STEAM_ID);
    for (const auto& [k, v] : extra)
        options.env[k] = v;
    return options;
}

std::unique_ptr<Client> Client::tcp(const SteamSetup& steam, const Env& env) {
    auto c = std::unique_ptr<Client>(new Client(steam));
    c->tcp_ = std::make_unique<TcpBroker>(c->broker_.spawn({"127.0.0.1:0"}, env));
    c->reconnect();
    return c;
}

void Client::reconnect() {
    socket_ = tcp_->connect();
    expect({"session open on tcp 127.0.0.1:" + std::to_string(local_port(socket_.get()))});
}

std::unique_ptr<Client> Client::stdio(const SteamSetup& steam, const Env& env) {
    auto c = std::unique_ptr<Client>(new Client(steam));
    c->stdio_ = std::make_unique<Process>(c->broker_.spawn({"--stdio"}, env));
    c->expect({"starting in stdio mode", "session open on stdio"});
    return c;
}

void Client::close_input() {
    if (tcp_)
        ::shutdown(socket_.get(), SHUT_WR);
    else
        stdio_->close_stdin();
}

void Client::expect(const std::vector<std::string>& lines, bool (*skip)(std::string_view),
                    Clock::duration limit) {
    // After a mismatch the lines no longer line up with the expectations.
    if (::testing::Test::HasFatalFailure())
        return;
    for (const auto& line : lines) {
        auto got = next_line_skipping(process(), skip, limit);
        ASSERT_TRUE(got.has_value()) << "missing line: " << line << "\n" << transcript();
        ASSERT_EQ(*got, "[vandrel] " + line) << transcript();
    }
}

std::string Client::transcript() {
    std::string out = "lines so far:\n";
    // The largest frames make lines of thousands of letters: their start is enough.
    constexpr std::size_t SHOWN = 200;
    for (const auto& l : process().lines())
        out += "  " + l.substr(0, SHOWN) + "\n";
    return out;
}

void Client::command(std::string_view command, const std::vector<std::string>& lines) {
    send(command);
    std::vector<std::string> all = {"<- " + std::string(command.substr(0, command.find(' ')))};
    all.insert(all.end(), lines.begin(), lines.end());
    expect(all);
}

pid_t Client::activate_cstrike() {
    command("vd_gamedir cstrike", {"activating gamedir \"cstrike\" (appid 10)", ready_line(10)});
    broker_.steam().expect_in_use(process().lines());
    return only_child();
}

pid_t Client::only_child() {
    std::vector<pid_t> children = child_pids(process().pid());
    EXPECT_EQ(children.size(), 1u);
    return children.size() == 1 ? children[0] : -1;
}

void Client::serves_next_client() {
    if (::testing::Test::HasFatalFailure())
        return;
    reconnect();
    command("vd_connect 1.2.3.4:27015 1 1 77", {"command error: session not active"});
    close_input();
    expect({"peer closed the connection", "session ended, awaiting next connection"});
    EXPECT_TRUE(nothing_more());
}

} // namespace vandrel::test
