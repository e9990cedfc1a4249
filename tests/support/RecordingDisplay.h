// A display that remembers what it was asked to show, for tests of the workflow's messages.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace test_support {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    struct Line {
        Level level;
        std::string text;
        bool operator==(const Line&) const = default;
    };

    void display_progress(bool show) override {
        std::lock_guard lock(*mutex_);
        if (!show) ++progress_clears;
    }
    void update_progress(double fraction, const char*) override {
        std::lock_guard lock(*mutex_);
        progress.push_back(fraction);
    }
    void update_spinner(bool active, const char*) override {
        std::lock_guard lock(*mutex_);
        if (active) ++spinner_frames;
        else ++spinner_stops;
    }
    void info_message(const char* text) override {
        std::lock_guard lock(*mutex_);
        lines.push_back({LEVEL_INFO, text});
    }
    void error_message(const char* text) override {
        std::lock_guard lock(*mutex_);
        lines.push_back({LEVEL_ERROR, text});
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const Line& line : lines) result.push_back(line.text);
        return result;
    }
    std::vector<std::string> errors() const {
        std::vector<std::string> result;
        for (const Line& line : lines) {
            if (line.level == LEVEL_ERROR) result.push_back(line.text);
        }
        return result;
    }
    bool contains(const std::string& text) const {
        for (const Line& line : lines) {
            if (line.text == text) return true;
        }
        return false;
    }

    std::vector<Line> lines;
    std::vector<double> progress;
    int progress_clears = 0;
    int spinner_frames = 0;
    int spinner_stops = 0;

private:
    std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();  // keeps the recorder movable
};

}  // namespace test_support
