// A single synchronous HTTP GET with the parameters in the query string.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "HTTPResponse.h"

class HTTPRequest {
public:
    // Connection set-up may take this long before the request is given up.
    static constexpr long CONNECT_TIMEOUT_SECONDS = 15;
    // A transfer that moves fewer than STALL_BYTES_PER_SECOND for STALL_SECONDS in a row has stalled
    // and is aborted; a slow line still moves bytes, a hung server moves none.
    static constexpr long STALL_BYTES_PER_SECOND = 1;
    static constexpr long STALL_SECONDS = 30;
    // Even a live transfer ends after this long, so a server that trickles bytes cannot hold us for ever.
    static constexpr long TRANSFER_LIMIT_SECONDS = 20 * 60;
    // A firmware build is a few megabytes; a body this large is not an answer of the update server.
    static constexpr size_t RESPONSE_LIMIT_BYTES = 256u * 1024 * 1024;

    // The query is every parameter in key order as key=value followed by "&"; values are sent
    // unescaped, so callers pass URL-safe text. Any HTTP status is returned normally; a failure
    // below HTTP (no connection, time-out, ...) throws std::runtime_error with libcurl's text.
    static HTTPResponse GET(const std::string& url, const std::map<std::string, std::string>& parameters);

    // The full URL that GET requests for these arguments.
    static std::string BuildURL(const std::string& url, const std::map<std::string, std::string>& parameters);
};

// libcurl's write callback: appends size * count bytes to the HTTPResponse behind user_pointer.
size_t _rcv_data(char* data, size_t size, size_t count, void* user_pointer);
