#include "PrivateNetwork.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace test_support {

namespace {

std::string failure_text(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

std::string set_interface_up(const std::string& name) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return failure_text("socket", errno);
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    std::string problem;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        problem = failure_text("read the flags of " + name, errno);
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) problem = failure_text("bring " + name + " up", errno);
    }
    ::close(fd);
    return problem;
}

// One route-netlink request built in place: header, a fixed part, then attributes (nestable).
class NetlinkRequest {
public:
    NetlinkRequest(uint16_t type, uint16_t flags) {
        header()->nlmsg_len = NLMSG_LENGTH(0);
        header()->nlmsg_type = type;
        header()->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    }

    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(buffer_); }

    void* append(size_t length) {
        size_t offset = NLMSG_ALIGN(header()->nlmsg_len);
        if (offset + RTA_ALIGN(length) > sizeof buffer_) throw std::runtime_error("netlink request too long");
        std::memset(buffer_ + offset, 0, RTA_ALIGN(length));
        header()->nlmsg_len = static_cast<uint32_t>(offset + RTA_ALIGN(length));
        return buffer_ + offset;
    }

    rtattr* attribute(uint16_t type, const void* data, size_t length) {
        auto* attribute = static_cast<rtattr*>(append(RTA_LENGTH(length)));
        attribute->rta_type = type;
        attribute->rta_len = static_cast<uint16_t>(RTA_LENGTH(length));
        if (length > 0) std::memcpy(RTA_DATA(attribute), data, length);
        return attribute;
    }

    rtattr* attribute(uint16_t type, const std::string& text) { return attribute(type, text.c_str(), text.size() + 1); }

    rtattr* begin_nested(uint16_t type) { return attribute(type, nullptr, 0); }
    void end_nested(rtattr* nested) {
        nested->rta_len = static_cast<uint16_t>(buffer_ + header()->nlmsg_len - reinterpret_cast<char*>(nested));
    }

    // Sends the request and waits for the kernel's acknowledgement; the error text, or empty.
    std::string send(const std::string& what) {
        int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0) return failure_text("netlink socket", errno);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        std::string problem;
        if (::sendto(fd, buffer_, header()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
            problem = failure_text(what, errno);
        } else {
            char reply[4096];
            ssize_t count = ::recv(fd, reply, sizeof reply, 0);
            auto* answer = reinterpret_cast<nlmsghdr*>(reply);
            if (count < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || answer->nlmsg_type != NLMSG_ERROR) {
                problem = what + ": no acknowledgement from the kernel";
            } else if (int error = -static_cast<nlmsgerr*>(NLMSG_DATA(answer))->error; error != 0) {
                problem = failure_text(what, error);
            }
        }
        ::close(fd);
        return problem;
    }

private:
    alignas(nlmsghdr) char buffer_[1024] = {};
};

void add_address(const std::string& interface, const std::string& address, unsigned prefix_length) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) throw std::runtime_error("not an IPv4 address: " + address);
    unsigned index = if_nametoindex(interface.c_str());
    if (index == 0) throw std::runtime_error("no interface " + interface);
    NetlinkRequest request(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
    auto* message = static_cast<ifaddrmsg*>(request.append(sizeof(ifaddrmsg)));
    message->ifa_family = AF_INET;
    message->ifa_prefixlen = static_cast<uint8_t>(prefix_length);
    message->ifa_index = index;
    request.attribute(IFA_LOCAL, &parsed, sizeof parsed);
    request.attribute(IFA_ADDRESS, &parsed, sizeof parsed);
    std::string problem = request.send("add " + address + " to " + interface);
    if (!problem.empty()) throw std::runtime_error(problem);
}

}  // namespace

std::string enter_private_network() {
    uid_t user = geteuid();
    gid_t group = getegid();
    if (user == 0) {
        if (unshare(CLONE_NEWNET) != 0) return failure_text("unshare(CLONE_NEWNET)", errno);
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return failure_text("unshare(CLONE_NEWUSER | CLONE_NEWNET)", errno);
        // Root inside the new user namespace, so the network namespace can be configured.
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(user) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(group) + " 1")) {
            return "cannot map the user into the new user namespace";
        }
    }
    return set_interface_up("lo");
}

void add_veth_pair(const VethPair& pair) {
    NetlinkRequest request(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    request.append(sizeof(ifinfomsg));
    request.attribute(IFLA_IFNAME, pair.name);
    rtattr* link_info = request.begin_nested(IFLA_LINKINFO);
    request.attribute(IFLA_INFO_KIND, std::string("veth"));
    rtattr* info_data = request.begin_nested(IFLA_INFO_DATA);
    rtattr* peer = request.begin_nested(VETH_INFO_PEER);
    request.append(sizeof(ifinfomsg));
    request.attribute(IFLA_IFNAME, pair.peer_name);
    request.end_nested(peer);
    request.end_nested(info_data);
    request.end_nested(link_info);
    std::string problem = request.send("create veth pair " + pair.name + "/" + pair.peer_name);
    if (!problem.empty()) throw std::runtime_error(problem);

    add_address(pair.name, pair.address, pair.prefix_length);
    add_address(pair.peer_name, pair.peer_address, pair.prefix_length);
    for (const std::string& name : {pair.name, pair.peer_name}) {
        problem = set_interface_up(name);
        if (!problem.empty()) throw std::runtime_error(problem);
    }
}

}  // namespace test_support
