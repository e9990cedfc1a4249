#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"
#include "qVersion.h"

namespace {

using QueryParameters = std::map<std::string, std::string>;

constexpr long HTTP_OK = 200;
constexpr char STATUS_OK[] = "ok";
constexpr size_t SHORTEST_BUILD_LINE = 3;
constexpr size_t SHORTEST_TOKEN_LINE = 3;
constexpr size_t SHORTEST_TOKEN_PART = 2;
constexpr size_t VERSION_PIECES = 3;
constexpr char VERSION_SEPARATOR = '.';
constexpr char TOKEN_SEPARATOR = '.';
constexpr char BUILD_FIELD_SEPARATOR = ';';

std::string serial_text(unsigned serial) {
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// The non-empty lines of a body: consecutive line feeds count as one.
std::vector<std::string> split_lines(const std::string& body) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find_first_of(UpdateServerRequest::delimiters, start);
        if (end == std::string::npos) end = body.size();
        if (end > start) lines.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The text up to the first carriage return or line feed.
std::string up_to_line_end(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

// Makes the request and checks the status and the status line. Returns the answer's lines, the
// status line first, or nothing when the request failed (the reason is logged). status_label
// names the operation in the message for a status other than 200.
std::optional<std::vector<std::string>> request(const char* operation, const char* status_label, const char* url,
                                                const QueryParameters& parameters) {
    std::optional<HTTPResponse> response;
    try {
        response.emplace(HTTPRequest::GET(url != nullptr ? url : UpdateServerRequest::default_url, parameters));
    } catch (const std::exception& failure) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", operation, failure.what());
        return std::nullopt;
    }
    if (response->get_status() != HTTP_OK) {
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", status_label, static_cast<int>(response->get_status()),
                 response->get_response().c_str());
        return std::nullopt;
    }
    std::vector<std::string> lines = split_lines(response->get_response());
    if (lines.empty() || lines[0].compare(0, sizeof STATUS_OK - 1, STATUS_OK) != 0) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation,
                 response->get_request().c_str());
        return std::nullopt;
    }
    return lines;
}

std::optional<std::vector<std::string>> request(const char* operation, const char* url,
                                                const QueryParameters& parameters) {
    return request(operation, operation, url, parameters);
}

// Reads an unsigned 32-bit number in the manner of strtoul (base 0 accepts "0x" and leading-zero
// octal); false for text with no digits, a sign, or a value beyond 32 bits.
bool parse_unsigned32(const std::string& text, int base, uint32_t& value) {
    const char* start = text.c_str();
    while (*start == ' ' || *start == '\t') ++start;
    if (*start == '-' || *start == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(start, &end, base);
    if (end == start || errno == ERANGE || parsed > UINT32_MAX) return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// The three numbers of a version, or nothing when it is not three numbers (logged).
std::optional<std::array<int, VERSION_PIECES>> version_numbers(const std::string& version) {
    std::vector<std::string> pieces = UpdateServerRequest::SplitLumenvaneVersion(version);
    if (pieces.size() != VERSION_PIECES) return std::nullopt;
    std::array<int, VERSION_PIECES> numbers;
    try {
        for (size_t index = 0; index < VERSION_PIECES; ++index) numbers[index] = std::stoi(pieces[index]);
    } catch (const std::logic_error& failure) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", failure.what());
        return std::nullopt;
    }
    return numbers;
}

}  // namespace

