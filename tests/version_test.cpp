// The one version: the header's macros, the library that was linked,
// vandrel-ticket and the broker all name the project's version.
#include "test_support.hpp"
#include "vandrel/client.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace vandrel::test {
namespace {

TEST(Version, HeaderLibraryToolAndBrokerNameTheProjectVersion) {
    const std::string parts = std::to_string(VANDREL_VERSION_MAJOR) + "." +
                              std::to_string(VANDREL_VERSION_MINOR) + "." +
                              std::to_string(VANDREL_VERSION_PATCH);
    EXPECT_EQ(parts, VANDREL_PROJECT_VERSION);
    EXPECT_STREQ(VANDREL_VERSION_STRING, VANDREL_PROJECT_VERSION);
    ASSERT_NE(vandrel_version(), nullptr);
    EXPECT_STREQ(vandrel_version(), VANDREL_PROJECT_VERSION);

    Spawn options;
    options.args = {"--version"};
    options.pipe_stdin = false;
    Process tool(build_dir() + "/bin/vandrel-ticket", options);
    const std::string expected = std::string("vandrel-ticket ") + VANDREL_PROJECT_VERSION + "\n";
    EXPECT_EQ(read_exact(tool.stdout_fd(), expected.size(), LINE_TIMEOUT), bytes_of(expected));
    EXPECT_TRUE(reads_eof(tool.stdout_fd(), LINE_TIMEOUT)) << "nothing after the version line";
    EXPECT_EQ(tool.wait_exit(), 0);

    // The broker's --version is a line on standard output, and nothing else.
    Process broker(options);
    const std::string line = std::string("vandrel ") + VANDREL_PROJECT_VERSION + "\n";
    EXPECT_EQ(read_exact(broker.stdout_fd(), line.size(), LINE_TIMEOUT), bytes_of(line));
    EXPECT_TRUE(reads_eof(broker.stdout_fd(), LINE_TIMEOUT)) << "nothing after the version line";
    EXPECT_EQ(broker.rest_of_lines(), std::vector<std::string>{}) << "nothing on standard error";
    EXPECT_EQ(broker.wait_exit(), 0);
}

} // namespace
} // namespace vandrel::test
