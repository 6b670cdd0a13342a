#include "service/service_core.h"

#include <iterator>
#include <utility>

namespace ventrix {
namespace {

// Passwords reach the service as UTF-8, the text its verifiers are made of.
TypedPassword typed(const std::string& utf8) { return {{}, utf8}; }

ServerMessage done() { return {.kind = ServerKind::Done}; }

}  // namespace

std::uint32_t ArrivalFilter::fresh(std::uint32_t mask, std::uint32_t nowMs) {
    std::uint32_t fresh = 0;
    for (int letter = 0; letter < 26; ++letter) {
        const std::uint32_t bit = 1u << letter;
        if ((mask & bit) == 0) continue;
        if ((heard_ & bit) != 0 && nowMs - at_[letter] < WindowMs) continue;
        heard_ |= bit;
        at_[letter] = nowMs;
        fresh |= bit;
    }
    return fresh;
}

bool ServiceCore::connected(ConnectionId connection, std::uint32_t session, std::uint32_t process) {
    sweep();
    std::size_t inAll = 0, inSession = 0, inProcess = 0;
    for (const auto& [id, state] : connections_) {
        ++inAll;
        inSession += state.session == session ? 1 : 0;
        inProcess += process != 0 && state.process == process ? 1 : 0;
    }
    if (inAll >= ConnectionLimits::InAll || inSession >= ConnectionLimits::PerSession ||
        inProcess >= ConnectionLimits::PerProcess)
        return false;
    Connection& state = connections_[connection];
    state = Connection{};
    state.session = session;
    state.process = process;
    state.since = clock_.nowMs();
    return true;
}

std::size_t ServiceCore::connections() const {
    std::size_t live = 0;
    for (const auto& [id, state] : connections_) live += state.dropped ? 0 : 1;
    return live;
}

void ServiceCore::sweep() {
    for (auto it = connections_.begin(); it != connections_.end();)
        it = it->second.dropped ? connections_.erase(it) : std::next(it);
}

void ServiceCore::tick() {
    sweep();
    const std::uint32_t now = clock_.nowMs();
    for (const auto& [connection, state] : connections_)
        if (!state.greeted && now - state.since >= ConnectionLimits::HelloWithinMs) drop(connection);
}

void ServiceCore::drop(ConnectionId connection) {
    const auto found = connections_.find(connection);
    if (found == connections_.end() || found->second.dropped) return;
    found->second.dropped = true;
    found->second.queued.clear();
    link_.close(connection);
}

bool ServiceCore::deliver(ConnectionId connection, std::vector<std::uint8_t> message) {
    const auto found = connections_.find(connection);
    if (found == connections_.end() || found->second.dropped) return false;
    Connection& state = found->second;
    if (!state.writing) {
        state.writing = !link_.send(connection, message);
        return true;
    }
    // A client that reads nothing while this much waits for it is dropped,
    // never waited for.
    if (state.queued.size() >= ConnectionLimits::QueuedMessages ||
        state.queuedBytes + message.size() > ConnectionLimits::QueuedBytes) {
        drop(connection);
        return false;
    }
    state.queuedBytes += message.size();
    state.queued.push_back(std::move(message));
    return true;
}

void ServiceCore::written(ConnectionId connection) {
    const auto found = connections_.find(connection);
    if (found == connections_.end() || found->second.dropped) return;
    Connection& state = found->second;
    state.writing = false;
    while (!state.writing && !state.queued.empty()) {
        const std::vector<std::uint8_t> next = std::move(state.queued.front());
        state.queued.pop_front();
        state.queuedBytes -= next.size();
        state.writing = !link_.send(connection, next);
    }
}

void ServiceCore::answer(ConnectionId connection, const ServerMessage& message) {
    deliver(connection, encodeServerMessage(message));
}

void ServiceCore::received(ConnectionId connection, const std::uint8_t* data, std::size_t size) {
    sweep();
    const auto found = connections_.find(connection);
    if (found == connections_.end() || found->second.dropped) return;
    Request request;
    // Anything that is not a message of the protocol ends that client's
    // connection, and only that one: the service goes on for the others.
    if (size > MaxMessageBytes || !decodeRequest(data, size, request)) return drop(connection);
    Connection& state = found->second;
    if (!state.greeted) {
        if (request.kind != RequestKind::Hello || request.magic != ProtocolMagic) return drop(connection);
        state.greeted = true;
    }
    serve(connection, state, request);
}

void ServiceCore::serve(ConnectionId connection, Connection& state, const Request& request) {
    switch (request.kind) {
    case RequestKind::Hello:
        return answer(connection, {.kind = ServerKind::HelloReply, .version = ProtocolVersion});
    case RequestKind::Status:
        return answer(connection, {.kind = ServerKind::StatusReply, .status = control_.status()});
    case RequestKind::Lock:  // never needs a password
        control_.lock();
        return answer(connection, done());
    case RequestKind::Unlock:
        return answer(connection, {.kind = ServerKind::PasswordReply,
                                   .password = control_.unlock(typed(request.password), request.minutes)});
    case RequestKind::CheckExit:
        return answer(connection,
                      {.kind = ServerKind::PasswordReply, .password = control_.checkExit(typed(request.password))});
    case RequestKind::OpenConfiguration: {
        const PasswordAnswer opened = control_.openConfiguration(typed(request.password));
        state.configuring = opened.outcome == PasswordOutcome::Right;
        return answer(connection, {.kind = ServerKind::PasswordReply, .password = opened});
    }
    case RequestKind::CloseConfiguration:
        state.configuring = false;
        return answer(connection, done());
    case RequestKind::DeviceArrival:
        arrival(request.unitMask);
        return answer(connection, done());
    case RequestKind::PolicyChanged:
        control_.policyChanged();
        return answer(connection, done());
    default:
        // Every other request changes or shows the configuration: only on a
        // connection that opened it with the password.
        if (!state.configuring)
            return answer(connection, {.kind = ServerKind::Refused, .refused = RefusedReason::NotConfiguring});
        return configure(connection, request);
    }
}

void ServiceCore::configure(ConnectionId connection, const Request& request) {
    switch (request.kind) {
    case RequestKind::Drives:
        return answer(connection, {.kind = ServerKind::DrivesReply, .drives = control_.drives()});
    case RequestKind::Media:
        deliver(connection, encodeMediaPage(control_.media(request.list), request.start));
        return;
    case RequestKind::ToggleDrive: control_.toggleDrive(request.root); break;
    case RequestKind::PresentMedia:
        return answer(connection, {.kind = ServerKind::PresentMediaReply, .present = control_.presentMedia()});
    case RequestKind::AddMedium: control_.addMedium(request.list, request.root); break;
    case RequestKind::DeleteMedium:
        return answer(connection,
                      {.kind = ServerKind::DeleteReply, .deleted = control_.deleteMedium(request.list, request.medium)});
    case RequestKind::Apply: control_.apply(); break;
    case RequestKind::ChangePassword:
        return answer(connection, {.kind = ServerKind::ChangeReply,
                                   .change = control_.changePassword(typed(request.password),
                                                                     typed(request.freshPassword),
                                                                     typed(request.confirmPassword))});
    default: break;
    }
    answer(connection, done());
}

void ServiceCore::arrival(std::uint32_t mask) {
    const std::uint32_t fresh = arrivals_.fresh(mask, clock_.nowMs());
    if (fresh == 0) return;
    const BroadcastVolume volume{{sizeof(BroadcastVolume), DbtDevtypVolume, 0}, fresh, 0};
    control_.deviceChanged(DbtDeviceArrival, &volume);
}

bool ServiceCore::showMessage(std::uint32_t session, const std::string& text, const std::string& caption,
                              std::uint32_t type) {
    const std::vector<std::uint8_t> notice =
        encodeServerMessage({.kind = ServerKind::MessageNotice, .text = text, .caption = caption, .boxType = type});
    for (const auto& [connection, state] : connections_) {
        if (!state.greeted || state.session != session) continue;
        if (deliver(connection, notice)) return true;
    }
    return false;
}

void ServiceCore::stopping() {
    const std::vector<std::uint8_t> notice = encodeServerMessage({.kind = ServerKind::StoppingNotice});
    for (const auto& [connection, state] : connections_)
        if (state.greeted) deliver(connection, notice);
}

void ServiceCore::stateChanged() {
    const std::vector<std::uint8_t> notice =
        encodeServerMessage({.kind = ServerKind::StateNotice, .status = control_.status()});
    for (const auto& [connection, state] : connections_)
        if (state.greeted) deliver(connection, notice);
}

}  // namespace ventrix
