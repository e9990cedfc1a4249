#include "CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char PROGRESS_FILL[] = "=====================================================================";
static_assert(sizeof(PROGRESS_FILL) - 1 == CLI_Display::PROGRESS_WIDTH);

const char* const SPINNER_FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned SPINNER_FRAME_COUNT = sizeof(SPINNER_FRAMES) / sizeof(SPINNER_FRAMES[0]);

// One counter for the whole process: a later spinner carries on where the last one stopped.
uint8_t spinner_frame = 0;

bool output_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

void clear_line() { printf("\r%*s\r", CLI_Display::CLEAR_WIDTH, " "); }

}  // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!output_is_terminal() || show) return;
    clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!output_is_terminal()) return;
    // Keep the bar inside its brackets whatever the caller passes.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int width = label == nullptr ? PROGRESS_WIDTH : PROGRESS_WIDTH - static_cast<int>(strlen(label)) - 4;
    if (width < 1) width = 1;
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100);
    // At 1.0 the pad width is -1, which printf reads as left-justified width 1: one blank after '>'.
    if (label != nullptr) {
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, PROGRESS_FILL, width - filled - 1, "", percent);
    } else {
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, PROGRESS_FILL, width - filled - 1, "", percent);
    }
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!output_is_terminal()) return;
    if (!active) {
        clear_line();
        return;
    }
    const char* frame = SPINNER_FRAMES[spinner_frame % SPINNER_FRAME_COUNT];
    if (label != nullptr) {
        printf("\r (%s) %s      \r", label, frame);
    } else {
        printf("\r %s      \r", frame);
    }
    spinner_frame = static_cast<uint8_t>((spinner_frame + 1) % SPINNER_FRAME_COUNT);
}

void CLI_Display::info_message(const char* text) { printf("%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
