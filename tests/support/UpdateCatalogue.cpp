#include "UpdateCatalogue.h"

#include <filesystem>

#include "BirdWriter.h"
#include "FileContents.h"

namespace test_support {

std::string UpdateCatalogue::add_build(const std::string& device, unsigned build, const std::string& version) {
    std::filesystem::create_directories(directory_.file(device));
    std::string file = directory_.file(device + "/" + std::to_string(build) + ".bird");
    write_bird("generic", file, {"--build", std::to_string(build), "--version", version});
    return file;
}

void UpdateCatalogue::add_file(const std::string& device, const std::string& name, const std::string& content) {
    std::filesystem::create_directories(directory_.file(device));
    write_file(directory_.file(device + "/" + name), content);
}

void UpdateCatalogue::set_recovery(const std::string& content) { write_file(directory_.file("recovery"), content); }

}  // namespace test_support
