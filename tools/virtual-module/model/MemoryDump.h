// The text form of what the modules hold, for tests and the demo to compare with an image:
//     module 06 40F5849A              address and serial number of a module (the router first,
//     loader 00010000 0A0B0C...       then the modules behind it in address order), followed by
//     flash 00020000 1122...          one line per run of consecutive bytes, in address order:
// "loader" is what the module last started with LOAD, "flash" what WRITE committed; the address
// is 8 hexadecimal digits, then the bytes as pairs of upper-case hexadecimal digits.
#pragma once

#include <string>

namespace virtual_module {

class Module;

std::string memory_dump_text(const Module& router);

}  // namespace virtual_module
