#include "app/service_client.h"

#include <cstdint>
#include <vector>

#include "app/app_context.h"
#include "policy/win32/system_library.h"
#include "service/win32/overlapped_io.h"

namespace ventrix {
namespace {

// A reply may wait on a password check at up to the most iterations a
// verifier may ask for; anything slower is a service that is gone.
constexpr DWORD ReplyTimeoutMs = 60000;
constexpr DWORD ConnectWaitMs = 2000;
constexpr DWORD LookAgainMs = 2000;

using ServerProcessId = BOOL(WINAPI*)(HANDLE pipe, PULONG process);

PolicyStatus away() {
    PolicyStatus status;
    status.connected = false;
    return status;
}

}  // namespace

DWORD runningServiceProcess() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 0;
    DWORD process = 0;
    if (SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                 &needed) &&
            status.dwCurrentState == SERVICE_RUNNING)
            process = status.dwProcessId;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return process;
}

ServiceLookup classifyService(const ServiceAnswers& answers) {
    if (!answers.managerOpened) return ServiceLookup::Unknown;
    if (!answers.opened)
        return answers.openError == ERROR_SERVICE_DOES_NOT_EXIST ? ServiceLookup::Absent : ServiceLookup::Unknown;
    if (!answers.configRead) return ServiceLookup::Unknown;
    // Disabled but still running (stopped later by the administrator): it serves until then.
    if (answers.startType == SERVICE_DISABLED && answers.statusRead && answers.state == SERVICE_STOPPED)
        return ServiceLookup::Disabled;
    return ServiceLookup::Installed;
}

// Interactive users may connect to the manager and query a service's
// configuration and status under the default access lists.
ServiceLookup lookUpService() {
    ServiceAnswers answers;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    answers.managerOpened = manager != nullptr;
    if (!manager) return classifyService(answers);
    if (SC_HANDLE service = OpenServiceA(manager, ServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)) {
        answers.opened = true;
        DWORD needed = 0;
        QueryServiceConfigA(service, nullptr, 0, &needed);
        if (needed >= sizeof(QUERY_SERVICE_CONFIGA) && needed <= 64 * 1024) {
            std::vector<std::uint8_t> buffer(needed);
            auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
            if (QueryServiceConfigA(service, config, needed, &needed)) {
                answers.configRead = true;
                answers.startType = config->dwStartType;
            }
        }
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service, &status)) {
            answers.statusRead = true;
            answers.state = status.dwCurrentState;
        }
        CloseServiceHandle(service);
    } else {
        answers.openError = GetLastError();
    }
    CloseServiceHandle(manager);
    return classifyService(answers);
}

bool ServiceClient::connect() {
    disconnect();
    const DWORD service = runningServiceProcess();
    if (service == 0) return false;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
        // Identification only: the service learns who asks, and can act as nobody.
        pipe = CreateFileA(PipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(PipeName, ConnectWaitMs)))
            return false;
    }
    // A program that took the pipe's name before the service did gets no password.
    const auto serverProcess = entry<ServerProcessId>(GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId");
    ULONG server = 0;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!serverProcess || !serverProcess(pipe, &server) || server != service ||
        !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        CloseHandle(pipe);
        return false;
    }
    pipe_ = pipe;
    ServerMessage hello;
    if (!ask(Request{.kind = RequestKind::Hello, .version = ProtocolVersion}, ServerKind::HelloReply, hello) ||
        hello.version != ProtocolVersion) {
        disconnect();
        return false;
    }
    wasConnected_ = true;
    return true;
}

void ServiceClient::disconnect() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
    notices_.clear();
}

// Each request's OVERLAPPED lives here only as long as the request: one
// that did not end in time is cancelled and waited for as `io` goes.
bool ServiceClient::write(const std::vector<std::uint8_t>& bytes) {
    OverlappedIo io;
    io.write(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()));
    DWORD written = 0;
    return io.wait(ReplyTimeoutMs) && io.result(written) && written == bytes.size();
}

// One whole message: a longer one than any the protocol has, or one that
// does not decode, ends the connection.
bool ServiceClient::read(ServerMessage& message, DWORD timeoutMs) {
    buffer_.resize(MaxMessageBytes);
    OverlappedIo io;
    io.read(pipe_, buffer_.data(), static_cast<DWORD>(buffer_.size()));
    DWORD got = 0;
    return io.wait(timeoutMs) && io.result(got) && decodeServerMessage(buffer_.data(), got, message);
}

bool ServiceClient::ask(const Request& request, ServerKind expected, ServerMessage& reply) {
    if (!connected()) return false;
    if (!write(encodeRequest(request))) {
        disconnect();
        return false;
    }
    for (;;) {
        ServerMessage message;
        if (!read(message, ReplyTimeoutMs)) break;
        if (isNotice(message.kind)) {
            notices_.push_back(std::move(message));
            continue;
        }
        if (message.kind != expected) break;
        reply = std::move(message);
        return true;
    }
    disconnect();
    return false;
}

PasswordAnswer ServiceClient::askPassword(Request request) {
    ServerMessage reply;
    if (!ask(request, ServerKind::PasswordReply, reply)) return {PasswordOutcome::NoAnswer, 0};
    return reply.password;
}

void ServiceClient::askDone(const Request& request) {
    ServerMessage reply;
    ask(request, ServerKind::Done, reply);
}

void ServiceClient::readWaiting() {
    DWORD waiting = 0;
    while (connected()) {
        if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &waiting, nullptr)) return disconnect();
        if (waiting == 0) return;
        ServerMessage message;
        if (!read(message, ReplyTimeoutMs) || !isNotice(message.kind)) return disconnect();
        notices_.push_back(std::move(message));
    }
}

