// The command-line grammar and the option table.
#pragma once

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

enum OptionIdentifier { OPT_END = -1, OPT_HELP = 0, OPT_COMMAND = 1, OPT_PARAMETER = 2 };
enum OptionArgument { OPTION_NO_ARGUMENT = 0, OPTION_REQUIRES_VALUE = 1 };

struct OptionEntry {
    int identifier;
    const char* text;
    OptionArgument argument;
};

constexpr int OPTION_COUNT = 30;
// Thirty options and an end marker.
extern const OptionEntry g_rgOptions[OPTION_COUNT + 1];

// Resets params to its defaults and parses argv into it. Returns 0 on success, 1 when any option
// was rejected with a message. Unrecognised options are skipped silently; a help option ends parsing.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
int _validate_params(Parameters* params);
int _release_params(Parameters* params);

// Reads text as hexadecimal (or, for _get_int_arg, decimal) when every character is a digit of
// that base, keeping the low 32 bits and setting *end past the digits; otherwise 0 and *end untouched.
unsigned _get_hex_arg(const char* text, char** end);
unsigned _get_int_arg(const char* text, char** end);
