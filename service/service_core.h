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
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "control/policy_control.h"
#include "service/protocol.h"
#include "volume/volume_ops.h"

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

// What the service last found at each drive letter. Every source of an
// arrival (the device notifications, the system's broadcast, the look at the
// letters, a client) only asks the service to look: it acts on what it finds
// there itself, and only on a volume that is new at that letter.
struct LetterSeen {
    bool present = false;    // a drive answers at the letter (not a network one)
    bool hasVolume = false;  // a volume answered with its identity
    std::string label{};
    std::uint32_t serial = 0;
    std::uint32_t type = 0;  // the drive's type as last asked

    bool sameVolume(const LetterSeen& other) const {
        return hasVolume == other.hasVolume && (!hasVolume || (serial == other.serial && label == other.label));
    }
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
    ServiceCore(PolicyControl& control, VolumeOps& volumes, ClientLink& link, Clock& clock)
        : control_(control), volumes_(volumes), link_(link), clock_(clock) {}

    // What a client's PolicyChanged asks for: another reading of the
    // machine's policy, made where a wait on Group Policy holds up nothing
    // (the service's reading thread). Never read here: the service's one
    // thread would wait on Group Policy's section. Unset: the request is answered only.
    std::function<void()> RefreshPolicy;

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

    // The service's own sources: the system says something changed at these
    // letters; each is looked at now.
    void arrival(std::uint32_t mask) { look(mask); }
    void removal(std::uint32_t mask) { look(mask); }
    // What is there at start, once enforced: a letter there all along is no arrival.
    void takeStock(std::uint32_t presentLetters);
    // Once a second, the letters the system lists: a letter that came or went
    // is looked at, and so is every letter a client reported since.
    void lookAt(std::uint32_t presentLetters);
    // The letters a client reported, waiting for the next look.
    std::uint32_t reported() const { return reported_; }

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

    void look(std::uint32_t mask);
    LetterSeen examine(int letter);
    bool arrived(const LetterSeen& before, const LetterSeen& now) const;

    PolicyControl& control_;
    VolumeOps& volumes_;
    ClientLink& link_;
    Clock& clock_;
    LetterSeen seen_[26];
    std::uint32_t listed_ = 0;    // the letters the system listed at the last look
    std::uint32_t reported_ = 0;  // reported by clients since the last look
    std::map<ConnectionId, Connection> connections_;
};

}  // namespace ventrix
