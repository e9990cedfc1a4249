#include "BirdWriter.h"

#include <stdexcept>

#include "ProcessRunner.h"
#include "TestPaths.h"

namespace test_support {

void write_bird(const std::string& command, const std::string& output, const std::vector<std::string>& arguments) {
    std::vector<std::string> command_line{"/usr/bin/env", "python3", source_file("tools/bird_writer/bird_writer.py"), command, output};
    command_line.insert(command_line.end(), arguments.begin(), arguments.end());
    ProcessResult result = run_process(command_line);
    if (result.exit_status != 0) throw std::runtime_error("bird_writer failed: " + result.err);
}

}  // namespace test_support
