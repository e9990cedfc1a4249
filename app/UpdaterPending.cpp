// Operations whose workflow is not built yet. Each reports failure; recovery says why, since the
// command line prints nothing of its own when it fails.
#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) { return false; }

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Recovery through the serial boot loader is not available in this version");
    return false;
}
