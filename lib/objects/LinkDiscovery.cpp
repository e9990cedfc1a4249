// Connecting by discovery: find the module with the search of its transport, then connect to
// what the search reported. USB and the networked link stand in for each other once.
#include "LinkImpl.h"
#include "discover.h"
#include "qDebugging.h"

namespace Tolveric::Lumenvane {

namespace {

// What an enumeration without a serial number looks for, and what it found.
struct ModelSearch {
    linkSpec spec;
    bool found;
};

// Goes on past modules of another model (when one is wanted); takes the first that fits.
bool cbModelCallback(const linkSpec* spec, bool* found, void* reference) {
    ModelSearch* search = static_cast<ModelSearch*>(reference);
    if (search->spec.model != 0 && spec->model != search->spec.model) return true;
    search->spec = *spec;
    search->found = true;
    if (found != nullptr) *found = true;
    return false;
}

bool find_module(linkType type, uint32_t serialNumber, uint8_t model, uint32_t networkInterface, linkSpec* out) {
    if (serialNumber != 0) {
        linkSpec* spec = qDiscovery_FindModule(type, serialNumber, networkInterface);
        if (spec == nullptr) return false;
        *out = *spec;
        qLinkSpec_Destroy(&spec);
        return true;
    }
    ModelSearch search{};
    search.spec.type = type;
    search.spec.model = model;
    qDiscovery_EnumerateModules(type, cbModelCallback, &search, networkInterface);
    if (search.found) *out = search.spec;
    return search.found;
}

bool worth_falling_back(qErr result) {
    return result == qErrNotFound || result == qErrInitialization || result == qErrConnection;
}

qErr discover_and_connect_once(Link& link, const qEtherConfig& config, linkType type, uint32_t serialNumber,
                               uint8_t model) {
    linkSpec found{};
    if (!find_module(type, serialNumber, model, config.networkInterface, &found)) return qErrNotFound;
    qErr result = link.setLinkSpecifier(found);
    if (result != qErrNone) return result;
    return link.connect();
}

}  // namespace

qErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    qErr result = discover_and_connect_once(*this, pimpl->config, type, serialNumber, model);
    bool switchable = type == linkTypeUSB || type == linkTypeQEther;
    if (!worth_falling_back(result) || !switchable || !pimpl->config.fallback) return result;
    // _fallbackHelper: one more try over the other of the two.
    linkType other = type == linkTypeUSB ? linkTypeQEther : linkTypeUSB;
    qDebugging_Trace(qDEBUG_LINK, "Executing Fallback: %s", type == linkTypeQEther ? "USB" : "qEther");
    return discover_and_connect_once(*this, pimpl->config, other, serialNumber, model);
}

}  // namespace Tolveric::Lumenvane
