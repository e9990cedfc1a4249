#include "HTTPRequest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "Log.h"

namespace {

constexpr int CHUNK_LOG_CHARACTERS = 100;
constexpr long VERIFY_HOST_NAME = 2;  // the certificate must name the host we asked for
constexpr long VERIFY_PEER = 1;

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

size_t _rcv_data(char* data, size_t size, size_t count, void* user_pointer) {
    size_t length = size * count;
    int shown = static_cast<int>(std::min<size_t>(length, CHUNK_LOG_CHARACTERS));
    // The chunk is not NUL-terminated, so the log reads at most its own bytes.
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n", static_cast<int>(size),
             static_cast<int>(count), static_cast<unsigned>(reinterpret_cast<uintptr_t>(user_pointer)), shown, data);
    auto* response = static_cast<HTTPResponse*>(user_pointer);
    if (response->get_response().size() + length > HTTPRequest::RESPONSE_LIMIT_BYTES) {
        // Returning less than was handed over makes libcurl abort the transfer.
        Log::log(DEBUG_ServerComm, "rcv_data: body exceeds %zu bytes, transfer aborted\n",
                 HTTPRequest::RESPONSE_LIMIT_BYTES);
        return 0;
    }
    response->process(data, length);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(length));
    return length;
}

std::string HTTPRequest::BuildURL(const std::string& url, const std::map<std::string, std::string>& parameters) {
    std::string full = url;
    if (!parameters.empty()) {
        full += "?";
        for (const auto& [key, value] : parameters) full += key + "=" + value + "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string& url, const std::map<std::string, std::string>& parameters) {
    std::unique_ptr<CURL, CurlCleanup> handle(curl_easy_init());
    HTTPResponse response(BuildURL(url, parameters));
    if (!handle) throw std::runtime_error("Could not create curl instance");

    CURL* curl = handle.get();
    CURLcode result = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (result == CURLE_OK) result = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_WRITEFUNCTION, _rcv_data);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&response));
    set(CURLOPT_URL, response.get_request().c_str());
    set(CURLOPT_SSL_VERIFYHOST, VERIFY_HOST_NAME);
    // Firmware fetched from a peer we have not authenticated could come from anyone on the path.
    set(CURLOPT_SSL_VERIFYPEER, VERIFY_PEER);
    // Downloads run on a worker thread; libcurl must not use signals to time out name look-ups there.
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_CONNECTTIMEOUT, CONNECT_TIMEOUT_SECONDS);
    set(CURLOPT_LOW_SPEED_LIMIT, STALL_BYTES_PER_SECOND);
    set(CURLOPT_LOW_SPEED_TIME, STALL_SECONDS);
    set(CURLOPT_TIMEOUT, TRANSFER_LIMIT_SECONDS);

    if (result == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        result = curl_easy_perform(curl);
    }
    long status = 0;
    if (result == CURLE_OK) result = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (result != CURLE_OK) throw std::runtime_error(curl_easy_strerror(result));

    response.set_status(status);
    return response;
}
