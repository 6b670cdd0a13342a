// The messages between the tray client and the service on the pipe
// \\.\pipe\Ventrix. One message is one pipe message, little-endian, starting
// with its u16 kind. The decoders take bytes from the other side of a
// security boundary: they accept a message only when every field is in range
// and it is consumed exactly, and otherwise leave their output alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "control/policy_access.h"

namespace ventrix {

inline constexpr std::size_t MaxMessageBytes = 65536;
inline constexpr std::uint16_t ProtocolVersion = 2;
inline constexpr std::uint32_t ProtocolMagic = 0x58525456;  // "VTRX"
inline constexpr const char* PipeName = "\\\\.\\pipe\\Ventrix";
inline constexpr const char* ServiceName = "Ventrix";  // the service manager's name of the service

inline constexpr std::size_t MaxPasswordBytes = 1024;  // UTF-8 of up to 255 characters
inline constexpr std::size_t MaxNoticeTextBytes = 1024;

enum class RequestKind : std::uint16_t {
    Hello = 1,
    Status,
    Lock,
    Unlock,
    CheckExit,
    OpenConfiguration,
    CloseConfiguration,
    Drives,
    Media,
    ToggleDrive,
    PresentMedia,
    AddMedium,
    DeleteMedium,
    Apply,
    ChangePassword,
    DeviceArrival,
    PolicyChanged,
    SetDriveReadOnly,
};

// One struct for every request; a kind uses only its own fields, the rest
// keep their defaults (every member has one, so a designated initializer
// names just the fields its kind uses).
struct Request {
    RequestKind kind{};
    std::uint32_t magic = ProtocolMagic;  // Hello
    std::uint16_t version = 0;            // Hello
    // Unlock, CheckExit, OpenConfiguration: password; ChangePassword: password
    // is the current one, freshPassword the new one, confirmPassword its
    // second typing (the service, not the client, judges a mismatch).
    std::string password{}, freshPassword{}, confirmPassword{};
    std::uint32_t minutes = 0;   // Unlock; 0 is a plain Unlock
    std::uint32_t start = 0;     // Media: the first row wanted
    std::uint32_t unitMask = 0;  // DeviceArrival: bit 0 is A:
    MediaList list = MediaList::Locked;
    std::string root{};  // ToggleDrive, AddMedium, SetDriveReadOnly: "E:\"
    bool readOnly = false;  // AddMedium (a trusted medium), SetDriveReadOnly
    MediumRow medium{};  // DeleteMedium

    bool operator==(const Request&) const = default;
};

enum class ServerKind : std::uint16_t {
    HelloReply = 0x8001,
    StatusReply,
    Done,
    PasswordReply,
    DrivesReply,
    MediaReply,
    PresentMediaReply,
    DeleteReply,
    ChangeReply,
    Refused,
    StateNotice = 0xC001,
    MessageNotice,
    StoppingNotice,
};

enum class RefusedReason : std::uint8_t { NotConfiguring, BadVersion, Busy };

inline bool operator==(const PasswordAnswer& a, const PasswordAnswer& b) {
    return a.outcome == b.outcome && a.waitMs == b.waitMs;
}
inline bool operator==(const ChangeAnswer& a, const ChangeAnswer& b) {
    return a.outcome == b.outcome && a.waitMs == b.waitMs;
}

// A reply or a notice; as with Request, a kind uses only its own fields.
struct ServerMessage {
    ServerKind kind{};
    std::uint16_t version = 0;  // HelloReply
    PolicyStatus status{};      // StatusReply, StateNotice
    PasswordAnswer password{};  // PasswordReply
    std::vector<DriveRow> drives{};
    std::uint32_t total = 0, start = 0;  // MediaReply: the whole list's length, the first row's index
    std::vector<MediumRow> media{};
    std::vector<PresentMedium> present{};
    DeleteOutcome deleted{};
    ChangeAnswer change{};
    RefusedReason refused{};
    std::string text{}, caption{};  // MessageNotice
    std::uint32_t boxType = 0;  // MessageNotice: MB_* flags

    bool operator==(const ServerMessage&) const = default;
};

// The encoders assume well-formed values; a string over its bound is cut to it.
bool decodeRequest(const std::uint8_t* data, std::size_t size, Request& out);
std::vector<std::uint8_t> encodeRequest(const Request& request);
bool decodeServerMessage(const std::uint8_t* data, std::size_t size, ServerMessage& out);
std::vector<std::uint8_t> encodeServerMessage(const ServerMessage& message);

// The MediaReply holding as many rows of `all` from `start` on as fit in one
// message (at least one while start < all.size()).
std::vector<std::uint8_t> encodeMediaPage(const std::vector<MediumRow>& all, std::uint32_t start);

// A notice comes unasked, between replies.
inline bool isNotice(ServerKind kind) { return static_cast<std::uint16_t>(kind) >= 0xC000; }

}  // namespace ventrix