// State changes are taken up at once; the service's boxes one at a time, as
// the per-user program shows its own, the next once the one before is closed.
void ServiceClient::handleNotices() {
    for (std::size_t i = 0; i < notices_.size();) {
        if (notices_[i].kind == ServerKind::MessageNotice && showingBox_) {
            ++i;
            continue;
        }
        const ServerMessage notice = std::move(notices_[i]);
        notices_.erase(notices_.begin() + static_cast<std::ptrdiff_t>(i));
        if (notice.kind == ServerKind::MessageNotice) {
            showingBox_ = true;
            app().showMessage(nullptr, notice.text.c_str(), notice.caption.c_str(), notice.boxType);
            showingBox_ = false;
        } else if (notice.kind == ServerKind::StoppingNotice) {
            disconnect();
        } else {
            notify();
        }
        i = 0;  // a box's own loop may have taken some already
    }
}

void ServiceClient::tick() {
    if (connected()) {
        readWaiting();
        handleNotices();
    }
    if (connected()) return;
    const DWORD now = GetTickCount();
    if (wasConnected_) {
        wasConnected_ = false;
        lastLook_ = now;
        notify();  // the service is gone: the tray says so
    } else if (now - lastLook_ >= LookAgainMs) {
        lastLook_ = now;
        if (connect()) notify();
    }
}

PolicyStatus ServiceClient::status() {
    ServerMessage reply;
    if (!ask(Request{.kind = RequestKind::Status}, ServerKind::StatusReply, reply)) return away();
    reply.status.connected = true;
    return reply.status;
}

void ServiceClient::lock() { askDone(Request{.kind = RequestKind::Lock}); }

PasswordAnswer ServiceClient::unlock(const TypedPassword& typed, std::uint32_t minutes) {
    return askPassword(Request{.kind = RequestKind::Unlock, .password = typed.utf8, .minutes = minutes});
}

PasswordAnswer ServiceClient::checkExit(const TypedPassword& typed) {
    return askPassword(Request{.kind = RequestKind::CheckExit, .password = typed.utf8});
}

PasswordAnswer ServiceClient::openConfiguration(const TypedPassword& typed) {
    return askPassword(Request{.kind = RequestKind::OpenConfiguration, .password = typed.utf8});
}

void ServiceClient::closeConfiguration() { askDone(Request{.kind = RequestKind::CloseConfiguration}); }

std::vector<DriveRow> ServiceClient::drives() {
    ServerMessage reply;
    return ask(Request{.kind = RequestKind::Drives}, ServerKind::DrivesReply, reply) ? reply.drives
                                                                                     : std::vector<DriveRow>{};
}

// A long list comes in pages, each as much as one message holds.
std::vector<MediumRow> ServiceClient::media(MediaList list) {
    std::vector<MediumRow> rows;
    for (;;) {
        ServerMessage page;
        const auto start = static_cast<std::uint32_t>(rows.size());
        if (!ask(Request{.kind = RequestKind::Media, .start = start, .list = list}, ServerKind::MediaReply, page) ||
            page.start != start)
            return {};
        rows.insert(rows.end(), page.media.begin(), page.media.end());
        if (rows.size() >= page.total || page.media.empty()) return rows;
    }
}

void ServiceClient::toggleDrive(const std::string& root) {
    askDone(Request{.kind = RequestKind::ToggleDrive, .root = root});
}

std::vector<PresentMedium> ServiceClient::presentMedia() {
    ServerMessage reply;
    return ask(Request{.kind = RequestKind::PresentMedia}, ServerKind::PresentMediaReply, reply)
               ? reply.present
               : std::vector<PresentMedium>{};
}

void ServiceClient::setDriveReadOnly(const std::string& root, bool readOnly) {
    askDone(Request{.kind = RequestKind::SetDriveReadOnly, .root = root, .readOnly = readOnly});
}

void ServiceClient::addMedium(MediaList list, const std::string& root, bool readOnly) {
    askDone(Request{.kind = RequestKind::AddMedium, .list = list, .root = root, .readOnly = readOnly});
}

DeleteOutcome ServiceClient::deleteMedium(MediaList list, const MediumRow& row) {
    ServerMessage reply;
    return ask(Request{.kind = RequestKind::DeleteMedium, .list = list, .medium = row}, ServerKind::DeleteReply, reply)
               ? reply.deleted
               : DeleteOutcome::NotFound;
}

void ServiceClient::apply() { askDone(Request{.kind = RequestKind::Apply}); }

ChangeAnswer ServiceClient::changePassword(const TypedPassword& current, const TypedPassword& fresh,
                                           const TypedPassword& confirm) {
    ServerMessage reply;
    const Request request{.kind = RequestKind::ChangePassword,
                          .password = current.utf8,
                          .freshPassword = fresh.utf8,
                          .confirmPassword = confirm.utf8};
    return ask(request, ServerKind::ChangeReply, reply) ? reply.change : ChangeAnswer{ChangeOutcome::NoAnswer, 0};
}

// The agent window hears the system's volume broadcast; the service is told,
// in case it did not hear it itself.
void ServiceClient::drivesArrived(std::uint32_t mask) {
    if ((mask & ((1u << 26) - 1)) != 0)
        askDone(Request{.kind = RequestKind::DeviceArrival, .unitMask = mask & ((1u << 26) - 1)});
}

void ServiceClient::policyChanged() { askDone(Request{.kind = RequestKind::PolicyChanged}); }

}  // namespace ventrix
