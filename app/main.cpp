#include "CLI_Display.h"
#include "Dispatch.h"
#include "Updater.h"

int main(int argc, char** argv) {
    CLI_Display display;
    return run_updater(argc, argv, display,
                       [](const char* server_url, const char* storage_directory, UpdaterDisplayInterface& output) {
                           return std::make_unique<Updater>(server_url, storage_directory, output);
                       });
}
