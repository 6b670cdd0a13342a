#include "service/win32/pipe_server.h"

#include <sddl.h>

#include <algorithm>

#include "policy/win32/system_library.h"

#ifndef PIPE_REJECT_REMOTE_CLIENTS
#define PIPE_REJECT_REMOTE_CLIENTS 0x00000008
#endif

namespace ventrix {
namespace {

// SYSTEM and Administrators: everything. Interactive users: read and write
// (0x12019b leaves out FILE_CREATE_PIPE_INSTANCE, so no user can serve a
// second instance of the name). Network logons: nothing, before anything else.
constexpr const char* PipeAccess = "D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)";

using ClientProcessId = BOOL(WINAPI*)(HANDLE pipe, PULONG process);
using ClientSessionId = BOOL(WINAPI*)(HANDLE pipe, PULONG session);

// Who is at the other end, as the kernel knows it, never as the client says:
// the process that opened the pipe and its Windows session (where its boxes
// are shown). Process 0 and session 0xFFFFFFFF where Windows cannot tell.
void clientOf(HANDLE pipe, std::uint32_t& session, std::uint32_t& process) {
    const auto clientProcess = entry<ClientProcessId>(GetModuleHandleA("kernel32.dll"), "GetNamedPipeClientProcessId");
    ULONG id = 0;
    DWORD sessionId = 0;
    process = 0;
    session = 0xFFFFFFFF;
    if (clientProcess && clientProcess(pipe, &id)) process = id;
    // The session the pipe recorded when it was opened; a process id that
    // has ended meanwhile could name another session.
    const auto clientSession = entry<ClientSessionId>(GetModuleHandleA("kernel32.dll"), "GetNamedPipeClientSessionId");
    ULONG recorded = 0;
    if (clientSession && clientSession(pipe, &recorded))
        session = recorded;
    else if (process != 0 && ProcessIdToSessionId(id, &sessionId))
        session = sessionId;
}

}  // namespace

bool PipeServer::start(ServiceCore& core) {
    core_ = &core;
    if (!descriptor_ &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(PipeAccess, SDDL_REVISION_1, &descriptor_, nullptr)) {
        lastError_ = GetLastError();
        return false;
    }
    security_ = {sizeof security_, descriptor_, FALSE};
    first_ = true;
    serving_ = listen();
    return serving_;
}

void PipeServer::stop() {
    serving_ = false;
    for (auto& instance : instances_) discard(instance.get(), false);
    instances_.clear();
    if (descriptor_) LocalFree(descriptor_);
    descriptor_ = nullptr;
}

// The first instance claims the name: if another process made the pipe
// first, the service serves nobody rather than share the name with it.
bool PipeServer::listen() {
    const DWORD firstFlag = first_ ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0;
    HANDLE pipe = CreateNamedPipeA(PipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | firstFlag,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                   PIPE_UNLIMITED_INSTANCES, MaxMessageBytes, MaxMessageBytes, 0, &security_);
    if (pipe == INVALID_HANDLE_VALUE) {
        lastError_ = GetLastError();
        return false;
    }
    first_ = false;
    auto instance = std::make_unique<Instance>();
    instance->pipe = pipe;
    instance->reading.connect(pipe);
    // A client that came and went before the connect: the instance is made ready again.
    if (instance->reading.refusal() == ERROR_NO_DATA) {
        DisconnectNamedPipe(pipe);
        instance->reading.connect(pipe);
    }
    if (const DWORD error = instance->reading.refusal()) {
        lastError_ = error;
        instance->reading.cancel();
        CloseHandle(pipe);
        return false;
    }
    instances_.push_back(std::move(instance));
    return true;
}

std::size_t PipeServer::events(HANDLE* out, std::size_t capacity) const {
    std::size_t count = 0;
    for (const auto& instance : instances_) {
        if (instance->closing) continue;
        if (count < capacity) out[count++] = instance->reading.event();
        if (instance->connected && count < capacity) out[count++] = instance->writing.event();
    }
    return count;
}

PipeServer::Instance* PipeServer::byId(ConnectionId connection) {
    for (auto& instance : instances_)
        if (instance->connected && !instance->closing && instance->id == connection) return instance.get();
    return nullptr;
}

// Whom the core does not take is closed at once, before it can send anything.
void PipeServer::accepted(Instance& instance) {
    instance.connected = true;
    instance.id = nextId_++;
    std::uint32_t session = 0, process = 0;
    clientOf(instance.pipe, session, process);
    if (!core_->connected(instance.id, session, process)) return discard(&instance, false);
    instance.buffer.resize(MaxMessageBytes);
    readNext(instance);
}

// A message longer than the protocol allows fails the read with
// ERROR_MORE_DATA: that client's connection ends.
void PipeServer::readNext(Instance& instance) {
    instance.reading.read(instance.pipe, instance.buffer.data(), static_cast<DWORD>(instance.buffer.size()));
}

void PipeServer::readEnded(Instance& instance) {
    DWORD got = 0;
    if (!instance.reading.result(got)) return discard(&instance, true);
    core_->received(instance.id, instance.buffer.data(), got);
    if (!instance.closing) readNext(instance);
}

void PipeServer::writeEnded(Instance& instance) {
    DWORD wrote = 0;
    if (!instance.writing.result(wrote) || wrote != instance.outgoing.size()) return discard(&instance, true);
    instance.outgoing.clear();
    core_->written(instance.id);
}

void PipeServer::serve() {
    if (!serving_) return;
    for (std::size_t i = 0; i < instances_.size(); ++i) {
        Instance& instance = *instances_[i];
        if (instance.closing) continue;
        if (!instance.connected) {
            DWORD ignored = 0;
            if (!instance.reading.ended()) continue;
            if (instance.reading.result(ignored)) accepted(instance);
            else discard(&instance, false);
            continue;
        }
        if (instance.writing.ended()) writeEnded(instance);
        if (!instance.closing && instance.reading.ended()) readEnded(instance);
    }
    // Closed connections go (the core hears of those it still counts); one
    // instance always waits for the next client.
    std::vector<ConnectionId> gone;
    for (auto it = instances_.begin(); it != instances_.end();) {
        if (!(*it)->closing) {
            ++it;
            continue;
        }
        if ((*it)->tellCore) gone.push_back((*it)->id);
        it = instances_.erase(it);
    }
    for (ConnectionId connection : gone) core_->disconnected(connection);
    const bool listening = std::any_of(instances_.begin(), instances_.end(),
                                       [](const auto& instance) { return !instance->connected; });
    if (!listening) listen();
}

// Ends the connection at once: its requests are cancelled and waited for
// before its handle goes; the instance itself goes at the end of serve().
void PipeServer::discard(Instance* instance, bool tellCore) {
    if (!instance || instance->closing) return;
    instance->closing = true;
    instance->tellCore = tellCore && instance->connected;
    instance->reading.cancel();
    instance->writing.cancel();
    if (instance->connected) DisconnectNamedPipe(instance->pipe);
    CloseHandle(instance->pipe);
    instance->pipe = INVALID_HANDLE_VALUE;
}

// Never waits: a write that cannot finish at once stays on its way, and
// serve() tells the core when it has gone.
bool PipeServer::send(ConnectionId connection, const std::vector<std::uint8_t>& message) {
    Instance* instance = byId(connection);
    if (!instance) return true;
    instance->outgoing = message;  // Windows reads it until the write has ended
    instance->writing.write(instance->pipe, instance->outgoing.data(), static_cast<DWORD>(instance->outgoing.size()));
    if (!instance->writing.ended()) return false;
    DWORD wrote = 0;
    if (!instance->writing.result(wrote) || wrote != instance->outgoing.size()) discard(instance, true);
    instance->outgoing.clear();
    return true;
}

void PipeServer::close(ConnectionId connection) { discard(byId(connection), false); }

}  // namespace ventrix
