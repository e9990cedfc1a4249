// virtual-module: one simulated instrument module served over TCP, a pseudo-terminal and the
// Ethernet discovery answer, for the tests and the demo.
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <variant>

#include "Module.h"
#include "Options.h"
#include "Server.h"
#include "TraceLog.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace

int main(int argc, char** argv) {
    using namespace virtual_module;
    ParseResult parsed = parse_options(argc, argv);
    if (std::holds_alternative<ShowUsage>(parsed)) {
        std::fputs(usage_text(), stdout);
        return 0;
    }
    if (auto* error = std::get_if<UsageError>(&parsed)) {
        std::fprintf(stderr, "virtual-module: %s\n\n%s", error->message.c_str(), usage_text());
        return kExitUsage;
    }
    const Options& options = std::get<Options>(parsed);
    TraceLog log(options.trace);
    auto started = std::chrono::steady_clock::now();
    Module module(options.identity, started);
    module.loader_faults() = options.loader_faults;
    for (const ModuleIdentity& routed : options.routed) module.add_routed(routed, started);
    Server server(options, module, log);
    try {
        server.start();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "virtual-module: %s\n", failure.what());
        return kExitFailure;
    }
    return server.run();
}
