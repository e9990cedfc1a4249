#include "Dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "BuildPath.h"
#include "CommandLine.h"
#include "Log.h"
#include "ResultPrinters.h"
#include "Usage.h"
#include "qDirectory.h"

namespace {

constexpr unsigned STORAGE_DIRECTORY_MODE = 0755;
constexpr unsigned LIVELOADER_SERIAL = 0xEBEBEBFF;
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;

void error(UpdaterDisplayInterface& display, const char* text) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", text);
}

// Resolves the storage directory (default below the home directory, always ending in "updater")
// and creates it. False when it cannot be had; the reason has been reported.
bool prepare_storage_directory(UpdaterDisplayInterface& display, Parameters& params) {
    if (params.storage_directory.empty()) {
        char home[qDIRECTORY_MAX_PATH] = "";
        qErr result = qDirectory_GetHomeDirectory(home, sizeof home);
        if (result != qErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedqDirectory_GetHomeDirectory()==> %d\n", result);
            return false;
        }
        params.storage_directory = BuildPath(home, ".tolveric");
    }
    params.storage_directory = BuildPath(params.storage_directory, "updater");
    if (qDirectory_Ensure(params.storage_directory.c_str(), STORAGE_DIRECTORY_MODE) != qErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find updater directory at %s",
                        params.storage_directory.c_str());
        return false;
    }
    return true;
}

// A build text of digits, as the command line stores it; 0 when empty or not a number.
unsigned build_number(const std::string& build) {
    if (build.empty()) return 0;
    char* end = nullptr;
    return _get_int_arg(build.c_str(), &end);
}

int run_final_operation(UpdaterDisplayInterface& display, Parameters& params, UpdaterOperations& updater,
                        int pending_status) {
    const CommandsClass& commands = params.commands;

    if (commands.IsSet(COMMAND_DISCOVER)) {
        linkType type = (params.transport_given && params.transport != TRANSPORT_RECOVER)
                            ? static_cast<linkType>(params.transport)
                            : linkTypeNone;
        if (params.router_serial != 0) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO,
                            "Searching for Lumenvane Network devices connected to %08X", params.router_serial);
            _display_device_list(display, updater.Discover_LVNetwork_Devices(params.router_serial, type), type);
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Searching for Lumenvane devices");
            linkType listed = type == linkTypeNone ? linkTypeUSB : type;
            _display_device_list(display, updater.Discover_Devices(listed), listed);
        }
        return EXIT_OK;
    }

    if (commands.IsSet(COMMAND_UPDATE)) {
        unsigned build = build_number(params.build);
        updater.Set_UEIBytes_Load(params.load_with_uei_bytes);
        bool updated;
        if (params.transport == TRANSPORT_RECOVER) {
            updated = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                               params.bird_file, params.override_model_check);
        } else {
            if (params.serial_number == 0) {
                error(display, "Must specify the specific device to be updated");
                return EXIT_FAILED;
            }
            updated = updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                              params.router_serial, params.override_model_check);
        }
        return updated ? EXIT_OK : EXIT_FAILED;
    }

    // -B, -L and -J share their shape: a serial number is required and the result is printed.
    if (commands.IsSet(COMMAND_LIST_BUILDS | COMMAND_LIST_LOCAL_BUILDS | COMMAND_JWT)) {
        const char* missing_serial =
            commands.IsSet(COMMAND_LIST_BUILDS)         ? "Error must supply a serial number for the List Builds command"
            : commands.IsSet(COMMAND_LIST_LOCAL_BUILDS) ? "Error must supply a serial number for the List Local Builds command"
                                                        : "Error must supply a serial number for the Get JWT command";
        if (params.serial_number == 0) {
            error(display, missing_serial);
            _display_usage(false, false);
            return EXIT_FAILED;
        }
        if (commands.IsSet(COMMAND_LIST_BUILDS)) {
            _display_builds(display, updater.Get_BuildList(params.serial_number), params.serial_number);
        } else if (commands.IsSet(COMMAND_LIST_LOCAL_BUILDS)) {
            _display_builds(display, updater.Get_BuildListLocal(params.serial_number), params.serial_number);
        } else {
            _display_jwt(display, updater.Get_JWT(params.serial_number));
        }
        return EXIT_OK;
    }

    return pending_status;
}

int run_operations(UpdaterDisplayInterface& display, Parameters& params, UpdaterOperations& updater) {
    int status = EXIT_OK;

    if (params.commands.IsSet(COMMAND_FINGERPRINT)) {
        if (params.serial_port.empty()) {
            error(display, "Must specify the serial port used for connecting");
            return EXIT_FAILED;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serial_port, LIVELOADER_SERIAL, params.bird_file,
                                    params.baud_rate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            error(display, "Got no response from chip");
            status = EXIT_FAILED;
        }
    }

    if (params.commands.IsSet(COMMAND_GET_BUILD)) {
        if (params.serial_number == 0) {
            error(display, "-G must specify a specific device via -d");
            error(display, "--help for usage information");
            return EXIT_FAILED;
        }
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving firmware for device with serial number %08X",
                        params.serial_number);
        if (params.build.empty()) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "No build specified");
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Using Latest build");
        } else {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving firmware build %s", params.build.c_str());
        }
        unsigned stored = updater.Download_Firmware(params.serial_number, params.build, params.override_model_check,
                                                    false);
        if (stored != 0) {
            params.build = std::to_string(stored);  // a following -U writes the build just fetched
            status = EXIT_OK;
        } else {
            status = EXIT_FAILED;
        }
    }

    return run_final_operation(display, params, updater, status);
}

}  // namespace

int run_updater(int argc, char** argv, UpdaterDisplayInterface& display, const UpdaterFactory& make_updater) {
    Parameters params;
    Log::SetOutput(stderr);
    int parse_result = _get_params(display, argc, argv, &params);
    _display_app_version(display);

    if (parse_result != 0) {
        _display_usage(false, false);
        _release_params(&params);
        return EXIT_FAILED;
    }
    if (params.commands.IsSet(COMMAND_HELP) || !params.commands.IsSet(COMMANDS_ANY)) {
        _display_usage(params.log_mask_given, params.help_requested);
        _release_params(&params);
        return EXIT_OK;
    }
    if (!prepare_storage_directory(display, params)) {
        _release_params(&params);
        return EXIT_FAILED;
    }

    int status;
    {
        std::unique_ptr<UpdaterOperations> updater =
            make_updater(params.server_url.c_str(), params.storage_directory.c_str(), display);
        status = run_operations(display, params, *updater);
    }
    _release_params(&params);
    return status;
}
