// The program's run: parse, print the version line, prepare the storage directory and run the
// requested operations in their fixed order.
#pragma once

#include <functional>
#include <memory>

#include "UpdaterDisplayInterface.h"
#include "UpdaterOperations.h"

using UpdaterFactory = std::function<std::unique_ptr<UpdaterOperations>(
    const char* server_url, const char* storage_directory, UpdaterDisplayInterface& display)>;

// Returns the exit status, 0 or 1. make_updater builds the operations once the storage directory exists.
int run_updater(int argc, char** argv, UpdaterDisplayInterface& display, const UpdaterFactory& make_updater);
