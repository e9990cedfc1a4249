// The virtual module as a host sees it, byte for byte, over TCP and over its pseudo-terminal:
// each table is "the host sends / the module answers", with ** for bytes a test cannot know.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "ByteText.h"
#include "HostPeer.h"
#include "VirtualModuleProcess.h"

using test_support::bytes_of;
using test_support::Exchange;
using test_support::HostPeer;
using test_support::text_of;
using test_support::VirtualModuleProcess;

namespace {

const std::string kName = "Calibration rig, bench 7 of 12";  // 30 bytes: runs of 24 and 6

std::string ascii(const std::string& text) { return text_of(test_support::Bytes(text.begin(), text.end())); }

enum class Transport { Tcp, Pty };

void PrintTo(Transport transport, std::ostream* out) { *out << (transport == Transport::Tcp ? "TCP" : "pty"); }

std::vector<std::string> module_arguments(Transport transport) {
    std::vector<std::string> arguments = {"--serial", "40F5849A", "--model", "19", "--address", "6",
                                          "--firmware-version", "2.11.5", "--build", "100000", "--name", kName,
                                          "--heartbeat-ms", "0", "--trace"};
    if (transport == Transport::Tcp) {
        arguments.insert(arguments.end(), {"--tcp", "127.0.0.1:0"});
    } else {
        arguments.push_back("--pty");
    }
    return arguments;
}

class VirtualModuleExchange : public ::testing::TestWithParam<Transport> {
protected:
    VirtualModuleExchange()
        : module_(module_arguments(GetParam())),
          host_(GetParam() == Transport::Tcp ? HostPeer::connect_tcp(module_.tcp_port())
                                             : HostPeer::open_serial(module_.pty_path())) {}

