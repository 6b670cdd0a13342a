// The service's side of the pipe: each client's requests decoded, checked
// and answered, with every decision left to the one PolicyControl of the
// service. A client proves nothing but what it sends: a password for
// whatever weakens protection, or the configuration it opened with one on
// that same connection. A message that does not decode closes its own
// connection only. The Win32 service only carries the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "policy/policy_control.h"
#include "service/protocol.h"

namespace ventrix {

using ConnectionId = std::uint32_t;

// How the core reaches its clients.
class ClientLink {
public:
    virtual ~ClientLink() = default;
    virtual void send(ConnectionId connection, const std::vector<std::uint8_t>& message) = 0;
    // The connection ends; nothing more is received from it.
    virtual void close(ConnectionId connection) = 0;
};

// One medium arriving is reported by several sources (the service's device
// notifications, the system's broadcast, a client, the look at the drive
// letters): the letters heard of within a few seconds count once. A removal
// makes its letter count again at once.
class ArrivalFilter {
public:
    static constexpr std::uint32_t WindowMs = 3000;
    // The letters of `mask` not already heard of within the window.
    std::uint32_t fresh(std::uint32_t mask, std::uint32_t nowMs);
    void removed(std::uint32_t mask) { heard_ &= ~mask; }

private:
    std::uint32_t heard_ = 0;
    std::uint32_t at_[26] = {};
};

class ServiceCore final : public ControlListener {
public:
    ServiceCore(PolicyControl& control, ClientLink& link, Clock& clock) : control_(control), link_(link), clock_(clock) {}

    // A client connected from the given session (Windows' session id).
    void connected(ConnectionId connection, std::uint32_t session);
    void received(ConnectionId connection, const std::uint8_t* data, std::size_t size);
    void disconnected(ConnectionId connection) { connections_.erase(connection); }
    std::size_t connections() const { return connections_.size(); }

    void arrival(std::uint32_t mask);
    void removal(std::uint32_t mask) { arrivals_.removed(mask); }

    // A box the enforcement shows, pushed to the client of that session;
    // false when none is connected there to show it.
    bool showMessage(std::uint32_t session, const std::string& text, const std::string& caption, std::uint32_t type);
    // The service is stopping: every client hears it before its pipe breaks.
    void stopping();
    // Every client follows the protection, the timed unlock and the policy.
    void stateChanged() override;

private:
    struct Connection {
        std::uint32_t session = 0;
        bool greeted = false;      // said hello with the protocol's magic
        bool configuring = false;  // opened the configuration with the password
    };

    void drop(ConnectionId connection);
    void answer(ConnectionId connection, const ServerMessage& message);
    void serve(ConnectionId connection, Connection& state, const Request& request);
    void configure(ConnectionId connection, const Request& request);

    PolicyControl& control_;
    ClientLink& link_;
    Clock& clock_;
    ArrivalFilter arrivals_;
    std::map<ConnectionId, Connection> connections_;
};

}  // namespace ventrix