bool UpdateServerRequest::ping(const char* url) {
    return request("ping", "PING", url, {{"op", "hi"}, {"rv", "2"}}).has_value();
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& firmware, const char* url) {
    auto lines = request("QueryBuild", url, {{"op", "qu"}, {"sn", serial_text(serial)}});
    if (!lines) return false;
    if (lines->size() > 1) build = (*lines)[1];
    if (lines->size() > 2) firmware = up_to_line_end((*lines)[2]);
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string& firmware, const std::string& build,
                                   std::string& bird_data, const char* url, bool no_cal) {
    bird_data.clear();
    auto lines = request("GetBuild", url,
                         {{"bld", build},
                          {"fw", firmware},
                          {"no_cal", no_cal ? "true" : "false"},
                          {"op", "bird"},
                          {"sn", serial_text(serial)}});
    if (!lines) return false;
    // The base64 line is taken whole: a carriage return left on it makes it fail to decode.
    if (lines->size() > 1) bird_data = std::move((*lines)[1]);
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    builds.clear();
    auto lines = request("GetBuildList", url, {{"op", "builds"}, {"sn", serial_text(serial)}});
    if (!lines) return false;
    for (size_t index = 1; index < lines->size(); ++index) {
        const std::string& line = (*lines)[index];
        if (line.size() < SHORTEST_BUILD_LINE) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        size_t build_end = line.find_first_of(";\r\n");
        std::string build = line.substr(0, build_end);
        std::string version;
        if (build_end != std::string::npos && line[build_end] == BUILD_FIELD_SEPARATOR) {
            std::string rest = line.substr(build_end + 1);
            version = rest.substr(0, rest.find_first_of(";\r\n"));
        }
        if (build.empty()) continue;
        builds.emplace(build, version);  // a repeated build keeps its first version
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build.c_str(), version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build,
                                          const char* url) {
    if (fingerprint == nullptr) return false;
    char fingerprint_text[64];
    // The words are joined by an already URL-encoded space.
    snprintf(fingerprint_text, sizeof fingerprint_text, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0],
             fingerprint[1], fingerprint[2], fingerprint[3]);
    auto lines = request("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fingerprint_text}, {"op", "fix"}});
    if (!lines) return false;
    const std::string none;
    const std::string& serial_line = lines->size() > 1 ? (*lines)[1] : none;
    const std::string& build_line = lines->size() > 2 ? (*lines)[2] : none;
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", (*lines)[0].c_str(),
             serial_line.c_str(), build_line.c_str());

    uint32_t value = 0;
    if (lines->size() > 1) {
        if (!parse_unsigned32(serial_line, 16, value)) {
            Log::log(DEBUG_ServerComm, "%s: serial number [%s] is not a number\n", "GetRecoveryInfo",
                     serial_line.c_str());
            return false;
        }
        if (serial != nullptr) *serial = value;
    }
    if (lines->size() > 2) {
        if (!parse_unsigned32(build_line, 0, value)) {
            Log::log(DEBUG_ServerComm, "%s: build [%s] is not a number\n", "GetRecoveryInfo", build_line.c_str());
            return false;
        }
        if (build != nullptr) *build = value;
    }
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* url) {
    auto lines = request("GetDeviceJWT", url, {{"json", "false"}, {"op", "ent_jwt"}, {"sn", serial_text(serial)}});
    if (!lines || lines->size() < 2) return false;
    const std::string& line = (*lines)[1];
    if (line.size() < SHORTEST_TOKEN_LINE) return false;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line.c_str());

    std::string text = up_to_line_end(line);
    size_t first_dot = text.find(TOKEN_SEPARATOR);
    if (first_dot == std::string::npos) return false;
    size_t second_dot = text.find(TOKEN_SEPARATOR, first_dot + 1);
    if (second_dot == std::string::npos) return false;
    // A token of more than three parts is not one this program knows how to pass on.
    if (text.find(TOKEN_SEPARATOR, second_dot + 1) != std::string::npos) return false;
    std::string header = text.substr(0, first_dot);
    std::string payload = text.substr(first_dot + 1, second_dot - first_dot - 1);
    std::string signature = text.substr(second_dot + 1);
    if (header.size() < SHORTEST_TOKEN_PART || payload.size() < SHORTEST_TOKEN_PART ||
        signature.size() < SHORTEST_TOKEN_PART) {
        return false;
    }
    token = header + TOKEN_SEPARATOR + payload + TOKEN_SEPARATOR + signature;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitLumenvaneVersion(const std::string& version) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t dot = version.find(VERSION_SEPARATOR, start);
        pieces.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (pieces.size() != VERSION_PIECES) pieces.clear();
    return pieces;
}

bool _sortVersion(const BuildVersion& first, const BuildVersion& second) {
    auto first_numbers = version_numbers(first.second);
    auto second_numbers = version_numbers(second.second);
    // A version that is not three numbers has no place among the others: it goes after all of them.
    if (!first_numbers) return false;
    if (!second_numbers) return true;
    // Each part counts by its low 8 bits, as module versions do.
    auto part = [](const std::array<int, VERSION_PIECES>& numbers, size_t index) {
        return static_cast<uint8_t>(numbers[index]);
    };
    const auto& a = *first_numbers;
    const auto& b = *second_numbers;
    return !qVersion_IsAtLeastCompare(part(b, 0), part(b, 1), part(b, 2), part(a, 0), part(a, 1), part(a, 2));
}

std::vector<BuildVersion> UpdateServerRequest::SortBuildsByVersion(const std::map<std::string, std::string>& builds) {
    std::vector<BuildVersion> sorted(builds.begin(), builds.end());
    std::stable_sort(sorted.begin(), sorted.end(), _sortVersion);
    return sorted;
}
