// A network of the test's own: the calling process moves into a new network namespace (inside a
// new user namespace when it is not root), where only a loopback interface exists until the test
// adds veth pairs. Whatever the test sends there, multicast included, never leaves the machine,
// and children it starts afterwards share the namespace.
// Call it from a test process before it starts any thread.
#pragma once

#include <string>

namespace test_support {

// Enters the private network and brings "lo" up. Returns an empty text on success, otherwise why
// it could not (the test should then skip rather than touch the real network).
std::string enter_private_network();

struct VethPair {
    std::string name;          // e.g. "vm0"
    std::string address;       // IPv4, e.g. "10.77.0.1"
    std::string peer_name;     // e.g. "vm1"
    std::string peer_address;  // e.g. "10.77.0.2"
    unsigned prefix_length = 24;
};

// Creates the pair in the current namespace with its addresses, both ends up. Throws
// std::runtime_error when the kernel refuses.
void add_veth_pair(const VethPair& pair);

}  // namespace test_support
