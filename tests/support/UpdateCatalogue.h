// A catalogue folder for the local update server: device folders holding BIRD files and the
// server's other per-device files.
#pragma once

#include <string>

#include "TestPaths.h"

namespace test_support {

class UpdateCatalogue {
public:
    const std::string& path() const { return directory_.path(); }
    // Writes a generic BIRD image of that build and version as DEVICE/BUILD.bird; returns its path.
    std::string add_build(const std::string& device, unsigned build, const std::string& version);
    // Writes DEVICE/NAME (a versions, firmware or jwt file).
    void add_file(const std::string& device, const std::string& name, const std::string& content);
    // Writes the top-level recovery file.
    void set_recovery(const std::string& content);

private:
    TemporaryDirectory directory_;
};

}  // namespace test_support
