// Linux details of serial-port streams that portable code has no use for.
#pragma once

#include <termios.h>

#include "qStream.h"

// The terminal settings the stream applied to its port at open. The driver may keep less than
// was asked: a pseudo-terminal, for one, always reports 8 data bits and no parity.
// qErrParam when `stream` is not an open serial stream or `settings` is null.
qErr unix_streamserial_GetAppliedSettings(const qStream* stream, termios* settings);