    VirtualModuleProcess module_;
    HostPeer host_;
};

std::string transport_name(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::Tcp ? "Tcp" : "Pty";
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Transports, VirtualModuleExchange, ::testing::Values(Transport::Tcp, Transport::Pty),
                         transport_name);

TEST_P(VirtualModuleExchange, LinkRequestsAndSystemEntityReads) {
    expect_exchanges(host_, {
        {"six sync requests", "AD 00 AD 00 AD 00 AD 00 AD 00 AD 00", "06 00 06 00 06 00 06 00 06 00 06 00"},
        {"address query", "AD 00", "06 00"},
        {"force-route", "AF 01 01", ""},
        {"heartbeat answer with no heartbeat out", "06 02 00 02", ""},
        {"packet for another module", "08 03 03 49 20", ""},
        {"serial number", "06 03 03 49 20", "06 07 03 09 00 40 F5 84 9A"},
        {"model code", "06 03 03 48 20", "06 04 03 08 00 13"},
        {"firmware version, legacy layout", "06 03 03 47 20", "06 07 03 07 00 2B 00 00 05"},
        {"build", "06 03 03 6B 20", "06 07 03 2B 00 00 01 86 A0"},
        {"module address", "06 03 03 41 20", "06 04 03 01 00 06"},
        {"signed minimum temperature", "06 03 03 5C 20", "06 07 03 1C 00 FF FF EC 78"},
        {"unique identifier word with a sub-index", "06 04 03 67 20 01", "06 07 03 27 00 40 F5 84 9A"},
        {"name as a byte array",
         "06 03 03 60 20",
         "06 1C 03 20 00 " + ascii(kName.substr(0, 24)) + " 80 06 0A 03 20 00 " + ascii(kName.substr(24)) + " 01"},
    });
}

TEST_P(VirtualModuleExchange, RefusedRequestsGetErrorRepliesOrSilence) {
    expect_exchanges(host_, {
        {"get of an unknown option", "06 03 03 45 20", "06 04 03 05 80 1D"},
        {"set of an unknown option", "06 04 03 85 20 01", "06 04 03 C5 80 1D"},
        {"unknown entity", "06 03 30 41 20", "06 04 30 01 80 1C"},
        {"index 1 of the system entity", "06 03 03 49 21", "06 04 03 09 81 1C"},
        {"set of a read-only option", "06 07 03 89 20 00 00 00 01", "06 04 03 C9 80 07"},
        {"set with the wrong width", "06 05 03 84 20 00 01", "06 04 03 C4 80 0E"},
        {"sub-index missing", "06 03 03 67 20", "06 04 03 27 80 1B"},
        {"sub-index out of range", "06 04 03 67 20 04", "06 04 03 27 80 1A"},
        {"neither get nor set", "06 03 03 09 20", "06 04 03 09 80 07"},
        {"raw command nobody handles", "06 02 01 00", ""},
        {"query that does not exist", "06 02 49 07", ""},
        {"byte-array packet out of sequence", "06 06 03 A0 20 41 42 81", "06 04 03 E0 80 18"},
        {"rest of the refused run", "06 05 03 A0 20 43 02", ""},
        {"name unchanged", "06 03 03 60 20", "06 1C 03 20 00 " + ascii(kName.substr(0, 24)) + " 80 ** ** ** ** ** ** ** ** ** ** ** **"},
    });
}

TEST_P(VirtualModuleExchange, SetsAreAcknowledgedAndRead) {
    const std::string new_name = "Second bench supply, rack 4";  // 27 bytes: runs of 24 and 3
    expect_exchanges(host_, {
        {"set LED", "06 04 03 84 20 05", "06 03 03 C4 00"},
        {"get LED", "06 03 03 44 20", "06 04 03 04 00 05"},
        {"set router", "06 04 03 82 20 0A", "06 03 03 C2 00"},
        {"odd router refused", "06 04 03 82 20 07", "06 04 03 C2 80 02"},
        {"get router", "06 03 03 42 20", "06 04 03 02 00 0A"},
        {"set a 32-bit value", "06 07 03 A2 20 00 0F 42 40", "06 03 03 E2 00"},
        {"get it back", "06 03 03 62 20", "06 07 03 22 00 00 0F 42 40"},
        {"call save", "06 03 03 8A 20", "06 03 03 CA 00"},
        {"route to me", "06 04 03 94 20 01", "06 03 03 D4 00"},
        {"name, first packet of the run", "06 1C 03 A0 20 " + ascii(new_name.substr(0, 24)) + " 80", ""},
        {"name, last packet: one acknowledgement", "06 07 03 A0 20 " + ascii(new_name.substr(24)) + " 01", "06 03 03 E0 00"},
        {"name read back",
         "06 03 03 60 20",
         "06 1C 03 20 00 " + ascii(new_name.substr(0, 24)) + " 80 06 07 03 20 00 " + ascii(new_name.substr(24)) + " 01"},
        {"empty name", "06 04 03 A0 20 00", "06 03 03 E0 00"},
        {"empty name read back", "06 03 03 60 20", "06 04 03 20 00 00"},
    });
}

TEST_P(VirtualModuleExchange, NameLongerThanTheModuleHoldsIsRefusedOnce) {
    std::vector<Exchange> steps;
    for (int packet = 0; packet < 6; ++packet) {  // 5 × 24 + 9 = 129 bytes, one more than the module holds
        int count = packet < 5 ? 24 : 9;
        std::string bytes = ascii(std::string(static_cast<size_t>(count), 'x'));
        char header[32];
        std::snprintf(header, sizeof header, "06 %02X 03 A0 20 ", count + 4);
        char sequence[8];
        std::snprintf(sequence, sizeof sequence, " %02X", packet < 5 ? 0x80 | packet : packet);
        steps.push_back({"packet " + std::to_string(packet), header + bytes + sequence, packet == 5 ? "06 04 03 E0 80 0E" : ""});
    }
    steps.push_back({"name unchanged", "06 03 03 60 20", "06 1C 03 20 00 " + ascii(kName.substr(0, 24)) + " 80 ** ** ** ** ** ** ** ** ** ** ** **"});
    expect_exchanges(host_, steps);
}

TEST_P(VirtualModuleExchange, QueriesAndEcho) {
    expect_exchanges(host_, {
        {"build", "06 02 49 FF", "06 06 49 FF 00 01 86 A0"},
        {"serial number readable", "06 06 49 01 03 09 00 40", "06 06 49 01 03 09 00 00"},
        {"serial number not settable", "06 06 49 01 03 09 00 80", "06 06 49 01 03 09 00 07"},
        {"both directions at once", "06 06 49 01 03 09 00 C0", "06 06 49 01 03 09 00 02"},
        {"unknown option", "06 06 49 01 03 05 00 40", "06 06 49 01 03 05 00 1D"},
        {"unknown entity", "06 06 49 01 30 01 00 40", "06 06 49 01 30 01 00 1C"},
        {"system entities", "06 03 49 04 03", "06 04 49 04 03 01"},
        {"entities of an unknown class", "06 03 49 04 30", "06 04 49 04 30 00"},
        {"sub-indices of the unique identifier", "06 04 49 05 03 27", "06 05 49 05 03 27 04"},
        {"entity group", "06 04 49 06 03 00", "06 05 49 06 03 00 00"},
        {"echo", "06 04 17 01 02 03", "06 04 17 01 02 03"},
        {"echo of nothing", "06 01 17", "06 01 17"},
    });
}

TEST_P(VirtualModuleExchange, StoreSlotWriteThenRead) {
    expect_exchanges(host_, {
        {"capacity", "06 04 04 01 00 02", "06 06 04 01 00 02 04 00"},
        {"size of an empty slot", "06 04 04 02 00 02", "06 06 04 02 00 02 00 00"},
        {"open for writing", "06 04 04 04 00 02", "06 05 04 04 00 02 01"},
        {"second writer refused", "06 04 04 04 00 02", "06 05 04 84 00 02 05"},
        {"write, sum of the bytes", "06 06 04 07 01 10 20 30", "06 04 04 07 01 60"},
        {"write, sum wraps", "06 05 04 07 01 FF 02", "06 04 04 07 01 01"},
        {"read through a write handle", "06 03 04 06 01", "06 04 04 86 01 07"},
        {"nothing stored before the close", "06 04 04 02 00 02", "06 06 04 02 00 02 00 00"},
        {"close", "06 03 04 08 01", "06 04 04 08 01 00"},
        {"size after the close", "06 04 04 02 00 02", "06 06 04 02 00 02 00 05"},
        {"open for reading", "06 04 04 03 00 02", "06 05 04 03 00 02 01"},
        {"read", "06 03 04 06 01", "06 08 04 06 01 10 20 30 FF 02"},
        {"read past the end", "06 03 04 06 01", "06 04 04 86 01 0A"},
        {"close the reader", "06 03 04 08 01", "06 04 04 08 01 00"},
        {"close a handle that is not open", "06 03 04 08 01", "06 04 04 88 01 03"},
        {"slot that does not exist", "06 04 04 02 05 00", "06 05 04 82 05 00 1A"},
        {"operation that does not exist", "06 03 04 05 00", "06 04 04 85 00 15"},
        {"request cut short", "06 03 04 01 00", "06 05 04 81 00 00 1B"},
    });
}

TEST_P(VirtualModuleExchange, FactoryDataReadAndWrite) {
    const std::string record = "serial 40F5849A model 19";
    const std::string written = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";  // 30 bytes: packets of 26 and 4
    const std::string first = ascii(written.substr(0, 26));
    const std::string rest = ascii(written.substr(26));
    expect_exchanges(host_, {
        {"read kind 0", "06 02 5E 40", "06 1A 5E 00 " + ascii(record)},
        {"close the read", "06 04 5E 20 00 18", "06 03 5E 00 00"},
        {"continue without a start", "06 02 5E 03", "06 03 5E 83 02"},
        {"write kind 2, first packet", "06 1C 5E 52 " + first, "06 02 5E 02"},
        {"write kind 2, next packet", "06 06 5E 12 " + rest, "06 02 5E 02"},
        {"close with a wrong total", "06 04 5E 20 00 1F", "06 03 5E 80 0E"},
        {"nothing was kept", "06 02 5E 42", "06 02 5E 02"},
        {"close the empty read", "06 04 5E 20 00 00", "06 03 5E 00 00"},
        {"write again", "06 1C 5E 52 " + first, "06 02 5E 02"},
        {"write the rest", "06 06 5E 12 " + rest, "06 02 5E 02"},
        {"close with the total", "06 04 5E 20 00 1E", "06 03 5E 00 00"},
        {"read back, full packet", "06 02 5E 42", "06 1C 5E 02 " + first},
        {"read back, the rest", "06 02 5E 02", "06 06 5E 02 " + rest},
        {"close the read back", "06 04 5E 20 00 1E", "06 03 5E 00 00"},
    });
}

TEST_P(VirtualModuleExchange, StreamSamplesOfEveryKindFollowChanges) {
    const std::string timestamp = "** ** ** ** ** ** ** **";
    expect_exchanges(host_, {
        {"not streaming", "06 03 5D 41 20", "06 04 5D 01 00 00"},
        {"subscribe to the 8-bit signal", "06 07 5D 81 20 06 70 01 00", "06 03 5D C1 00"},
        {"streaming", "06 03 5D 41 20", "06 04 5D 01 00 01"},
        {"change it: kind 1", "06 04 70 81 20 2A", "06 03 70 C1 00 06 0E 70 01 40 01 " + timestamp + " 2A 00"},
        {"same value: no sample", "06 04 70 81 20 2A", "06 03 70 C1 00"},
        {"subscribe to every option of the entity", "06 07 5D 81 20 06 70 FF 00", "06 03 5D C1 00"},
        {"kind 2", "06 05 70 82 20 12 34", "06 03 70 C2 00 06 0F 70 02 40 02 " + timestamp + " 12 34 00"},
        {"kind 3", "06 07 70 83 20 DE AD BE EF", "06 03 70 C3 00 06 11 70 03 40 03 " + timestamp + " DE AD BE EF 00"},
        {"kind 5", "06 05 70 84 20 02 07", "06 03 70 C4 00 06 0F 70 04 40 05 02 " + timestamp + " 07 00"},
        {"kind 6", "06 06 70 85 20 01 AB CD", "06 03 70 C5 00 06 10 70 05 40 06 01 " + timestamp + " AB CD 00"},
        {"kind 7", "06 08 70 86 20 03 01 02 03 04", "06 03 70 C6 00 06 12 70 06 40 07 03 " + timestamp + " 01 02 03 04 00"},
        {"unsubscribe everything of the entity", "06 07 5D 82 20 06 70 FF FF", "06 03 5D C2 00"},
        {"a change after that: no sample", "06 04 70 81 20 2B", "06 03 70 C1 00"},
        {"not streaming again", "06 03 5D 41 20", "06 04 5D 01 00 00"},
        {"another module's stream", "06 07 5D 81 20 08 70 01 00", "06 04 5D C1 80 02"},
        {"unknown entity", "06 07 5D 81 20 06 30 01 00", "06 04 5D C1 80 1C"},
        {"unknown option", "06 07 5D 81 20 06 70 09 00", "06 04 5D C1 80 1D"},
    });
}
