#include "VirtualModuleProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace test_support {

namespace {

constexpr std::chrono::milliseconds kReadyTimeout{5000};
constexpr std::chrono::milliseconds kWaitStep{10};

int exit_status_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Lines from fd until "ready", the end of output, or the deadline.
std::vector<std::string> read_until_ready(int fd, std::chrono::steady_clock::time_point deadline, bool& ready) {
    std::vector<std::string> lines;
    std::string partial;
    ready = false;
    while (!ready) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd watched{fd, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) break;
        partial.append(buffer, static_cast<size_t>(count));
        size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            lines.push_back(partial.substr(0, end));
            partial.erase(0, end + 1);
            if (lines.back() == "ready") ready = true;
        }
    }
    return lines;
}

}  // namespace

VirtualModuleProcess::VirtualModuleProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {built_program("virtual-module"), "--exit-on-stdin-close"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::string error_file = scratch_.file("stderr.txt");

    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        int error_fd = ::open(error_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (error_fd >= 0) dup2(error_fd, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& argument : command) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(input[0]);
    ::close(output[1]);
    stdin_write_ = input[1];

    bool ready = false;
    lines_ = read_until_ready(output[0], std::chrono::steady_clock::now() + kReadyTimeout, ready);
    ::close(output[0]);
    if (!ready) {
        std::string errors = error_output();
        stop();
        throw std::runtime_error("virtual-module did not get ready: " + errors);
    }
    for (const std::string& line : lines_) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "tcp") {
            std::string address;
            unsigned port = 0;
            words >> address >> port;
            tcp_port_ = static_cast<uint16_t>(port);
        } else if (key == "pty") {
            words >> pty_path_;
        }
    }
}

VirtualModuleProcess::~VirtualModuleProcess() {
    stop();
    if (::testing::Test::HasFailure()) {
        std::string errors = error_output();
        if (!errors.empty()) std::cerr << "virtual-module standard error:\n" << errors;
    }
}

std::string VirtualModuleProcess::error_output() const {
    std::ifstream file(scratch_.file("stderr.txt"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

int VirtualModuleProcess::stop(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return exit_status_;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kWaitStep);
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    exit_status_ = exit_status_of(status);
    pid_ = -1;
    if (stdin_write_ >= 0) ::close(stdin_write_);
    stdin_write_ = -1;
    return exit_status_;
}

}  // namespace test_support
