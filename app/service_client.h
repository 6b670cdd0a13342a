// The tray as the Ventrix service's client: every question about the policy
// goes over the service's pipe, and the service alone decides. Nothing here
// is trusted by the service; this side only believes a pipe served by the
// service's own process.
#pragma once

#include <windows.h>

#include <deque>

#include "control/policy_access.h"
#include "control/policy_control.h"
#include "service/protocol.h"

namespace ventrix {

// The process of the Ventrix service while the service manager reports it
// running; 0 otherwise (not installed, stopped, or not ours to ask).
DWORD runningServiceProcess();

// What the service manager says of the Ventrix service, whatever its state.
enum class ServiceLookup {
    Unknown,    // no answer: the manager or the service could not be opened or read
    Absent,     // the manager knows no such service
    Disabled,   // an administrator set its start type to disabled, and it is not running
    Installed,  // there, stopped or starting or running
};
// The answers behind a lookup: opened is false when the service could not be
// opened (openError says why); configRead and statusRead say whether its
// start type and its state could be read.
struct ServiceAnswers {
    bool managerOpened = false;
    bool opened = false;
    DWORD openError = 0;
    bool configRead = false;
    DWORD startType = 0;
    bool statusRead = false;
    DWORD state = 0;
};
ServiceLookup classifyService(const ServiceAnswers& answers);
ServiceLookup lookUpService();
// Where the service is installed, the tray is its client and enforces
// nothing of its own, whether the service runs or not; a tray that cannot
// tell is a client too, never a second enforcer.
inline bool trayIsServiceClient(ServiceLookup lookup) {
    return lookup != ServiceLookup::Absent && lookup != ServiceLookup::Disabled;
}

class ServiceClient final : public PolicyAccess {
public:
    ServiceClient() = default;
    ServiceClient(const ServiceClient&) = delete;
    ServiceClient& operator=(const ServiceClient&) = delete;
    ~ServiceClient() override { disconnect(); }

    // Connects when the service runs and its pipe is served by the service's
    // own process, and both speak this protocol.
    bool connect();
    void disconnect();
    bool connected() const { return pipe_ != INVALID_HANDLE_VALUE; }

    // Told when the service's state changes, it goes, or it is back.
    ControlListener* Listener = nullptr;
    // The agent's timer: the service's notices are handled (its boxes shown,
    // one at a time); while the service is away, it is looked for again.
    void tick();

    PolicyStatus status() override;
    void lock() override;
    PasswordAnswer unlock(const TypedPassword& typed, std::uint32_t minutes) override;
    PasswordAnswer checkExit(const TypedPassword& typed) override;
    bool protectionOutlivesExit() override { return true; }
    void releaseForExit() override { disconnect(); }
    PasswordAnswer openConfiguration(const TypedPassword& typed) override;
    void closeConfiguration() override;
    std::vector<DriveRow> drives() override;
    std::vector<MediumRow> media(MediaList list) override;
    void toggleDrive(const std::string& root) override;
    std::vector<PresentMedium> presentMedia() override;
    void setDriveReadOnly(const std::string& root, bool readOnly) override;
    void addMedium(MediaList list, const std::string& root, bool readOnly) override;
    DeleteOutcome deleteMedium(MediaList list, const MediumRow& row) override;
    void apply() override;
    ChangeAnswer changePassword(const TypedPassword& current, const TypedPassword& fresh,
                                const TypedPassword& confirm) override;
    void drivesArrived(std::uint32_t mask) override;
    void policyChanged() override;

private:
    // Sends the request and reads up to its reply (notices on the way are
    // kept for tick()); false, disconnected, when the service did not answer
    // with a reply of the expected kind.
    bool ask(const Request& request, ServerKind expected, ServerMessage& reply);
    PasswordAnswer askPassword(Request request);
    void askDone(const Request& request);
    bool write(const std::vector<std::uint8_t>& bytes);
    bool read(ServerMessage& message, DWORD timeoutMs);
    void readWaiting();
    void handleNotices();
    void notify() {
        if (Listener) Listener->stateChanged();
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::vector<std::uint8_t> buffer_;
    std::deque<ServerMessage> notices_;
    bool showingBox_ = false;
    bool wasConnected_ = false;
    DWORD lastLook_ = 0;
};

}  // namespace ventrix
