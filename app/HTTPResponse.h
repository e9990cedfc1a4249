// One answer of the update server: the URL that was requested, the HTTP status and the whole body.
#pragma once

#include <cstddef>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request_url) : request(std::move(request_url)) {}

    const std::string& get_request() const { return request; }
    long get_status() const { return status; }
    // The body as received; it may hold any bytes, NUL included.
    const std::string& get_response() const { return response; }

    void set_status(long code) { status = code; }
    // Appends one received chunk to the body.
    void process(const char* data, size_t length) { response.append(data, length); }

private:
    std::string request;
    long status = 0;  // stays 0 until a response arrives
    std::string response;
};
