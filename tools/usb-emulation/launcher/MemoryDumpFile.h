// Writes a module's memory dump (virtual-module's format) to a file, whole: under another name
// first and then renamed, so a reader never sees half a dump.
#pragma once

#include <string>

#include "Module.h"

namespace usb_testbed {

// False (with a line on standard error) when the file cannot be written.
bool write_memory_dump(const std::string& path, const virtual_module::Module& module);

}  // namespace usb_testbed
