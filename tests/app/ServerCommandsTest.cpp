// -B, -J, -G and -L as an operator runs them, against the local update server on 127.0.0.1 with a
// scratch storage directory.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "FileContents.h"
#include "HTTPRequest.h"
#include "LocalUpdateServer.h"
#include "ProcessRunner.h"
#include "TestPaths.h"
#include "UpdateCatalogue.h"

using test_support::built_program;
using test_support::entry_names;
using test_support::LocalUpdateServer;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::read_file;
using test_support::TemporaryDirectory;
using test_support::UpdateCatalogue;
using test_support::write_file;

namespace {

const std::string VERSION_LINE = "Updater (Version: 2.11.5 Oct 13 2025)\n";
const std::string DEVICE = "40F5849A";
const std::string GET_LATEST = VERSION_LINE +
                               "Retrieving firmware for device with serial number 40F5849A\n"
                               "No build specified\n"
                               "Using Latest build\n";

// The entries of an attributes file.
std::map<std::string, std::string> attributes(const std::string& path) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        size_t equals = line.find('=');
        if (equals != std::string::npos) entries[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return entries;
}

class ServerCommands : public ::testing::Test {
protected:
    void device_file(const std::string& name, const std::string& content) { catalogue.add_file(DEVICE, name, content); }

    // The device's directory in the store.
    std::string stored(const std::string& name = "") const {
        return storage.file("updater/" + DEVICE + (name.empty() ? "" : "/" + name));
    }

    ProcessResult updater(const std::string& url, std::vector<std::string> arguments, ProcessOptions options = {}) {
        arguments.insert(arguments.begin(), {built_program("updater"), "-i", storage.path(), "-u", url});
        return run_process(arguments, options);
    }

    UpdateCatalogue catalogue;
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

TEST_F(ServerCommands, DownloadStoresTheServersBytesAndRecordsThem) {
    std::string served = catalogue.add_build(DEVICE, 101, "1.10.0");
    catalogue.add_build(DEVICE, 100, "1.2.3");
    LocalUpdateServer server(catalogue.path());

    // A second run fetches the newest build again and replaces the same file.
    for (int run = 0; run < 2; ++run) {
        ProcessResult result = updater(server.url(), {"-G", "-d", DEVICE});
        EXPECT_EQ(result.exit_status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, GET_LATEST +
                                  "Retrieving build 101\n"
                                  "Validating build 101 with server\n"
                                  "Build 101 is valid\n");
        EXPECT_EQ(entry_names(stored()), (std::vector<std::string>{".settings", "101.bird"}));
        EXPECT_EQ(read_file(stored("101.bird")), read_file(served));
        auto recorded = attributes(stored(".settings"));
        EXPECT_EQ(recorded["LATEST_DOWNLOAD"], "101.bird");
        EXPECT_EQ(recorded["LAST_DOWNLOAD_DATE"].size(), 24u) << recorded["LAST_DOWNLOAD_DATE"];
    }
}

TEST_F(ServerCommands, UnlistedBuildIsRefusedUnlessValidationIsOverridden) {
    catalogue.add_build(DEVICE, 100, "1.2.3");
    TemporaryDirectory requests;
    LocalUpdateServer server(catalogue.path(), {"--request-log", requests.file("log")});
    const std::string head = VERSION_LINE +
                             "Retrieving firmware for device with serial number 40F5849A\n"
                             "Retrieving firmware build 12\n"
                             "Retrieving build 12\n";

    ProcessResult refused = updater(server.url(), {"-G", "-d", DEVICE, "-b", "12"});
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.out, head + "Validating build 12 with server\n");
    EXPECT_EQ(refused.err, "No valid build 12\n");
    EXPECT_EQ(entry_names(stored()), std::vector<std::string>{".settings"});
    EXPECT_EQ(read_file(requests.file("log")).find("op=bird"), std::string::npos);

