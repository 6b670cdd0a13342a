// The service's side of the pipe: each client's requests decoded, checked
// and answered, with every decision left to the one PolicyControl of the
// service. A client proves nothing but what it sends: a password for
// whatever weakens protection, or the configuration it opened with one on
// that same connection. A message that does not decode closes its own
// connection only. The Win32 service only carries the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "policy/policy_control.h"
#include "service/protocol.h"

namespace ventrix {

using ConnectionId = std::uint32_t;

// How the core reaches its clients. One message per connection is on its way
// at a time; the core queues the rest, so no client that reads nothing ever
// makes the service wait.
class ClientLink {
public:
    virtual ~ClientLink() = default;
    // True when the message is out of the service's hands at once (or the
    // connection is failing anyway); false while it is still being written:
    // the link then calls ServiceCore::written() once it is.
    virtual bool send(ConnectionId connection, const std::vector<std::uint8_t>& message) = 0;
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

// What one client may hold, so that nothing on the pipe holds the service
// up. Every Windows session has room of its own: one user's programs never
// take the place of another session's tray (the administrator's among them).
// A tray needs one connection, two for a moment while it reconnects or a
// second tray finds the first; the total keeps every connection's two events
// and the service's own within the one wait of the service's thread (at most
// 63 handles).
struct ConnectionLimits {
    static constexpr std::size_t PerProcess = 2;
    static constexpr std::size_t PerSession = 4;
    static constexpr std::size_t InAll = 24;
    static constexpr std::uint32_t HelloWithinMs = 5000;
    // Messages waiting behind the one being written: far more than a tray
    // that reads leaves waiting (the pipe's own buffer takes 64 KiB first).
    static constexpr std::size_t QueuedMessages = 32;
    static constexpr std::size_t QueuedBytes = 256 * 1024;
};

class ServiceCore final : public ControlListener {
public:
    ServiceCore(PolicyControl& control, ClientLink& link, Clock& clock) : control_(control), link_(link), clock_(clock) {}

    // A client connected from the given session and process (as Windows
    // reports them for the pipe; process 0: not known). False when it would
    // pass a limit: it is then not kept, and the link closes it at once.
    bool connected(ConnectionId connection, std::uint32_t session, std::uint32_t process = 0);
    void received(ConnectionId connection, const std::uint8_t* data, std::size_t size);
    // The message the link was writing has gone: the next one queued follows.
    void written(ConnectionId connection);
    void disconnected(ConnectionId connection) { connections_.erase(connection); }
    std::size_t connections() const;
    // At every turn of the service's wait: a client that has not said Hello
    // within the limit is dropped.
    void tick();

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
        std::uint32_t process = 0;
        std::uint32_t since = 0;   // when it connected
        bool greeted = false;      // said hello with the protocol's magic
        bool configuring = false;  // opened the configuration with the password
        bool writing = false;      // the link is writing a message to it
        bool dropped = false;      // closed; forgotten at the next sweep
        std::deque<std::vector<std::uint8_t>> queued;
        std::size_t queuedBytes = 0;
    };

    // Dropped connections are marked while anything may still hold them
    // (a pass that tells every client, a request being served), and
    // forgotten only at the start of a call from the link.
    void sweep();
    void drop(ConnectionId connection);
    // False when the connection is gone, or dropped now for a full queue.
    bool deliver(ConnectionId connection, std::vector<std::uint8_t> message);
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
