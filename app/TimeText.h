// The local time as text, the form the attributes files record dates in.
#pragma once

#include <string>

// Now, as ctime writes it without the final newline: "Wed Jun 30 21:49:08 1993".
std::string CurrentTimeText();
