// The demo an operator runs with make demo: every step ends as it should, against the programs of
// this build, inside the private network the script makes for itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TestPaths.h"

using test_support::built_program;
using test_support::ProcessOptions;
using test_support::ProcessResult;
using test_support::run_process;
using test_support::source_file;

namespace {

constexpr std::chrono::seconds kDemoTimeout{100};

bool private_network_permitted() {
    const char* options = geteuid() == 0 ? "-n" : "-rn";
    return run_process({"/bin/sh", "-c", std::string("unshare ") + options + " true"}).exit_status == 0;
}

// Processes whose working directory is (or was, before it was removed) inside that directory.
std::vector<std::string> processes_working_in(const std::string& directory) {
    std::vector<std::string> found;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        std::string cwd = std::filesystem::read_symlink(entry.path() / "cwd", ignored).string();
        if (!ignored && cwd.rfind(directory, 0) == 0) found.push_back(entry.path().filename().string() + " in " + cwd);
    }
    return found;
}

}  // namespace

TEST(DemoScript, RunsToTheEndWithEveryStepAsExpectedAndLeavesNothingBehind) {
    if (!private_network_permitted()) GTEST_SKIP() << "unshare is refused here: the demo runs only in a private network";

    ProcessOptions options;
    options.timeout = kDemoTimeout;
    const std::string build_directory = built_program("");
    options.environment = {"UPDATER_BUILD_DIRECTORY=" + build_directory};
    ProcessResult result = run_process({source_file("scripts/demo")}, options);

    ASSERT_FALSE(result.timed_out) << result.out << result.err;
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("steps ended as expected"), std::string::npos) << result.out;
    // The firmware is seen in the memory of both modules, the direct one and the routed one.
    EXPECT_NE(result.out.find("module 40F5849A:"), std::string::npos);
    EXPECT_NE(result.out.find("module 2181F0EE:"), std::string::npos);
    EXPECT_EQ(result.out.find("NOT in flash"), std::string::npos) << result.out;

    std::smatch scratch;
    ASSERT_TRUE(std::regex_search(result.out, scratch, std::regex("scratch directory (/tmp/updater-demo-\\w+)")))
        << result.out;
    EXPECT_FALSE(std::filesystem::exists(scratch[1].str()));
    EXPECT_EQ(processes_working_in(scratch[1].str()), std::vector<std::string>{});
}
