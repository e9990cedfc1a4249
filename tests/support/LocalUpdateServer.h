// The local update server (build/update_server) as a child process: started on a free port of
// 127.0.0.1 over a catalogue folder, stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test_support {

class LocalUpdateServer {
public:
    // extra_arguments are the server's switches (faults, request log). Throws when the server
    // does not report its address within a few seconds.
    explicit LocalUpdateServer(const std::string& catalogue, const std::vector<std::string>& extra_arguments = {});
    ~LocalUpdateServer();
    LocalUpdateServer(const LocalUpdateServer&) = delete;
    LocalUpdateServer& operator=(const LocalUpdateServer&) = delete;

    // The base URL to pass with -u, "http://127.0.0.1:PORT/cgi/u".
    const std::string& url() const { return url_; }
    // Stops the server and waits for it; the URL then refuses connections.
    void stop();

private:
    pid_t pid_ = -1;
    int input_ = -1;  // the server stops when this closes, even if we die without stopping it
    std::string url_;
};

}  // namespace test_support
