// -B, -J and -G as an operator runs them, against the local update server on 127.0.0.1 with a
// scratch storage directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HTTPRequest.h"
#include "LocalUpdateServer.h"
#include "ProcessRunner.h"
#include "TestPaths.h"

using test_support::built_program;
using test_support::LocalUpdateServer;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::TemporaryDirectory;

namespace {

const std::string VERSION_LINE = "Updater (Version: 2.11.5 Oct 13 2025)\n";
const std::string DEVICE = "40F5849A";

class ServerCommands : public ::testing::Test {
protected:
    // Writes a file into the catalogue folder of DEVICE.
    void device_file(const std::string& name, const std::string& content) {
        std::filesystem::create_directories(catalogue.file(DEVICE));
        std::ofstream(catalogue.file(DEVICE + "/" + name), std::ios::binary) << content;
    }

    ProcessResult updater(const std::string& url, std::vector<std::string> arguments, ProcessOptions options = {}) {
        arguments.insert(arguments.begin(), {built_program("updater"), "-i", storage.path(), "-u", url});
        return run_process(arguments, options);
    }

    TemporaryDirectory catalogue;
    TemporaryDirectory storage;
};

}  // namespace

TEST_F(ServerCommands, BuildListIsPrintedNewestVersionFirst) {
    device_file("versions", "100;1.2.3\n101;1.10.0\n99;2.0.0\n102;unreleased\n");
    LocalUpdateServer server(catalogue.path());
    ProcessResult result = updater(server.url(), {"-B", "-d", DEVICE});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, VERSION_LINE +
                              "Build List for device [40F5849A]:\n\n"
                              "Build          \tVersion        \n"
                              "99             \t2.0.0          \n"
                              "101            \t1.10.0         \n"
                              "100            \t1.2.3          \n"
                              "102            \tunreleased     \n");
}

TEST_F(ServerCommands, JwtIsPrintedAsTheServerSentIt) {
    device_file("jwt", "eyJhbGciOiJub25lIn0.eyJzbiI6IjQwRjU4NDlBIn0.c2ln");
    for (const std::vector<std::string>& switches : {std::vector<std::string>{}, {"--crlf"}}) {
        LocalUpdateServer server(catalogue.path(), switches);
        ProcessResult result = updater(server.url(), {"-J", "-d", DEVICE});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, VERSION_LINE + "eyJhbGciOiJub25lIn0.eyJzbiI6IjQwRjU4NDlBIn0.c2ln\n");
    }
}

TEST_F(ServerCommands, RefusedAnswersPrintWhatFailedAndStillEndWithStatus0) {
    device_file("versions", "100;1.2.3\n");
    const struct {
        std::vector<std::string> switches;
        std::string command;
        std::string err;
        std::string out;
    } cases[] = {
        {{"--status", "500"}, "-B", "Server request failed for URL\n", "No builds found for device [40F5849A]\n"},
        {{"--status-line", "OK"}, "-J", "Server request failed for URL\n", "\n"},
        {{"--status-line", "error", "--fault-ops", "builds"}, "-B", "Failed to retrieve builds for 40F5849A\n",
         "No builds found for device [40F5849A]\n"},
        {{"--fault-ops", "ent_jwt", "--status", "404"}, "-J", "Failed to retrieve jwt for 40F5849A\n", "\n"},
    };
    for (const auto& c : cases) {
        LocalUpdateServer server(catalogue.path(), c.switches);
        ProcessResult result = updater(server.url(), {c.command, "-d", DEVICE});
        std::string expected_err = c.err;
        if (size_t at = expected_err.find("URL"); at != std::string::npos) expected_err.replace(at, 3, server.url());
        EXPECT_EQ(result.exit_status, 0) << c.command;
        EXPECT_EQ(result.err, expected_err) << c.command;
        EXPECT_EQ(result.out, VERSION_LINE + c.out) << c.command;
    }
}

TEST_F(ServerCommands, StoppedServerIsReportedByEveryServerCommand) {
    LocalUpdateServer server(catalogue.path());
    const std::string url = server.url();
    server.stop();
    const std::string failed = "Server request failed for " + url + "\n";

    ProcessResult builds = updater(url, {"-B", "-d", DEVICE});
    EXPECT_EQ(builds.exit_status, 0);
    EXPECT_EQ(builds.err, failed);
    EXPECT_EQ(builds.out, VERSION_LINE + "No builds found for device [40F5849A]\n");

    ProcessResult token = updater(url, {"-J", "-d", DEVICE});
    EXPECT_EQ(token.exit_status, 0);
    EXPECT_EQ(token.err, failed);
    EXPECT_EQ(token.out, VERSION_LINE + "\n");
}

TEST_F(ServerCommands, HangingServerIsGivenUpAfterTheStallTimeOut) {
    LocalUpdateServer server(catalogue.path(), {"--hang"});
    ProcessOptions options;
    options.timeout = std::chrono::seconds(HTTPRequest::STALL_SECONDS + 30);
    auto start = std::chrono::steady_clock::now();
    ProcessResult result = updater(server.url(), {"-B", "-d", DEVICE}, options);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "Server request failed for " + server.url() + "\n");
    EXPECT_GE(elapsed, std::chrono::seconds(HTTPRequest::STALL_SECONDS - 1));
    EXPECT_LT(elapsed, std::chrono::seconds(HTTPRequest::STALL_SECONDS + 15));
}
