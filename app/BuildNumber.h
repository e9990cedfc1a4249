// Build numbers as the server and the command line write them: decimal text.
#pragma once

#include <string>

// Reads the leading decimal digits of text (white space before them is skipped, anything after
// them ignored, so a line end left on a server value does no harm). False, with number unchanged,
// when there are no digits, a sign comes first, or the value does not fit in 32 bits.
bool ParseBuildNumber(const std::string& text, unsigned& number);
