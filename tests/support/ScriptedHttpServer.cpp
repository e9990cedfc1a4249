#include "ScriptedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace test_support {

namespace {

constexpr int POLL_MS = 20;
constexpr std::chrono::milliseconds CHUNK_PAUSE{30};

const char* reason(long status) {
    switch (status) {
        case 200: return "OK";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

void send_all(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t count = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) return;
        sent += static_cast<size_t>(count);
    }
}

}  // namespace

ScriptedHttpServer::ScriptedHttpServer(std::vector<ScriptedAnswer> answers) : answers_(std::move(answers)) {
    if (answers_.empty()) throw std::invalid_argument("no scripted answer");
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listener_ < 0) throw std::runtime_error("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener_);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    stopping_ = true;
    thread_.join();
    close(listener_);
}

std::string ScriptedHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> ScriptedHttpServer::targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
}

void ScriptedHttpServer::serve() {
    size_t next = 0;
    while (!stopping_) {
        struct pollfd ready = {listener_, POLLIN, 0};
        if (poll(&ready, 1, POLL_MS) <= 0) continue;
        int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0) continue;
        const ScriptedAnswer& scripted = answers_[std::min(next, answers_.size() - 1)];
        ++next;
        answer(connection, scripted);
        close(connection);
    }
}

void ScriptedHttpServer::answer(int connection, const ScriptedAnswer& scripted) {
    // Read the request head; a GET has no body.
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos && !stopping_) {
        struct pollfd ready = {connection, POLLIN, 0};
        if (poll(&ready, 1, POLL_MS) <= 0) continue;
        char buffer[1024];
        ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0) return;
        request.append(buffer, static_cast<size_t>(count));
    }
    size_t target_start = request.find(' ');
    size_t target_end = request.find(' ', target_start + 1);
    if (target_start != std::string::npos && target_end != std::string::npos) {
        std::lock_guard lock(mutex_);
        targets_.push_back(request.substr(target_start + 1, target_end - target_start - 1));
    }

    std::string head = "HTTP/1.1 " + std::to_string(scripted.status) + " " + reason(scripted.status) +
                       "\r\nContent-Type: text/plain\r\nConnection: close\r\n";
    if (scripted.chunks <= 0) {
        send_all(connection, head + "Content-Length: " + std::to_string(scripted.body.size()) + "\r\n\r\n" +
                                 scripted.body);
        return;
    }
    send_all(connection, head + "Transfer-Encoding: chunked\r\n\r\n");
    size_t piece = (scripted.body.size() + static_cast<size_t>(scripted.chunks) - 1) / static_cast<size_t>(scripted.chunks);
    for (size_t start = 0; start < scripted.body.size(); start += piece) {
        std::string chunk = scripted.body.substr(start, piece);
        char size_line[32];
        snprintf(size_line, sizeof size_line, "%zX\r\n", chunk.size());
        send_all(connection, size_line + chunk + "\r\n");
        std::this_thread::sleep_for(CHUNK_PAUSE);
    }
    send_all(connection, "0\r\n\r\n");
}

}  // namespace test_support
