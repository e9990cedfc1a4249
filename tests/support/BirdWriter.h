// Writes BIRD images with the writer in tools/bird_writer, which is built from the file format
// alone, so that tests of the reader check it against an independent implementation.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// Runs "bird_writer.py COMMAND OUTPUT ARGUMENTS..." (COMMAND: generic, for-serial or custom);
// throws std::runtime_error with the writer's message when it fails.
void write_bird(const std::string& command, const std::string& output, const std::vector<std::string>& arguments = {});

}  // namespace test_support
