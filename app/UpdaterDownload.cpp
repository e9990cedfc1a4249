// Fetching a build from the update server into the device's directory of the store (-G), by
// serial number or, in recovery, by the chip's fingerprint.
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "BuildNumber.h"
#include "Log.h"
#include "TimeText.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "base64.h"

namespace {

constexpr std::chrono::milliseconds SPINNER_PERIOD{100};
constexpr const char* SPINNER_LABEL = "Downloading";
constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
constexpr const char* KEY_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";

struct FreeDeleter {
    void operator()(unsigned char* data) const { free(data); }
};

struct BuildRequest {
    unsigned serial;
    std::string firmware;
    std::string build;
    bool no_cal;
};

// Runs the build request on a worker thread while this thread keeps the spinner turning; the
// request's own time-outs bound the wait. True when the server answered well; body holds the
// base64 text it sent.
bool fetch_with_spinner(UpdaterDisplayInterface& display, const BuildRequest& request, const std::string& server_url,
                        std::string& body) {
    std::promise<bool> result;
    std::future<bool> answered = result.get_future();
    std::thread worker([&] {
        bool fetched = false;
        try {
            fetched = UpdateServerRequest::GetBuild(request.serial, request.firmware, request.build, body,
                                                    server_url.c_str(), request.no_cal);
        } catch (...) {  // a request that could not even be made (no memory) is a failed one
        }
        result.set_value(fetched);
    });
    display.update_spinner(true, SPINNER_LABEL);
    while (answered.wait_for(SPINNER_PERIOD) != std::future_status::ready) {
        display.update_spinner(true, SPINNER_LABEL);
    }
    display.update_spinner(false, SPINNER_LABEL);
    bool fetched = answered.get();
    worker.join();  // after this the body is ours to read
    return fetched;
}

}  // namespace

unsigned Updater::Download_Firmware(unsigned serial, std::string build, bool override_validation, bool no_cal) {
    unsigned build_number = 0;
    if (!build.empty() && !ParseBuildNumber(build, build_number)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!_ping_server(display, server_url)) return 0;

    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "Download_Firmware");
    if (!store) return 0;
    // The search matches any entry whose path contains the serial number, so it only tells
    // whether the device is known; the build is always written into the device's own directory.
    if (!store->FindDevice(serial, nullptr)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
    }
    UpdaterStoreItem device;
    try {
        device = store->AddDevice(serial);
    } catch (const std::runtime_error&) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not create directory for storing BIRD file");
        return 0;
    }

    std::string server_build;
    std::string firmware;
    if (!UpdateServerRequest::QueryBuild(serial, server_build, firmware, server_url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    if (build_number == 0 && !ParseBuildNumber(server_build, build_number)) {
        Log::log(DEBUG_APP, "Error: Could not convert %s to int.\n", server_build.c_str());
    }

    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", build_number);
    if (override_validation) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Override specified, skipping validation of build %u",
                        build_number);
    } else {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server", build_number);
        if (!_valid_build(serial, build_number, server_url.c_str())) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", build_number);
            return 0;
        }
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", build_number);
    }

    const std::string build_text = std::to_string(build_number);
    std::string body;
    if (!fetch_with_spinner(display, {serial, firmware, build_text, no_cal}, server_url, body)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");
    }
    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> data;
    if (!body.empty()) data.reset(base64_decode(body.data(), body.size(), &length));
    // A truncated or damaged answer must not pass for a fetched build.
    if (!data || length == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string download_date = CurrentTimeText();
    const std::string file_name = build_text + BIRD_FILE_EXTENSION;
    qErr written = device.WriteFile(file_name, data.get(), length);
    if (written != qErrNone) {
        // Recording the build now would send a later update after a file that is not there.
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d", written);
        return 0;
    }
    device.attributes.Add(KEY_LATEST_DOWNLOAD, file_name);
    device.attributes.Add(KEY_LAST_DOWNLOAD_DATE, download_date);
    device.attributes.Save(nullptr);
    return build_number;
}

unsigned Updater::Download_Firmware(Fingerprint fingerprint, std::string build, bool override_validation) {
    unsigned build_number = 0;
    if (!build.empty() && !ParseBuildNumber(build, build_number)) {
        Log::log(DEBUG_APP, "Error: Could not convert %s to int.\n", build.c_str());
    }
    uint32_t device_serial = 0;
    uint32_t recovery_build = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &device_serial, &recovery_build,
                                              server_url.c_str())) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to retrieve recovery information from Tolveric update server");
        return 0;
    }
    if (build_number == 0) build_number = recovery_build;
    return Download_Firmware(device_serial, std::to_string(build_number), override_validation, false);
}
