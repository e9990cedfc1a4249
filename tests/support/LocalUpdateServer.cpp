#include "LocalUpdateServer.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "TestPaths.h"

namespace test_support {

namespace {

constexpr std::chrono::milliseconds STARTUP_LIMIT{10000};
constexpr std::chrono::milliseconds STOP_LIMIT{5000};

// Reads the first line the server prints, waiting at most STARTUP_LIMIT.
std::string first_line(int fd) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + STARTUP_LIMIT;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("update_server did not report its address");
        struct pollfd ready = {fd, POLLIN, 0};
        int count = poll(&ready, 1, static_cast<int>(left.count()));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) continue;
        char character;
        ssize_t got = read(fd, &character, 1);
        if (got <= 0) throw std::runtime_error("update_server ended before reporting its address");
        if (character == '\n') return line;
        line += character;
    }
}

}  // namespace

LocalUpdateServer::LocalUpdateServer(const std::string& catalogue, const std::vector<std::string>& extra_arguments) {
    std::vector<std::string> arguments = {built_program("update_server"), catalogue, "--stop-on-stdin-eof"};
    arguments.insert(arguments.end(), extra_arguments.begin(), extra_arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int input_pipe[2];
    int output_pipe[2];
    if (pipe(input_pipe) != 0) throw std::runtime_error("pipe");
    if (pipe(output_pipe) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(input_pipe[0], STDIN_FILENO);
        dup2(output_pipe[1], STDOUT_FILENO);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(input_pipe[0]);
    close(output_pipe[1]);
    input_ = input_pipe[1];
    try {
        url_ = first_line(output_pipe[0]);
    } catch (...) {
        close(output_pipe[0]);
        stop();
        throw;
    }
    close(output_pipe[0]);  // nothing else is printed; a closed pipe is fine for the server
}

LocalUpdateServer::~LocalUpdateServer() { stop(); }

void LocalUpdateServer::stop() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + STOP_LIMIT;
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
}

}  // namespace test_support
