// The usage text, written to standard error.
#pragma once

#include <cstdio>

// Block A always; block B when full; block C when full and extended; block D when full.
void _display_usage(bool extended, bool full);
void _write_usage(FILE* output, bool extended, bool full);
