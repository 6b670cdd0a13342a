// \\.\pipe\Ventrix on the service's one thread: overlapped instances, each
// connection's reads and writes ending on events the service's loop waits
// on. Nothing here waits on a client: who may connect, how much may wait for
// a client and how long one may stay silent are the core's to decide; this
// only carries bytes between the pipe and the core.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "service/service_core.h"
#include "service/win32/overlapped_io.h"

namespace ventrix {

class PipeServer final : public ClientLink {
public:
    // Handles of the service's wait: one listening instance, and a read and
    // a write for each connection the core keeps.
    static constexpr std::size_t MaxEvents = 1 + 2 * ConnectionLimits::InAll;

    PipeServer() = default;
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;
    ~PipeServer() override { stop(); }

    // Creates the pipe's first instance; false when another process holds
    // the name (its error then in lastError()), and nothing is served until
    // a later start() succeeds.
    bool start(ServiceCore& core);
    void stop();
    DWORD lastError() const { return lastError_; }

    // The events the service's loop waits on.
    std::size_t events(HANDLE* out, std::size_t capacity) const;
    // Takes up every connect, read and write that has ended, each instance
    // once, so that no busy client keeps the others (or the service's
    // window) waiting; one instance always listens for the next client.
    void serve();

    bool send(ConnectionId connection, const std::vector<std::uint8_t>& message) override;
    void close(ConnectionId connection) override;

private:
    struct Instance {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        OverlappedIo reading;  // the connect, then each read
        OverlappedIo writing;
        ConnectionId id = 0;
        bool connected = false;
        bool closing = false;
        bool tellCore = false;  // the core still counts it: it hears of its end
        std::vector<std::uint8_t> buffer;
        std::vector<std::uint8_t> outgoing;  // the message being written
    };

    bool listen();
    void accepted(Instance& instance);
    void readNext(Instance& instance);
    void readEnded(Instance& instance);
    void writeEnded(Instance& instance);
    void discard(Instance* instance, bool tellCore);
    Instance* byId(ConnectionId connection);

    ServiceCore* core_ = nullptr;
    SECURITY_ATTRIBUTES security_{};
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    std::vector<std::unique_ptr<Instance>> instances_;
    ConnectionId nextId_ = 1;
    DWORD lastError_ = 0;
    bool first_ = true;
    bool serving_ = false;
};

}  // namespace ventrix
