// \\.\pipe\Ventrix on the service's one thread: overlapped instances, each
// connection's reads completing on an event the service's loop waits on. It
// only carries bytes between the pipe and the core.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "service/service_core.h"

namespace ventrix {

class PipeServer final : public ClientLink {
public:
    // More clients than sessions anyone has: the rest wait at the pipe.
    static constexpr std::size_t MaxConnections = 16;

    PipeServer() = default;
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;
    ~PipeServer() override { stop(); }

    // Creates the pipe's first instance; false when another process holds
    // the name (its error then in lastError()), and nothing is served.
    bool start(ServiceCore& core);
    void stop();
    DWORD lastError() const { return lastError_; }

    // The events the service's loop waits on, and what it does when one is set.
    std::size_t events(HANDLE* out, std::size_t capacity) const;
    void signalled(HANDLE event);

    // Never calls back into the core: a client that cannot be written to is
    // dropped on the loop's next turn.
    void send(ConnectionId connection, const std::vector<std::uint8_t>& message) override;
    void close(ConnectionId connection) override;

private:
    struct Instance {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        HANDLE event = nullptr;
        OVERLAPPED overlapped{};
        ConnectionId id = 0;
        bool connected = false;
        bool closing = false;
        std::vector<std::uint8_t> buffer;
    };

    bool listen();
    void accepted(Instance& instance);
    void readNext(Instance& instance);
    void completed(Instance& instance);
    void discard(Instance* instance, bool tellCore);
    Instance* byId(ConnectionId connection);

    ServiceCore* core_ = nullptr;
    SECURITY_ATTRIBUTES security_{};
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    std::vector<std::unique_ptr<Instance>> instances_;
    ConnectionId nextId_ = 1;
    DWORD lastError_ = 0;
    bool first_ = true;
};

}  // namespace ventrix
