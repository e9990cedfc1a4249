// Whole-file reads and writes and directory listings, for tests that look at what landed on disk.
#pragma once

#include <string>
#include <vector>

namespace test_support {

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// The names in a directory ("." and ".." left out), sorted.
std::vector<std::string> entry_names(const std::string& directory);

}  // namespace test_support
