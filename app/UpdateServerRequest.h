// The update server's operations: one HTTP GET each, selected by the query parameter "op".
// Answers are lines; the first must begin with "ok", the rest carry the operation's values.
// No operation throws: every failure is a false result and a line in the diagnostic log.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Parameters.h"

using BuildVersion = std::pair<std::string, std::string>;  // build text, version text

class UpdateServerRequest {
public:
    // Used whenever a caller passes no base URL.
    static constexpr const char* default_url = DEFAULT_UPDATE_SERVER_URL;
    static constexpr char delimiters[] = "\n";

    static bool ping(const char* url);
    // The newest build for the device and its firmware identifier; each is stored only when the
    // answer carries it.
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmware, const char* url);
    // The build as one line of base64 text; bird_data is empty when the answer has no such line.
    static bool GetBuild(unsigned serial, const std::string& firmware, const std::string& build,
                         std::string& bird_data, const char* url, bool no_cal);
    // Build text to version text, for every build the server offers the device.
    static bool GetBuildList(unsigned serial, std::map<std::string, std::string>& builds, const char* url);
    // The device and the build that recover a chip with this fingerprint (four words).
    static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build, const char* url);
    // A token of three "."-separated parts listing the device's software features.
    static bool GetDeviceJWT(unsigned serial, std::string& token, const char* url);

    // Newest version first; entries whose version is not three numbers come after the others.
    // Entries that compare equal keep their map order.
    static std::vector<BuildVersion> SortBuildsByVersion(const std::map<std::string, std::string>& builds);
    // The three "."-separated pieces of a version text, or nothing when it has not exactly three.
    static std::vector<std::string> SplitLumenvaneVersion(const std::string& version);
};

// The ordering of SortBuildsByVersion: true when first goes before second.
bool _sortVersion(const BuildVersion& first, const BuildVersion& second);
