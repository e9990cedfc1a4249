#include "Updater.h"

Updater::Updater(const char* server_url_, const char* storage_directory_, UpdaterDisplayInterface& display_)
    : server_url(server_url_ ? server_url_ : ""),
      storage_directory(storage_directory_ ? storage_directory_ : ""),
      display(display_) {}

void Updater::Set_UEIBytes_Load(bool load) { load_with_uei_bytes = load; }
