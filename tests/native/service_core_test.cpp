// The service's request handling against fakes: what a client may ask with
// and without the password, on its own connection, and what several
// connections and several reports of one arrival add up to.
#include "service/service_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "control/policy_control.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_system.h"

namespace ventrix {
namespace {

using Bytes = std::vector<std::uint8_t>;

using testing::FakeClock;
using testing::NoTimer;

// A stand-in derivation, fast enough to check hundreds of passwords: the
// verifiers it makes open only with the same password and salt.
class QuickKeys final : public KeyDeriver {
public:
    bool pbkdf2Sha256(const std::uint8_t* password, std::size_t passwordSize, const std::uint8_t* salt,
                      std::size_t saltSize, std::uint32_t, std::uint8_t* out, std::size_t outSize) override {
        std::uint32_t hash = 2166136261u;
        for (std::size_t i = 0; i < passwordSize; ++i) hash = (hash ^ password[i]) * 16777619u;
        for (std::size_t i = 0; i < saltSize; ++i) hash = (hash ^ salt[i]) * 16777619u;
        for (std::size_t i = 0; i < outSize; ++i) out[i] = static_cast<std::uint8_t>(hash >> (i % 4 * 8));
        return true;
    }
};

bool countingSalt(std::uint8_t* out, std::size_t size) {
    static std::uint8_t next = 0;
    std::fill(out, out + size, ++next);
    return true;
}

class RecordingLink final : public ClientLink {
public:
    std::map<ConnectionId, std::vector<Bytes>> sent;
    std::set<ConnectionId> closed;
    std::set<ConnectionId> deaf;  // clients that read nothing: each message stays on its way
    bool send(ConnectionId connection, const Bytes& message) override {
        sent[connection].push_back(message);
        return deaf.count(connection) == 0;
    }
    void close(ConnectionId connection) override { closed.insert(connection); }
};

class ServiceCoreTest : public ::testing::Test, protected testing::FakeSystem {
protected:
    FakeClock clock;
    NoTimer relock;
    QuickKeys keys;
    RecordingLink link;
    PolicyControl control{tables, volumes, enforcement, config, clock, relock, PasswordForm::Verifier};
    ServiceCore core{control, volumes, link, clock};

    void SetUp() override {
        control.Keys = &keys;
        control.RandomBytes = countingSalt;
        control.Listener = &core;
        tables.CurrentPassword = control.makePasswordRecord("right-pw");
        tables.setDriveLocked("E:\\", true);
        platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
    }

