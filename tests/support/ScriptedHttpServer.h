// An HTTP peer inside the test process: it answers each connection on 127.0.0.1 with the next
// scripted answer (the last one repeats) and records the request target it was sent.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

struct ScriptedAnswer {
    long status = 200;
    std::string body;
    // With chunks > 0 the body goes out with chunked transfer coding in that many pieces, with a
    // pause between them so the client receives them separately.
    int chunks = 0;
};

class ScriptedHttpServer {
public:
    explicit ScriptedHttpServer(std::vector<ScriptedAnswer> answers);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path = "/cgi/u") const;
    // The request targets (path and query) received so far, in order.
    std::vector<std::string> targets() const;

private:
    void serve();
    void answer(int connection, const ScriptedAnswer& scripted);

    std::vector<ScriptedAnswer> answers_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
    std::thread thread_;
};

}  // namespace test_support
