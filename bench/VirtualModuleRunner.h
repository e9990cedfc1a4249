// Runs build/virtual-module (next to the benchmark program) as a child for the length of a
// benchmark: waits for its "ready" line, keeps the TCP port and pseudo-terminal path it printed,
// and stops it with the object. The child also ends when the benchmark dies (it watches the end
// of its standard input).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

class VirtualModuleRunner {
public:
    explicit VirtualModuleRunner(std::vector<std::string> arguments) {
        char self[PATH_MAX] = {};
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string program = std::string(self, length > 0 ? static_cast<size_t>(length) : 0);
        program = program.substr(0, program.rfind('/') + 1) + "virtual-module";
        arguments.insert(arguments.begin(), {program, "--exit-on-stdin-close"});

        int input[2];
        int output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(input[0], STDIN_FILENO);
            dup2(output[1], STDOUT_FILENO);
            int quiet = open("/dev/null", O_WRONLY);
            if (quiet >= 0) dup2(quiet, STDERR_FILENO);
            std::vector<char*> argv;
            for (std::string& argument : arguments) argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        keep_alive_ = input[1];
        read_until_ready(output[0]);
        close(output[0]);
    }
    ~VirtualModuleRunner() {
        if (keep_alive_ >= 0) close(keep_alive_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    VirtualModuleRunner(const VirtualModuleRunner&) = delete;
    VirtualModuleRunner& operator=(const VirtualModuleRunner&) = delete;

    bool ready() const { return ready_; }
    uint16_t tcp_port() const { return tcp_port_; }
    const std::string& pty_path() const { return pty_path_; }

private:
    void read_until_ready(int descriptor) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        std::string text;
        while (!ready_ && std::chrono::steady_clock::now() < deadline) {
            pollfd waiting{descriptor, POLLIN, 0};
            if (poll(&waiting, 1, 100) <= 0) continue;
            char buffer[256];
            ssize_t count = read(descriptor, buffer, sizeof buffer);
            if (count <= 0) break;
            text.append(buffer, static_cast<size_t>(count));
            std::istringstream lines(text);
            std::string line;
            while (std::getline(lines, line)) {
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
                } else if (key == "ready") {
                    ready_ = true;
                }
            }
        }
    }

    pid_t pid_ = -1;
    int keep_alive_ = -1;
    bool ready_ = false;
    uint16_t tcp_port_ = 0;
    std::string pty_path_;
};
