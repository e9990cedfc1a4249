// Operations whose workflow is not built yet. Each reports failure without a message,
// so the command line behaves as it will when the operation finds nothing.
#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned, std::string, unsigned, bool) { return false; }

bool Updater::Recover_Firmware(std::string, unsigned, unsigned, unsigned, std::string, bool) { return false; }
