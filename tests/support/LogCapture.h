// Collects the diagnostic log of some packages while it lives, for tests of log lines.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

class LogCapture {
public:
    explicit LogCapture(unsigned packages);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string text() const;
    bool contains(const std::string& line) const { return text().find(line) != std::string::npos; }

private:
    FILE* file_;
    unsigned packages_;
};

}  // namespace test_support
