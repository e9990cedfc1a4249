#include "TestPaths.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace test_support {

std::string built_program(const std::string& name) { return std::string(UPDATER_BUILD_DIRECTORY) + "/" + name; }

std::string source_file(const std::string& relative) {
    return std::string(UPDATER_SOURCE_DIRECTORY) + "/" + relative;
}

TemporaryDirectory::TemporaryDirectory() {
    char pattern[] = "/tmp/updater-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace test_support
