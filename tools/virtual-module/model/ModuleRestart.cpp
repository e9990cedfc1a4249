#include "ModuleRestart.h"

namespace virtual_module {

const char* restart_reason_text(RestartReason reason) {
    switch (reason) {
    case RestartReason::Reset:
        return "reset";
    case RestartReason::LoaderStarted:
        return "loader started";
    case RestartReason::Rebooted:
        return "reboot";
    }
    return "?";
}

}  // namespace virtual_module
