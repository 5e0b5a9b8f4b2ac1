// The documents show what the programs do: every command that the man pages
// and the README show with its output is run here, and its output compared
// with the document's lines. vandrel-ticket reaches, as "the default address",
// a broker on the stand-in runtime, one where Steam runs or one where it does
// not, as the shown output needs; a private broker (--spawn vandrel) gets the
// same settings. A shown line ending in "..." stands for every line that
// starts with what precedes the dots; "echo $?" shows the exit status.
#include "e2e.hpp"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace vandrel::test {
namespace {

// One command a document shows, and the lines it shows after it.
struct Example {
    std::string where; // the document and the command's line number
    std::string command;
    std::vector<std::string> output;
};

// A man page's line as it reads: its escapes for a minus, a backslash and a
// font change undone.
std::string unescape_roff(std::string line) {
    static const std::vector<std::pair<std::string, std::string>> escapes = {
        {"\\-", "-"}, {"\\e", "\\"}, {"\\fI", ""}, {"\\fB", ""}, {"\\fR", ""}, {"\\fP", ""}};
    for (const auto& [from, to] : escapes)
        for (std::size_t at = line.find(from); at != std::string::npos; at = line.find(from, at))
            line.replace(at, from.size(), to);
    return line;
}

// The examples of one block of lines: each "$ " line a command (a trailing
// backslash joins the next line to it), the lines up to the next command its
// output.
void collect(const std::vector<std::pair<int, std::string>>& block, const std::string& doc,
             std::vector<Example>& out) {
    bool in_example = false;
    for (std::size_t i = 0; i < block.size(); ++i) {
        const std::string& line = block[i].second;
        if (line.starts_with("$ ")) {
            Example example{doc + ":" + std::to_string(block[i].first), line.substr(2), {}};
            while (example.command.ends_with("\\") && i + 1 < block.size()) {
                example.command.pop_back();
                const std::string& next = block[++i].second;
                example.command += next.substr(next.find_first_not_of(' '));
            }
            out.push_back(std::move(example));
            in_example = true;
        } else if (in_example) {
            out.back().output.push_back(line);
        }
    }
}

// The examples of a man page: the lines between ".nf" and ".fi", without the
// requests among them.
std::vector<Example> man_examples(const std::string& doc) {
    std::istringstream in(read_file(std::string(VANDREL_SOURCE_DIR) + "/" + doc));
    std::vector<Example> out;
    std::vector<std::pair<int, std::string>> block;
    bool inside = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line == ".nf" || line == ".fi") {
            collect(block, doc, out);
            block.clear();
            inside = line == ".nf";
        } else if (inside && !line.starts_with(".")) {
            block.emplace_back(number, unescape_roff(line));
        }
    }
    return out;
}

// The examples of a Markdown file: its indented code blocks.
std::vector<Example> markdown_examples(const std::string& doc) {
    std::istringstream in(read_file(std::string(VANDREL_SOURCE_DIR) + "/" + doc));
    std::vector<Example> out;
    std::vector<std::pair<int, std::string>> block;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.starts_with("    ")) {
            block.emplace_back(number, line.substr(4));
            continue;
        }
        if (!line.empty()) {
            collect(block, doc, out);
            block.clear();
        }
    }
    collect(block, doc, out);
    return out;
}

// The words of a command that needs no shell; empty for one that does.
std::vector<std::string> words_of(const std::string& command) {
    if (command.find_first_of("'\"<>|&;$*`") != std::string::npos)
        return {};
    std::istringstream in(command);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// True when `actual` is what `shown` shows.
bool shows(const std::vector<std::string>& shown, const std::vector<std::string>& actual) {
    if (shown.size() != actual.size())
        return false;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const std::string& line = shown[i];
        const bool cut = line.ends_with("...");
        if (cut ? !actual[i].starts_with(line.substr(0, line.size() - 3)) : actual[i] != line)
            return false;
    }
    return true;
}

// How `broker` starts `args` on the stand-in as it ships, with its own Steam
// ID, which the documents show.
Spawn as_shipped(const Broker& broker, std::vector<std::string> args, const Env& env) {
    Spawn spawn = broker.spawn(std::move(args), env);
    spawn.env.erase("VANDREL_STANDIN_STEAM_ID");
    return spawn;
}

// A broker on a Unix socket of its own, on the stand-in, Steam running or not.
struct DocBroker {
    explicit DocBroker(bool steam_running)
        : env(steam_running ? Env{} : Env{{"VANDREL_STANDIN_INIT_RESULT", "2"}}),
          address("unix:" + dir.path() + "/socket"), process(as_shipped(broker, {address}, env)) {}

    Broker broker{standin()};
    TempDir dir;
    Env env;
    std::string address;
    Process process;
};

TEST(Documents, EveryShownOutputIsTheProgramsOwn) {
    std::vector<Example> examples;
    for (const char* page : {"docs/vandrel.1", "docs/vandrel-ticket.1"}) {
        std::vector<Example> more = man_examples(page);
        examples.insert(examples.end(), more.begin(), more.end());
    }
    std::vector<Example> readme = markdown_examples("README.md");
    examples.insert(examples.end(), readme.begin(), readme.end());

    DocBroker running(true);
    DocBroker not_running(false);
    for (DocBroker* b : {&running, &not_running}) {
        ASSERT_EQ(b->process.next_line(), "[vandrel] listening on " + b->address);
    }
    const std::string path = build_dir() + "/bin:" + std::string(std::getenv("PATH"));

    std::size_t run = 0;
    int last_status = -1; // of the last command run; -1: none
    for (const Example& example : examples) {
        SCOPED_TRACE(example.where + ": $ " + example.command);
        if (example.command == "echo $?") {
            if (last_status >= 0) {
                EXPECT_EQ(example.output, std::vector<std::string>{std::to_string(last_status)});
            }
            continue;
        }
        last_status = -1;
        std::vector<std::string> words = words_of(example.command);
        // What the documents show of --check depends on the machine (its
        // home, its Steam); check_e2e_test holds those lines.
        const bool runnable = !words.empty() && !example.output.empty() &&
                              (words[0] == "vandrel-ticket" || words[0] == "vandrel") &&
                              std::find(words.begin(), words.end(), "--check") == words.end();
        if (!runnable) {
            EXPECT_TRUE(example.output.empty() || words.empty() ||
                        std::find(words.begin(), words.end(), "--check") != words.end())
                << "shows output that this test cannot produce";
            continue;
        }
        bool fails = false;
        for (const std::string& line : example.output)
            fails = fails || line.find("steam child failed to initialise") != std::string::npos;
        const DocBroker& broker = fails ? not_running : running;
        Spawn spawn = as_shipped(
            broker.broker, std::vector<std::string>(words.begin() + 1, words.end()), broker.env);
        spawn.env["PATH"] = path;
        spawn.env["VANDREL_BROKER"] = broker.address;
        spawn.pipe_stdin = false;
        Process program(build_dir() + "/bin/" + words[0], spawn);
        std::istringstream out(read_to_end(program.stdout_fd(), LINE_TIMEOUT));
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);)
            lines.push_back(line);
        for (const std::string& line : program.rest_of_lines())
            lines.push_back(line);
        last_status = program.wait_exit().value_or(-1);
        EXPECT_TRUE(shows(example.output, lines))
            << "shown:\n  " << ::testing::PrintToString(example.output) << "\nthe program's:\n  "
            << ::testing::PrintToString(lines);
        ++run;
    }
    // Every page's ticket examples and the README's: a parser that finds
    // none must not pass.
    EXPECT_GE(run, 8U);
}

} // namespace
} // namespace vandrel::test
