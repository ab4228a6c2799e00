// A volume backing store that lives on an upstream NBD export, reached with
// libnbd: the "network disk" behind a simulated volume.
#pragma once

#include <SimVolume.h>

#include <memory>
#include <string>

namespace nbdcache {

struct UpstreamOptions {
    // An NBD URI (nbd://host:port, nbd+unix:///?socket=PATH) or the path of a
    // unix socket.
    std::string Address;
    // Number of connections kept open. Every read, write and flush takes one
    // of them for its duration, so this many commands may be in flight.
    unsigned Connections = 4;
};

// Connects every connection of the pool. Returns null, with the reason in
// Error, when any connection fails or the connections disagree on the size.
std::unique_ptr<sim::SimBacking> ConnectUpstream(const UpstreamOptions &Options, std::string *Error);

// True when the export refuses writes (every connection was opened read-only).
bool UpstreamIsReadOnly(sim::SimBacking &Backing);

}  // namespace nbdcache
