// The console display: messages to standard output and standard error, and a progress bar and
// spinner that are drawn only when standard output is a terminal.
#pragma once

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    static constexpr int PROGRESS_WIDTH = 69;
    static constexpr int CLEAR_WIDTH = 88;

    // Makes standard output and standard error unbuffered, so messages and bars interleave as written.
    CLI_Display();
    virtual ~CLI_Display() = default;

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
