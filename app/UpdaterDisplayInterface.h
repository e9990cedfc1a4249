// Where the workflow and the firmware transfer report to the user: messages at two levels,
// a progress bar and a spinner.
#pragma once

#include <cstddef>

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    static constexpr size_t MESSAGE_LIMIT = 2048;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats into 2048 characters (longer text is cut) and hands the text to error_message for
    // LEVEL_ERROR, to info_message otherwise. Prints nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Muting silences messages only; progress bars and spinners still show.
    void mute_messages(bool on) { muted = on; }

    bool muted = false;

protected:
    ~UpdaterDisplayInterface() = default;
};
