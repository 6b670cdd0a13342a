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
// A client that reads nothing for this long is dropped, not waited for.
constexpr DWORD WriteTimeoutMs = 5000;

using ClientProcessId = BOOL(WINAPI*)(HANDLE pipe, PULONG process);

// The Windows session the client runs in: its boxes are shown there.
DWORD clientSession(HANDLE pipe) {
    const auto clientProcess = entry<ClientProcessId>(GetModuleHandleA("kernel32.dll"), "GetNamedPipeClientProcessId");
    ULONG process = 0;
    DWORD session = 0;
    if (!clientProcess || !clientProcess(pipe, &process) || !ProcessIdToSessionId(process, &session)) return 0xFFFFFFFF;
    return session;
}

}  // namespace

bool PipeServer::start(ServiceCore& core) {
    core_ = &core;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(PipeAccess, SDDL_REVISION_1, &descriptor_, nullptr)) {
        lastError_ = GetLastError();
        return false;
    }
    security_ = {sizeof security_, descriptor_, FALSE};
    first_ = true;
    return listen();
}

void PipeServer::stop() {
    for (auto& instance : instances_) {
        CancelIo(instance->pipe);
        if (instance->connected) DisconnectNamedPipe(instance->pipe);
        CloseHandle(instance->pipe);
        CloseHandle(instance->event);
    }
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
    instance->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    instance->overlapped.hEvent = instance->event;
    if (!ConnectNamedPipe(pipe, &instance->overlapped)) {
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_CONNECTED) SetEvent(instance->event);
        else if (error != ERROR_IO_PENDING) {
            CloseHandle(pipe);
            CloseHandle(instance->event);
            return false;
        }
    }
    instances_.push_back(std::move(instance));
    return true;
}

std::size_t PipeServer::events(HANDLE* out, std::size_t capacity) const {
    std::size_t count = 0;
    for (const auto& instance : instances_)
        if (count < capacity) out[count++] = instance->event;
    return count;
}

PipeServer::Instance* PipeServer::byId(ConnectionId connection) {
    for (auto& instance : instances_)
        if (instance->connected && !instance->closing && instance->id == connection) return instance.get();
    return nullptr;
}

void PipeServer::accepted(Instance& instance) {
    instance.connected = true;
    instance.id = nextId_++;
    instance.buffer.resize(MaxMessageBytes);
    core_->connected(instance.id, clientSession(instance.pipe));
    readNext(instance);
}

// A message longer than the protocol allows fails the read with
// ERROR_MORE_DATA: that client's connection ends.
void PipeServer::readNext(Instance& instance) {
    ResetEvent(instance.event);
    instance.overlapped = {};
    instance.overlapped.hEvent = instance.event;
    if (!ReadFile(instance.pipe, instance.buffer.data(), static_cast<DWORD>(instance.buffer.size()), nullptr,
                  &instance.overlapped) &&
        GetLastError() != ERROR_IO_PENDING)
        SetEvent(instance.event);  // the result is taken, failure and all, on the loop's next turn
}

void PipeServer::completed(Instance& instance) {
    DWORD got = 0;
    if (!GetOverlappedResult(instance.pipe, &instance.overlapped, &got, FALSE)) {
        discard(&instance, true);
        return;
    }
    core_->received(instance.id, instance.buffer.data(), got);
    if (!instance.closing) readNext(instance);
}

void PipeServer::signalled(HANDLE event) {
    const auto found = std::find_if(instances_.begin(), instances_.end(),
                                    [&](const auto& instance) { return instance->event == event; });
    if (found == instances_.end()) return;
    Instance& instance = **found;
    if (instance.closing) {
        // swept below
    } else if (instance.connected) {
        completed(instance);
    } else {
        DWORD ignored = 0;
        if (GetOverlappedResult(instance.pipe, &instance.overlapped, &ignored, FALSE) ||
            GetLastError() == ERROR_PIPE_CONNECTED)
            accepted(instance);
        else
            discard(&instance, false);
    }
    // Closed connections go; one instance always waits for the next client.
    std::vector<ConnectionId> gone;
    for (auto it = instances_.begin(); it != instances_.end();) {
        if (!(*it)->closing) {
            ++it;
            continue;
        }
        if ((*it)->id != 0 && (*it)->connected) gone.push_back((*it)->id);
        CloseHandle((*it)->pipe);
        CloseHandle((*it)->event);
        it = instances_.erase(it);
    }
    for (ConnectionId connection : gone) core_->disconnected(connection);
    const bool listening = std::any_of(instances_.begin(), instances_.end(),
                                       [](const auto& instance) { return !instance->connected; });
    if (!listening && instances_.size() <= MaxConnections) listen();
}

void PipeServer::discard(Instance* instance, bool tellCore) {
    if (!instance || instance->closing) return;
    instance->closing = true;
    if (!tellCore) instance->id = 0;
    CancelIo(instance->pipe);
    if (instance->connected) DisconnectNamedPipe(instance->pipe);
    SetEvent(instance->event);  // so the loop's next turn sweeps it away
}

void PipeServer::send(ConnectionId connection, const std::vector<std::uint8_t>& message) {
    Instance* instance = byId(connection);
    if (!instance) return;
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0;
    bool ok = WriteFile(instance->pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &overlapped) ||
              GetLastError() == ERROR_IO_PENDING;
    if (ok && WaitForSingleObject(overlapped.hEvent, WriteTimeoutMs) != WAIT_OBJECT_0) {
        CancelIo(instance->pipe);
        ok = false;
    }
    ok = ok && GetOverlappedResult(instance->pipe, &overlapped, &written, FALSE) && written == message.size();
    CloseHandle(overlapped.hEvent);
    if (!ok) discard(instance, true);
}

void PipeServer::close(ConnectionId connection) { discard(byId(connection), false); }

}  // namespace ventrix