    ConnectionId greet(ConnectionId connection, std::uint32_t session = 1) {
        core.connected(connection, session);
        EXPECT_EQ(ask(connection, {.kind = RequestKind::Hello, .version = ProtocolVersion}).kind,
                  ServerKind::HelloReply);
        return connection;
    }
    void send(ConnectionId connection, const Bytes& bytes) { core.received(connection, bytes.data(), bytes.size()); }
    // The reply to a request: the last message sent to that connection.
    ServerMessage ask(ConnectionId connection, const Request& request) {
        link.sent[connection].clear();
        send(connection, encodeRequest(request));
        ServerMessage reply;
        if (link.sent[connection].empty()) return reply;
        EXPECT_TRUE(decodeServerMessage(link.sent[connection].back().data(), link.sent[connection].back().size(), reply));
        return reply;
    }
    PasswordAnswer unlock(ConnectionId connection, const std::string& password) {
        return ask(connection, {.kind = RequestKind::Unlock, .password = password}).password;
    }
    long ejects() { return std::count(platform.calls().begin(), platform.calls().end(), "ioctl 0x2D4808"); }
    std::vector<ServerKind> noticesTo(ConnectionId connection) {
        std::vector<ServerKind> kinds;
        for (const Bytes& bytes : link.sent[connection]) {
            ServerMessage message;
            if (decodeServerMessage(bytes.data(), bytes.size(), message) && isNotice(message.kind))
                kinds.push_back(message.kind);
        }
        return kinds;
    }
};

TEST_F(ServiceCoreTest, OnlyTheRightPasswordUnlocksWhileLockAndStatusNeedNone) {
    const ConnectionId tray = greet(1);
    EXPECT_EQ(unlock(tray, "wrong-pw").outcome, PasswordOutcome::Wrong);
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_EQ(unlock(tray, "right-pw").outcome, PasswordOutcome::Right);
    EXPECT_FALSE(tables.ProtectionOn);
    EXPECT_FALSE(ask(tray, {.kind = RequestKind::Status}).status.protectionOn);
    EXPECT_EQ(ask(tray, {.kind = RequestKind::Lock}).kind, ServerKind::Done);
    EXPECT_TRUE(tables.ProtectionOn);
    EXPECT_EQ(audit.events().front(), "event 3100 Unlock");
}

TEST_F(ServiceCoreTest, ConfigurationRequestsNeedTheConfigurationOpenedOnThatSameConnection) {
    const ConnectionId owner = greet(1), other = greet(2);
    const Request toggle{.kind = RequestKind::ToggleDrive, .root = "E:\\"};
    EXPECT_EQ(ask(owner, toggle).refused, RefusedReason::NotConfiguring);
    EXPECT_EQ(ask(owner, {.kind = RequestKind::OpenConfiguration, .password = "wrong-pw"}).password.outcome,
              PasswordOutcome::Wrong);
    EXPECT_EQ(ask(owner, toggle).kind, ServerKind::Refused);
    EXPECT_EQ(ask(owner, {.kind = RequestKind::OpenConfiguration, .password = "right-pw"}).password.outcome,
              PasswordOutcome::Right);
    EXPECT_EQ(ask(other, toggle).kind, ServerKind::Refused) << "another connection rode on the owner's session";
    EXPECT_EQ(ask(owner, toggle).kind, ServerKind::Done);
    EXPECT_FALSE(tables.isDriveLocked("E:\\"));

    // The PC's password is kept as a verifier of the new one, never as itself.
    const ServerMessage changed = ask(owner, {.kind = RequestKind::ChangePassword,
                                              .password = "right-pw",
                                              .freshPassword = "Gr\xC3\xBC\xC3\x9F" "e-pw",
                                              .confirmPassword = "Gr\xC3\xBC\xC3\x9F" "e-pw"});
    EXPECT_EQ(changed.change.outcome, ChangeOutcome::Changed);
    EXPECT_EQ(tables.CurrentPassword.rfind("$pbkdf2-sha256$i=600000$", 0), 0u);
    EXPECT_TRUE(control.passwordAccepts({{}, "Gr\xC3\xBC\xC3\x9F" "e-pw"}));

    ask(owner, {.kind = RequestKind::CloseConfiguration});
    EXPECT_EQ(ask(owner, toggle).kind, ServerKind::Refused);
    EXPECT_FALSE(tables.isDriveLocked("E:\\"));
}

TEST_F(ServiceCoreTest, TheWaitAfterWrongPasswordsIsSharedByEveryConnection) {
    for (ConnectionId guesser = 1; guesser <= FreeWrongPasswords; ++guesser)
        EXPECT_EQ(unlock(greet(guesser, guesser), "guess").waitMs, 0u) << guesser;
    const PasswordAnswer fourth = unlock(greet(10, 10), "guess");
    EXPECT_EQ(fourth.outcome, PasswordOutcome::Wrong);
    EXPECT_EQ(fourth.waitMs, FirstRetryDelayMs);
    const PasswordAnswer meanwhile = unlock(greet(11, 11), "right-pw");
    EXPECT_EQ(meanwhile.outcome, PasswordOutcome::Wait) << "a fresh connection skipped the wait";
    EXPECT_TRUE(tables.ProtectionOn);
    clock.now += FirstRetryDelayMs;
    EXPECT_EQ(unlock(11, "right-pw").outcome, PasswordOutcome::Right);
}

TEST_F(ServiceCoreTest, AMalformedMessageClosesItsOwnConnectionOnly) {
    const ConnectionId broken = greet(1), silent = 2, good = greet(3);
    core.connected(silent, 1);
    send(broken, {0xFF, 0xFF, 0x01});
    send(silent, encodeRequest({.kind = RequestKind::Status}));  // no hello first
    EXPECT_EQ(link.closed, (std::set<ConnectionId>{broken, silent}));
    EXPECT_EQ(core.connections(), 1u);
    EXPECT_EQ(ask(good, {.kind = RequestKind::Status}).kind, ServerKind::StatusReply);
}

TEST_F(ServiceCoreTest, HeldConnectionsOfOneSessionLeaveRoomForEveryOtherSession) {
    ConnectionId next = 1;
    std::size_t kept = 0;
    for (int i = 0; i < 20; ++i) kept += core.connected(next++, 1, 500) ? 1 : 0;
    EXPECT_EQ(kept, ConnectionLimits::PerProcess) << "one program held more than its share";
    for (std::uint32_t process = 501; process < 520; ++process) kept += core.connected(next++, 1, process) ? 1 : 0;
    EXPECT_EQ(kept, ConnectionLimits::PerSession) << "one session's programs held more than its share";

    const ConnectionId administrator = next++;
    ASSERT_TRUE(core.connected(administrator, 2, 900)) << "another session's tray was locked out";
    EXPECT_EQ(ask(administrator, {.kind = RequestKind::Hello, .version = ProtocolVersion}).kind, ServerKind::HelloReply);

    for (std::uint32_t session = 3; session < 40; ++session)
        for (std::uint32_t process = 0; process < 4; ++process) core.connected(next++, session, session * 10 + process);
    EXPECT_EQ(core.connections(), ConnectionLimits::InAll);
    core.disconnected(administrator);
    EXPECT_TRUE(core.connected(next++, 2, 901)) << "a connection gone left no room";
}

TEST_F(ServiceCoreTest, AConnectionThatSaysNoHelloIsDroppedAfterTheDeadline) {
    ASSERT_TRUE(core.connected(1, 1, 500));
    ASSERT_TRUE(core.connected(2, 1, 500));
    clock.now += ConnectionLimits::HelloWithinMs - 1;
    ask(2, {.kind = RequestKind::Hello, .version = ProtocolVersion});
    core.tick();
    EXPECT_TRUE(link.closed.empty());
    clock.now += 1;
    core.tick();
    EXPECT_EQ(link.closed, std::set<ConnectionId>{1});
    EXPECT_EQ(core.connections(), 1u);
    EXPECT_TRUE(core.connected(3, 1, 500)) << "the silent connection still held its place";
    EXPECT_EQ(ask(2, {.kind = RequestKind::Status}).kind, ServerKind::StatusReply);
}

TEST_F(ServiceCoreTest, AClientThatReadsNothingIsDroppedWhileOthersStillGetTheirNotices) {
    const ConnectionId deaf = greet(1, 1), slow = greet(2, 2), tray = greet(3, 3);
    link.deaf = {deaf, slow};
    link.sent.clear();
    for (std::size_t i = 0; i < ConnectionLimits::QueuedMessages + 1; ++i)
        send(deaf, encodeRequest({.kind = RequestKind::Status}));
    EXPECT_EQ(link.sent[deaf].size(), 1u) << "the service wrote on while a write was still on its way";
    EXPECT_TRUE(link.closed.empty());
    send(deaf, encodeRequest({.kind = RequestKind::Status}));
    EXPECT_EQ(link.closed, std::set<ConnectionId>{deaf});

    // A client that reads late gets every message, in order.
    send(slow, encodeRequest({.kind = RequestKind::Status}));
    unlock(tray, "right-pw");
    EXPECT_EQ(link.sent[slow].size(), 1u);
    link.deaf.erase(slow);
    core.written(slow);
    ASSERT_EQ(link.sent[slow].size(), 2u);
    EXPECT_EQ(noticesTo(slow), std::vector<ServerKind>{ServerKind::StateNotice});
    EXPECT_EQ(noticesTo(tray), std::vector<ServerKind>{ServerKind::StateNotice});
    EXPECT_EQ(link.sent[deaf].size(), 1u);
    EXPECT_EQ(core.connections(), 2u);
}

TEST_F(ServiceCoreTest, OneArrivalReportedBySeveralSourcesIsHandledOnce) {
    const ConnectionId tray = greet(1);
    platform.addDrive('E', DriveRemovable);
    core.takeStock(0x10);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
    core.arrival(0x10);                                                   // the service's own notification
    ask(tray, {.kind = RequestKind::DeviceArrival, .unitMask = 0x10});  // the tray heard the broadcast
    core.lookAt(0x10);                                                    // the look takes the tray's report
    core.arrival(0x10);
    EXPECT_EQ(ejects(), 1);
    platform.addDrive('E', DriveRemovable);  // taken out...
    core.removal(0x10);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);  // ...and put in again at once
    core.arrival(0x10);
    EXPECT_EQ(ejects(), 2);
}

TEST_F(ServiceCoreTest, AReportBeforeTheStickHidesNoArrival) {
    const ConnectionId program = greet(1);
    platform.addDrive('E', DriveRemovable);
    core.takeStock(0x10);
    ask(program, {.kind = RequestKind::DeviceArrival, .unitMask = 0x10});
    core.lookAt(0x10);
    platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
    core.arrival(0x10);
    EXPECT_EQ(ejects(), 1);
}

TEST_F(ServiceCoreTest, ReportsOfDrivesThatDidNotChangeTouchNoDrive) {
    const ConnectionId program = greet(1);
    platform.addDriveWithMedium('C', DriveFixed, "SYSTEM", 0x1);
    tables.setDriveLocked("F:\\", false);
    platform.addDriveWithMedium('F', DriveRemovable, "DATA", 0x2);
    const std::uint32_t present = 1u << 2 | 1u << 4 | 1u << 5;
    core.takeStock(present);
    platform.clearCalls();
    for (int report = 0; report < 100; ++report)
        ask(program, {.kind = RequestKind::DeviceArrival, .unitMask = 1u << 2 | 1u << 5});
    core.lookAt(present);
    // However often a client asks, its reports cost one look a letter.
    EXPECT_EQ(std::count(platform.calls().begin(), platform.calls().end(), "query C:\\ size=260"), 1);
    core.arrival(1u << 2 | 1u << 5);
    for (const std::string& call : platform.calls()) EXPECT_EQ(call.rfind("open", 0), std::string::npos) << call;
    EXPECT_FALSE(tables.findDrive("C:\\")) << "a fixed drive there all along became a locked drive";
}

TEST_F(ServiceCoreTest, ADriveNewAtItsLetterIsLockedWhateverItsType) {
    core.takeStock(0x10);
    platform.addDriveWithMedium('G', DriveFixed, "USBDISK", 0x3);  // a USB disk says it is fixed
    core.lookAt(0x10 | 1u << 6);
    EXPECT_TRUE(tables.isDriveLocked("G:\\"));
    EXPECT_EQ(ejects(), 1);
}

TEST_F(ServiceCoreTest, AHelloOfAnotherVersionIsRefusedAndMayBeSaidAgain) {
    core.connected(1, 1);
    const ServerMessage refused = ask(1, {.kind = RequestKind::Hello, .version = ProtocolVersion + 1});
    EXPECT_EQ(refused.kind, ServerKind::Refused);
    EXPECT_EQ(refused.refused, RefusedReason::BadVersion);
    EXPECT_TRUE(link.closed.empty());
    EXPECT_EQ(ask(1, {.kind = RequestKind::Hello, .version = ProtocolVersion}).kind, ServerKind::HelloReply);
}

TEST_F(ServiceCoreTest, BoxesGoToTheTrayOfTheConsoleSessionAndStateChangesToEveryTray) {
    // A program of the console's session that connected first takes nothing from the tray.
    const ConnectionId early = greet(4, 1), console = greet(1, 1), remote = greet(2, 2);
    // The service's platform hands every box to the core for the console's session (1 here).
    bool delivered = false;
    platform.onMessage = [&](const testing::ShownMessage& box) {
        delivered = core.showMessage(1, box.text, box.caption, box.type);
    };
    link.sent.clear();
    core.arrival(0x10);
    EXPECT_TRUE(delivered);
    EXPECT_EQ(noticesTo(console), std::vector<ServerKind>{ServerKind::MessageNotice});
    EXPECT_EQ(noticesTo(early), std::vector<ServerKind>{ServerKind::MessageNotice});
    EXPECT_TRUE(noticesTo(remote).empty());
    EXPECT_FALSE(core.showMessage(3, "text", "Error", 0)) << "a session without a tray";
    link.sent.clear();
    unlock(remote, "right-pw");
    EXPECT_EQ(noticesTo(console), std::vector<ServerKind>{ServerKind::StateNotice});
}

}  // namespace
}  // namespace ventrix
