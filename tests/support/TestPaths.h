// Where the tests find the programs they run, and scratch directories that clean up after themselves.
#pragma once

#include <string>

namespace test_support {

// A program built into the build root, for example built_program("updater").
std::string built_program(const std::string& name);
// A file of the source tree, relative to its root.
std::string source_file(const std::string& relative);

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace test_support
