#include "service/service_core.h"

#include <iterator>
#include <utility>

namespace ventrix {
namespace {

// Passwords reach the service as UTF-8, the text its verifiers are made of.
TypedPassword typed(const std::string& utf8) { return {{}, utf8}; }

ServerMessage done() { return {.kind = ServerKind::Done}; }

constexpr int Letters = 26;
constexpr std::uint32_t AllLetters = (1u << Letters) - 1;
// A letter whose volume changes again while it is handled is looked at
// again, this many times at the most in one go.
constexpr int MostRoundsPerLook = 3;

// Drives whose medium can change while the letter stays.
bool holdsExchangeableMedia(std::uint32_t type) { return type == DriveRemovable || type == DriveCdrom; }


}  // namespace

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
        // Another version is told so, and may say Hello again in this one.
        if (request.version != ProtocolVersion)
            return answer(connection, {.kind = ServerKind::Refused, .refused = RefusedReason::BadVersion});
        state.greeted = true;
    }
    serve(connection, state, request);
}

void ServiceCore::serve(ConnectionId connection, Connection& state, const Request& request) {
    switch (request.kind) {
    case RequestKind::Hello:
        if (request.version != ProtocolVersion)
            return answer(connection, {.kind = ServerKind::Refused, .refused = RefusedReason::BadVersion});
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
        // Only a request to look, at the next look: a client decides nothing
        // and, however often it asks, costs one look a letter a second.
        reported_ |= request.unitMask & AllLetters;
        return answer(connection, done());
    case RequestKind::PolicyChanged:
        if (RefreshPolicy) RefreshPolicy();
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
    case RequestKind::AddMedium: control_.addMedium(request.list, request.root, request.readOnly); break;
    case RequestKind::SetDriveReadOnly: control_.setDriveReadOnly(request.root, request.readOnly); break;
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

LetterSeen ServiceCore::examine(int letter) {
    LetterSeen now;
    const std::string root{static_cast<char>('A' + letter), ':', '\\'};
    now.type = volumes_.platform().getDriveType(root.c_str());
    now.present = now.type != DriveUnknown && now.type != DriveNoRootDir && now.type != DriveRemote;
    // Read without a dismount: looking never disturbs a drive in use.
    if (now.present) now.hasVolume = volumes_.peekVolumeIdentity(root, now.label, now.serial);
    return now;
}

// A drive new at the letter, whatever its type (USB disks say they are
// fixed); or, in a drive of exchangeable media, a volume other than the one
// last found there. A letter there all along, unchanged, is no arrival.
bool ServiceCore::arrived(const LetterSeen& before, const LetterSeen& now) const {
    if (!now.present) return false;
    if (!before.present) return true;
    return holdsExchangeableMedia(now.type) && now.hasVolume && !now.sameVolume(before);
}

// The volume found is recorded only once it was handled. What is there
// afterwards decides what the next report means: a medium ejected is
// recorded as gone, so the same stick put back in is an arrival again.
void ServiceCore::look(std::uint32_t mask) {
    for (int letter = 0; letter < Letters; ++letter) {
        if ((mask >> letter & 1u) == 0) continue;
        LetterSeen now = examine(letter);
        for (int round = 0; round < MostRoundsPerLook && arrived(seen_[letter], now); ++round) {
            control_.drivesArrived(1u << letter);
            LetterSeen after = examine(letter);
            if (after.sameVolume(now))
                seen_[letter] = now;
            else
                seen_[letter] = LetterSeen{.present = true, .type = now.type};
            now = std::move(after);
        }
        if (!arrived(seen_[letter], now)) seen_[letter] = std::move(now);
    }
}

void ServiceCore::takeStock(std::uint32_t presentLetters) {
    listed_ = presentLetters & AllLetters;
    for (int letter = 0; letter < Letters; ++letter)
        seen_[letter] = (listed_ >> letter & 1u) != 0 ? examine(letter) : LetterSeen{};
}

void ServiceCore::lookAt(std::uint32_t presentLetters) {
    presentLetters &= AllLetters;
    // A letter listed but not yet seen as a drive (still mounting) is looked
    // at again until it is.
    std::uint32_t unsettled = 0;
    for (int letter = 0; letter < Letters; ++letter)
        if (!seen_[letter].present) unsettled |= 1u << letter;
    const std::uint32_t changed = (presentLetters ^ listed_) | reported_ | (presentLetters & listed_ & unsettled);
    listed_ = presentLetters;
    reported_ = 0;
    if (changed) look(changed);
}

bool ServiceCore::showMessage(std::uint32_t session, const std::string& text, const std::string& caption,
                              std::uint32_t type) {
    const std::vector<std::uint8_t> notice =
        encodeServerMessage({.kind = ServerKind::MessageNotice, .text = text, .caption = caption, .boxType = type});
    // Every client of that session hears it: a program that connected before
    // the tray cannot take the box away from it.
    bool delivered = false;
    for (const auto& [connection, state] : connections_)
        if (state.greeted && state.session == session) delivered = deliver(connection, notice) || delivered;
    return delivered;
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