    write_file(requests.file("log"), "");
    ProcessResult overridden = updater(server.url(), {"-G", "-d", DEVICE, "-b", "12", "-OVERRIDE"});
    EXPECT_EQ(overridden.exit_status, 1);  // the server has no build 12 to give
    EXPECT_EQ(overridden.out, head + "Override specified, skipping validation of build 12\n");
    EXPECT_EQ(overridden.err, "Download failed\nFailed to retrieve a valid BIRD file\n");
    EXPECT_EQ(read_file(requests.file("log")),
              "/cgi/u?op=hi&rv=2&\n/cgi/u?op=qu&sn=40F5849A&\n"
              "/cgi/u?bld=12&fw=FW-40F5849A&no_cal=false&op=bird&sn=40F5849A&\n");
    EXPECT_EQ(entry_names(stored()), std::vector<std::string>{".settings"});
}

TEST_F(ServerCommands, DamagedDownloadStoresAndRecordsNothing) {
    catalogue.add_build(DEVICE, 100, "1.2.3");
    const struct {
        std::vector<std::string> switches;
        std::string err;
    } cases[] = {
        {{"--base64", "truncated"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--base64", "invalid"}, "Failed to retrieve a valid BIRD file\n"},
        {{"--crlf"}, "Failed to retrieve a valid BIRD file\n"},  // the base64 line keeps its CR
        {{"--status", "500", "--fault-ops", "bird"}, "Download failed\nFailed to retrieve a valid BIRD file\n"},
    };
    for (const auto& c : cases) {
        LocalUpdateServer server(catalogue.path(), c.switches);
        ProcessResult result = updater(server.url(), {"-G", "-d", DEVICE});
        EXPECT_EQ(result.exit_status, 1) << c.switches[0];
        EXPECT_EQ(result.err, c.err) << c.switches[0];
        EXPECT_EQ(entry_names(stored()), std::vector<std::string>{".settings"}) << c.switches[0];
        EXPECT_EQ(attributes(stored(".settings")).count("LATEST_DOWNLOAD"), 0u) << c.switches[0];
    }
}

TEST_F(ServerCommands, BuildThatCannotBeWrittenIsNotRecorded) {
    catalogue.add_build(DEVICE, 100, "1.2.3");
    LocalUpdateServer server(catalogue.path());
    // A directory where the file should go makes the write fail after a good download.
    std::filesystem::create_directories(stored("100.bird"));
    ProcessResult result = updater(server.url(), {"-G", "-d", DEVICE});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err.rfind("Failed to write file with ", 0), 0u) << result.err;
    EXPECT_EQ(attributes(stored(".settings")).count("LATEST_DOWNLOAD"), 0u);
}

TEST_F(ServerCommands, StoppedServerFailsTheDownload) {
    LocalUpdateServer server(catalogue.path());
    server.stop();
    ProcessResult result = updater(server.url(), {"-G", "-d", DEVICE});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, GET_LATEST);
    EXPECT_EQ(result.err, "Server request failed for " + server.url() + "\n");
}

TEST_F(ServerCommands, SpinnerTurnsOnATerminalOnlyWhileTheBuildIsFetched) {
    catalogue.add_build(DEVICE, 100, "1.2.3");
    LocalUpdateServer server(catalogue.path(), {"--delay", "0.6", "--fault-ops", "bird"});
    const std::string first_frame = "\r (Downloading) .      \r";
    const std::string cleared = "\r" + std::string(88, ' ') + "\r";

    ProcessOptions terminal;
    terminal.stdout_on_terminal = true;
    ProcessResult drawn = updater(server.url(), {"-G", "-d", DEVICE}, terminal);
    EXPECT_EQ(drawn.exit_status, 0);
    size_t spinner = drawn.out.find(first_frame);
    ASSERT_NE(spinner, std::string::npos) << drawn.out;
    EXPECT_NE(drawn.out.find("\r (Downloading) ...      \r", spinner), std::string::npos) << "frames advance";
    EXPECT_EQ(drawn.out.substr(drawn.out.size() - cleared.size()), cleared);

    ProcessResult redirected = updater(server.url(), {"-G", "-d", DEVICE});
    EXPECT_EQ(redirected.exit_status, 0);
    EXPECT_EQ(redirected.out.find('\r'), std::string::npos);
}

TEST_F(ServerCommands, LocalBuildListReadsVersionsFromTheStoredFiles) {
    LocalUpdateServer server(catalogue.path());
    server.stop();  // the local list needs no server
    std::filesystem::create_directories(stored());
    std::filesystem::copy_file(catalogue.add_build(DEVICE, 100, "1.2.3"), stored("100.bird"));
    std::filesystem::copy_file(catalogue.add_build(DEVICE, 99, "1.10.0"), stored("99.bird"));
    write_file(stored("7.bird"), std::string("bird\x01\x01", 6) + "not a zlib stream");  // good header only
    write_file(stored("notes.txt"), "not firmware");

    ProcessResult result = updater(server.url(), {"-L", "-d", DEVICE});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, VERSION_LINE +
                              "Build List for device [40F5849A]:\n\n"
                              "Build          \tVersion        \n"
                              "99             \t1.10.0         \n"
                              "100            \t1.2.3          \n"
                              "7              \t               \n"
                              "notes.txt      \t               \n");

    ProcessResult unknown = updater(server.url(), {"-L", "-d", "1"});
    EXPECT_EQ(unknown.exit_status, 0);
    EXPECT_EQ(unknown.err, "");
    EXPECT_EQ(unknown.out, VERSION_LINE + "No builds found for device [00000001]\n");
}
