#include "FlashDump.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "FileContents.h"

namespace test_support {

namespace {

uint32_t hex_number(const std::string& text, size_t digits, const std::string& line) {
    if (text.size() != digits || text.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        throw std::runtime_error("flash dump: bad number in \"" + line + "\"");
    }
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

Bytes hex_bytes(const std::string& text, const std::string& line) {
    if (text.size() % 2 != 0) throw std::runtime_error("flash dump: odd digit count in \"" + line + "\"");
    Bytes bytes;
    for (size_t i = 0; i < text.size(); i += 2) bytes.push_back(static_cast<uint8_t>(hex_number(text.substr(i, 2), 2, line)));
    return bytes;
}

}  // namespace

std::vector<ModuleMemoryDump> read_flash_dump(const std::string& path) {
    std::istringstream lines(read_file(path));
    std::vector<ModuleMemoryDump> modules;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string kind, first, second, extra;
        words >> kind >> first >> second;
        if (second.empty() || (words >> extra)) throw std::runtime_error("flash dump: bad line \"" + line + "\"");
        if (kind == "module") {
            modules.push_back({static_cast<uint8_t>(hex_number(first, 2, line)), hex_number(second, 8, line), {}, {}});
        } else if ((kind == "loader" || kind == "flash") && !modules.empty()) {
            MemoryRuns& runs = kind == "loader" ? modules.back().loader : modules.back().flash;
            runs[hex_number(first, 8, line)] = hex_bytes(second, line);
        } else {
            throw std::runtime_error("flash dump: bad line \"" + line + "\"");
        }
    }
    return modules;
}

std::optional<ModuleMemoryDump> find_module(const std::vector<ModuleMemoryDump>& dump, uint32_t serial_number) {
    auto module = std::find_if(dump.begin(), dump.end(),
                               [serial_number](const ModuleMemoryDump& m) { return m.serial_number == serial_number; });
    if (module == dump.end()) return std::nullopt;
    return *module;
}

}  // namespace test_support
