#include "qStreamserial.h"

const uint32_t qSERIAL_BAUD_RATES[qSERIAL_BAUD_COUNT] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

int qStream_SerialBaudIndex(uint32_t rate) {
    for (int index = 0; index < qSERIAL_BAUD_COUNT; ++index) {
        if (qSERIAL_BAUD_RATES[index] == rate) return index;
    }
    return -1;
}
