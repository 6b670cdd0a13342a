// The service's request handling against fakes: what a client may ask with
// and without the password, on its own connection, and what several
// connections and several reports of one arrival add up to.
#include "service/service_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "control/policy_control.h"
#include "service/machine_start.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_data_folder.h"
#include "tests/support/fake_policy_source.h"
#include "tests/support/fake_system.h"

namespace ventrix {
namespace {

using Bytes = std::vector<std::uint8_t>;


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
    ServiceCoreTest() : FakeSystem(PasswordForm::Verifier) {}

    QuickKeys keys;
    RecordingLink link;
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

TEST_F(ServiceCoreTest, ADrivesReadOnlyFlagIsSetOnlyInsideAnOpenConfiguration) {
    tables.setDriveLocked("D:\\", false);
    const ConnectionId tray = greet(1);
    const Request readOnly{.kind = RequestKind::SetDriveReadOnly, .root = "D:\\", .readOnly = true};
    EXPECT_EQ(ask(tray, readOnly).refused, RefusedReason::NotConfiguring);
    ask(tray, {.kind = RequestKind::OpenConfiguration, .password = "right-pw"});
    EXPECT_EQ(ask(tray, readOnly).kind, ServerKind::Done);
    EXPECT_EQ(ask(tray, {.kind = RequestKind::Drives}).drives[1], (DriveRow{"D:\\", false, false, true, false}));
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
    core.lookAt(0x10 | 1u << 6);  // listed a moment before it answers as a drive
    platform.addDriveWithMedium('G', DriveFixed, "USBDISK", 0x3);  // a USB disk says it is fixed
    core.lookAt(0x10 | 1u << 6);
    EXPECT_TRUE(tables.isDriveLocked("G:\\"));
    EXPECT_EQ(ejects(), 1);
}

// Reading the machine's policy enters Group Policy's section; on the
// service's one thread that wait would hold up every arrival and client.
TEST_F(ServiceCoreTest, AClientsPolicyChangedOnlyAsksForAReadingAndNeverReadsOnTheServiceThread) {
    testing::FakePolicySource managed;
    control.ManagedSource = &managed;
    int asked = 0;
    core.RefreshPolicy = [&] { ++asked; };
    const ConnectionId program = greet(1);
    EXPECT_EQ(ask(program, {.kind = RequestKind::PolicyChanged}).kind, ServerKind::Done);
    EXPECT_EQ(ask(program, {.kind = RequestKind::PolicyChanged}).kind, ServerKind::Done);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(managed.readings(), 0);
}

TEST_F(ServiceCoreTest, AHelloOfAnotherVersionIsRefusedAndMayBeSaidAgain) {
    core.connected(1, 1);
    const ServerMessage refused = ask(1, {.kind = RequestKind::Hello, .version = ProtocolVersion + 1});
    EXPECT_EQ(refused.kind, ServerKind::Refused);
    EXPECT_EQ(refused.refused, RefusedReason::BadVersion);
    EXPECT_EQ(ask(1, {.kind = RequestKind::Hello, .version = 1}).refused, RefusedReason::BadVersion) << "no read-only rows";
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

// The service's start on a PC where a standard user got at its data folder
// first (made it, filled it, linked it), and with the installer's verifier.
class MachineStartTest : public ServiceCoreTest {
protected:
    testing::FakeDataFolder folder{files};
    testing::FakeSetupValue setup;

    void SetUp() override {
        ServiceCoreTest::SetUp();
        tables.CurrentPassword = DefaultPassword;  // as a service starts
    }
    bool take() { return takeDataFolder(folder, testing::FakeDataFolder::Root, config, audit); }
    bool defaultOpens() { return control.passwordAccepts({DefaultPassword, DefaultPassword}); }
};

TEST_F(MachineStartTest, AMissingFolderIsMadeProtectedFromTheStart) {
    EXPECT_TRUE(take());
    EXPECT_TRUE(folder.madeProtected());
    EXPECT_TRUE(control.loadOrSeed()) << "a first run";
    EXPECT_TRUE(files.has(ConfigFileName));
}

// In a folder the machine owns (one made before it was protected), what was
// planted under the service's names is taken away without being entered.
TEST_F(MachineStartTest, PlantedTemporaryNamesNoLongerMakeSavesFail) {
    folder.ownRoot();
    folder.plantFolder("Tamrel.conf.new");
    folder.plantFile("Tamrel.conf.new\\inside.txt");
    for (int n = 2; n <= 8; ++n)
        if (n != 4) folder.plantFolder("Tamrel.conf.new." + std::to_string(n));
    folder.plantLink("Tamrel.CONF.new.5");
    files.put("Tamrel.conf.new.4", {0x01});  // the service's own leftover of a crash
    ASSERT_TRUE(take());
    for (const std::string& name : files.names()) EXPECT_NE(name.find(".aside-"), std::string::npos) << name;
    EXPECT_TRUE(folder.followed().empty());
    EXPECT_TRUE(control.loadOrSeed());
    EXPECT_TRUE(files.has(ConfigFileName)) << "the first run's save failed";
    EXPECT_EQ(config.saveConfiguration(ConfigFileName, tables.CurrentPassword), 1);
    EXPECT_EQ(std::count(audit.events().begin(), audit.events().end(), "event 5000"), 0);
}

// Its owner could grant itself anything later, or act through a handle held
// from before: a folder someone else made is put aside whole, unopened, and
// a new one made; only the policy file the service wrote comes back.
TEST_F(MachineStartTest, AFolderSomeoneElseMadeIsPutAsideWholeAndNeverEntered) {
    ASSERT_TRUE(take());  // the service's own first run
    ASSERT_TRUE(control.loadOrSeed());
    const Bytes policy = files.contents(ConfigFileName);
    folder.plantRoot();  // ...in a folder that turns out to be someone else's
    folder.plantFile("Tamrel.conf.unreadable.2");
    folder.plantFolder("old");
    folder.plantLink("old\\windows");
    folder.plantLink("shortcut");
    audit.clear();
    ASSERT_TRUE(take());
    EXPECT_EQ(folder.putAside(), std::vector<std::string>{""});
    EXPECT_TRUE(folder.madeProtected());
    EXPECT_EQ(files.names(), std::vector<std::string>{"Tamrel.conf"});
    EXPECT_TRUE(folder.followed().empty());
    EXPECT_EQ(audit.events(), std::vector<std::string>{"event 5204 C:\\ProgramData\\Ventrix|"
                                                       "C:\\ProgramData\\Ventrix.aside-1"});
    EXPECT_FALSE(control.loadOrSeed()) << "the service's policy was lost";
    EXPECT_EQ(files.contents(ConfigFileName), policy);
}

// Nobody but the machine writes in the service's folder: a policy file
// someone else made there before the service's first start is theirs, not
// the PC's, and is never loaded; nor is a link or a file in the folder's place.
TEST_F(MachineStartTest, APolicyFileSomeoneElseWroteIsNeverLoaded) {
    for (const EntryKind planted : {EntryKind::Folder, EntryKind::Link, EntryKind::File}) {
        testing::FakeSystem fresh;
        testing::FakeDataFolder other{fresh.files};
        other.plantRoot(planted);
        if (planted == EntryKind::Folder) other.plantFile(ConfigFileName);
        ASSERT_TRUE(takeDataFolder(other, testing::FakeDataFolder::Root, fresh.config, fresh.audit));
        EXPECT_EQ(other.putAside(), std::vector<std::string>{""});
        EXPECT_TRUE(fresh.control.loadOrSeed()) << "a first run in the new folder";
        EXPECT_NE(fresh.files.contents(ConfigFileName), Bytes{0x66});
    }
}

TEST_F(MachineStartTest, AFolderTheServiceCannotMakeItsOwnIsHandsOffAndNeverAFirstRun) {
    struct Case {
        const char* what;
        std::function<void(testing::FakeDataFolder&)> plant;
        const char* reason;
    };
    const char* const heldOpen = "it is not the service's own and could not be put aside: Access is denied.";
    const Case cases[] = {
        {"someone else's, held open", [](auto& f) { f.plantRoot(); f.refuseRemoval(""); }, heldOpen},
        {"a link, held", [](auto& f) { f.plantRoot(EntryKind::Link); f.refuseRemoval(""); }, heldOpen},
        {"refused", [](auto& f) { f.ownRoot(); f.refuseProtection(); },
         "its access list could not be set: Access is denied."},
        {"an entry that stays",
         [](auto& f) { f.ownRoot(); f.plantFolder("Tamrel.conf.new"); f.refuseRemoval("Tamrel.conf.new"); },
         "C:\\ProgramData\\Ventrix\\Tamrel.conf.new: it could not be taken away: Access is denied."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testing::FakeSystem fresh(PasswordForm::Verifier);
        fresh.platform.addDriveWithMedium('E', DriveRemovable, "STICK", 0x11);
        PolicyControl& start = fresh.control;
        start.Keys = &keys;
        start.RandomBytes = countingSalt;
        testing::FakeDataFolder planted{fresh.files};
        c.plant(planted);
        fresh.files.put("Tamrel.conf", {0x01});  // whatever lies behind it stays unread
        EXPECT_FALSE(takeDataFolder(planted, testing::FakeDataFolder::Root, fresh.config, fresh.audit));
        EXPECT_EQ(fresh.audit.events(),
                  std::vector<std::string>{std::string("event 5202 C:\\ProgramData\\Ventrix|") + c.reason});
        EXPECT_FALSE(start.loadOrSeed()) << "a first run";
        EXPECT_TRUE(fresh.tables.isDriveLocked("E:\\"));
        EXPECT_FALSE(start.defaultPasswordInForce());
        EXPECT_FALSE(start.passwordAccepts({DefaultPassword, DefaultPassword}));
        EXPECT_EQ(fresh.config.saveConfiguration(ConfigFileName, fresh.tables.CurrentPassword), 0);
        EXPECT_EQ(fresh.files.contents("Tamrel.conf"), Bytes{0x01});
        EXPECT_TRUE(planted.followed().empty());
    }
}

TEST_F(MachineStartTest, TheInstallersVerifierIsKeptAfterAFailedSave) {
    ASSERT_TRUE(take());
    ASSERT_TRUE(control.loadOrSeed());
    setup.present = true;
    setup.line = control.makePasswordRecord("admin-pw");
    files.failReplaceCall(2);  // the save after the first run's
    audit.clear();
    EXPECT_EQ(takeSetupPassword(setup, tables, config, audit), SetupOutcome::Kept);
    EXPECT_EQ(setup.kept, setup.line) << "the verifier was lost";
    EXPECT_EQ(audit.events().back(), "event 5203 Setup\\PasswordVerifier");
    EXPECT_TRUE(control.passwordAccepts({"admin-pw", "admin-pw"})) << "in force for this run";
    // A standard user's repair writes the package's value again, empty: the
    // kept verifier survives it, and the next start saves it and lets it go.
    const std::string line = setup.line;
    setup.line.clear();
    setup.present = true;
    EXPECT_EQ(takeSetupPassword(setup, tables, config, audit), SetupOutcome::Taken);
    EXPECT_FALSE(setup.present);
    EXPECT_TRUE(setup.kept.empty());
    setup.line = line;
    EXPECT_EQ(audit.events().back(), "event 3202");
    config.closeConfiguration();
    std::string saved;
    PolicyTables reread;
    ConfigFile again{reread, files, protector};
    ASSERT_EQ(again.loadConfiguration(ConfigFileName, saved), 1);
    EXPECT_EQ(saved, setup.line);
}

TEST_F(MachineStartTest, TheInstallersVerifierIsKeptWhileTheFolderIsHandsOff) {
    folder.plantRoot();
    folder.refuseRemoval("");
    ASSERT_FALSE(take());
    ASSERT_FALSE(control.loadOrSeed());
    setup.present = true;
    setup.line = control.makePasswordRecord("admin-pw");
    EXPECT_EQ(takeSetupPassword(setup, tables, config, audit), SetupOutcome::Kept);
    EXPECT_EQ(setup.kept, setup.line);
    EXPECT_FALSE(defaultOpens());
}

// A line that does not parse never will: it is reported and dropped.
TEST_F(MachineStartTest, AMalformedSetupVerifierIsReportedAndDropped) {
    ASSERT_TRUE(take());
    ASSERT_TRUE(control.loadOrSeed());
    const std::string before = tables.CurrentPassword;
    setup.present = true;
    setup.line = "$pbkdf2-sha256$i=1$junk";
    audit.clear();
    EXPECT_EQ(takeSetupPassword(setup, tables, config, audit), SetupOutcome::Malformed);
    EXPECT_EQ(audit.events(),
              std::vector<std::string>{"event 5100 Setup\\PasswordVerifier|is malformed and is ignored"});
    EXPECT_FALSE(setup.present);
    EXPECT_EQ(tables.CurrentPassword, before);
    EXPECT_TRUE(defaultOpens());
}

}  // namespace
}  // namespace ventrix
