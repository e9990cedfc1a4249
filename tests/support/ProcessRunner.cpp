#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace test_support {

namespace {

void close_if_open(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Reads whatever is ready on fd into text; closes fd at end of input.
void drain(int& fd, std::string& text) {
    char buffer[4096];
    ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) {
        text.append(buffer, static_cast<size_t>(count));
    } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
        close_if_open(fd);  // a pty master reports EIO once the child side is closed
    }
}

}  // namespace

namespace {

ProcessResult run_child(const std::function<void()>& child_body, const ProcessOptions& options) {
    int out_pipe[2] = {-1, -1};
    int err_pipe[2];
    if (pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    int out_read = -1;
    int out_write = -1;
    if (options.stdout_on_terminal) {
        if (openpty(&out_read, &out_write, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        struct termios raw;
        tcgetattr(out_write, &raw);
        cfmakeraw(&raw);
        tcsetattr(out_write, TCSANOW, &raw);
    } else {
        if (pipe(out_pipe) != 0) throw std::runtime_error("pipe");
        out_read = out_pipe[0];
        out_write = out_pipe[1];
    }

    pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork");
    if (child == 0) {
        setpgid(0, 0);
        dup2(out_write, STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        int null_input = open("/dev/null", O_RDONLY);
        dup2(null_input, STDIN_FILENO);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        for (const std::string& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(126);
        child_body();
        _exit(127);
    }
    close(out_write);
    close(err_pipe[1]);
    int err_read = err_pipe[0];

    ProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    while (out_read >= 0 || err_read >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(-child, SIGKILL);
            break;
        }
        struct pollfd fds[2] = {{out_read, POLLIN, 0}, {err_read, POLLIN, 0}};
        int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (out_read >= 0 && fds[0].revents) drain(out_read, result.out);
        if (err_read >= 0 && fds[1].revents) drain(err_read, result.err);
    }
    close_if_open(out_read);
    close_if_open(err_read);

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& arguments, const ProcessOptions& options) {
    if (arguments.empty()) throw std::invalid_argument("no program to run");
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return run_child([&] { execv(argv[0], argv.data()); }, options);
}

ProcessResult run_function(const std::function<void()>& body, const ProcessOptions& options) {
    return run_child(
        [&] {
            body();
            fflush(nullptr);
            _exit(0);
        },
        options);
}

}  // namespace test_support
