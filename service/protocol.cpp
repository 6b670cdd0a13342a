#include "service/protocol.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "policy/managed_policy.h"  // MaxUnlockMinutes
#include "policy/policy_tables.h"   // MaxLabelLength

namespace ventrix {
namespace {

constexpr std::size_t MaxDrives = 26;
constexpr std::size_t RootBytes = 3;
// A row's fixed part, the fewest bytes it can take: a count is checked
// against what is left, and a page is filled by its rows' sizes.
constexpr std::size_t DriveRowBytes = 2 + RootBytes + 1 + 1 + 1 + 1;
constexpr std::size_t MediumRowBytes = 2 + 4 + 4 + 1 + 1;
constexpr std::size_t PresentRowBytes = 2 + RootBytes + 2 + 4 + 4;
constexpr std::size_t MediaHeaderBytes = 2 + 4 + 4 + 2;

class Writer {
public:
    void u8(std::uint8_t value) { bytes.push_back(value); }
    void u16(std::uint16_t value) {
        u8(static_cast<std::uint8_t>(value));
        u8(static_cast<std::uint8_t>(value >> 8));
    }
    void u32(std::uint32_t value) {
        u16(static_cast<std::uint16_t>(value));
        u16(static_cast<std::uint16_t>(value >> 16));
    }
    void flag(bool value) { u8(value ? 1 : 0); }
    // Cut to its bound: an overlong string is the caller's mistake, and the
    // field must still be one every reader accepts.
    void str(const std::string& text, std::size_t bound) {
        const std::size_t length = std::min(text.size(), bound);
        u16(static_cast<std::uint16_t>(length));
        bytes.insert(bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    }

    std::vector<std::uint8_t> bytes;
};

// Every read is bounds-checked; a string is copied only once its length is
// known to lie inside the message, so nothing is allocated for bytes that are not there.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ == size_; }

    bool u8(std::uint8_t& value) {
        if (left() < 1) return false;
        value = data_[pos_++];
        return true;
    }
    bool u16(std::uint16_t& value) {
        std::uint8_t low = 0, high = 0;
        if (!u8(low) || !u8(high)) return false;
        value = static_cast<std::uint16_t>(low | high << 8);
        return true;
    }
    bool u32(std::uint32_t& value) {
        std::uint16_t low = 0, high = 0;
        if (!u16(low) || !u16(high)) return false;
        value = low | std::uint32_t{high} << 16;
        return true;
    }
    bool flag(bool& value) {
        std::uint8_t byte = 0;
        if (!u8(byte) || byte > 1) return false;
        value = byte == 1;
        return true;
    }
    template <typename Enum>
    bool choice(Enum& value, Enum last) {
        std::uint8_t byte = 0;
        if (!u8(byte) || byte > static_cast<std::uint8_t>(last)) return false;
        value = static_cast<Enum>(byte);
        return true;
    }
    // No NUL inside: the other end hands these on as C strings.
    bool str(std::string& text, std::size_t bound) {
        std::uint16_t length = 0;
        if (!u16(length) || length > bound || length > left()) return false;
        const auto* bytes = reinterpret_cast<const char*>(data_ + pos_);
        if (std::memchr(bytes, 0, length) != nullptr) return false;
        text.assign(bytes, length);
        pos_ += length;
        return true;
    }
    bool root(std::string& text) {
        return str(text, RootBytes) && text.size() == RootBytes && text[0] >= 'A' && text[0] <= 'Z' &&
               text[1] == ':' && text[2] == '\\';
    }
    // A count is believed only when that many of the smallest rows still fit.
    bool count(std::uint16_t& value, std::size_t limit, std::size_t rowBytes) {
        return u16(value) && value <= limit && std::size_t{value} * rowBytes <= left();
    }

private:
    std::size_t left() const { return size_ - pos_; }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

bool validMask(std::uint32_t mask) { return mask != 0 && (mask >> 26) == 0; }

void writeStatus(Writer& out, const PolicyStatus& status) {
    out.flag(status.connected);
    out.flag(status.protectionOn);
    out.u32(status.relockInMs);
    out.flag(status.verifierSet);
    out.flag(status.defaultPassword);
    out.flag(status.unlockOffered);
    out.u32(status.unlockLimit);
    out.u32(status.retryWaitMs);
}

bool readStatus(Reader& in, PolicyStatus& status) {
    return in.flag(status.connected) && in.flag(status.protectionOn) && in.u32(status.relockInMs) &&
           in.flag(status.verifierSet) && in.flag(status.defaultPassword) && in.flag(status.unlockOffered) &&
           in.u32(status.unlockLimit) && in.u32(status.retryWaitMs);
}

void writeMedium(Writer& out, const MediumRow& row) {
    out.str(row.label, MaxLabelLength);
    out.u32(row.serial);
    out.u32(row.driveType);
    out.flag(row.managed);
    out.flag(row.readOnly);
}

bool readMedium(Reader& in, MediumRow& row) {
    return in.str(row.label, MaxLabelLength) && in.u32(row.serial) && in.u32(row.driveType) &&
           in.flag(row.managed) && in.flag(row.readOnly);
}

void writeDrive(Writer& out, const DriveRow& row) {
    out.str(row.root, RootBytes);
    out.flag(row.locked);
    out.flag(row.byPolicy);
    out.flag(row.readOnly);
    out.flag(row.readOnlyByPolicy);
}

bool readDrive(Reader& in, DriveRow& row) {
    return in.root(row.root) && in.flag(row.locked) && in.flag(row.byPolicy) && in.flag(row.readOnly) &&
           in.flag(row.readOnlyByPolicy);
}

bool readRequest(Reader& in, Request& request) {
    std::uint16_t kind = 0;
    if (!in.u16(kind)) return false;
    request.kind = static_cast<RequestKind>(kind);
    switch (request.kind) {
    case RequestKind::Hello:
        // Any version is read: answering a wrong one is the service's part.
        return in.u32(request.magic) && request.magic == ProtocolMagic && in.u16(request.version);
    case RequestKind::Status:
    case RequestKind::Lock:
    case RequestKind::CloseConfiguration:
    case RequestKind::Drives:
    case RequestKind::PresentMedia:
    case RequestKind::Apply:
    case RequestKind::PolicyChanged:
        return true;
    case RequestKind::Unlock:
        return in.str(request.password, MaxPasswordBytes) && in.u32(request.minutes) &&
               request.minutes <= MaxUnlockMinutes;
    case RequestKind::CheckExit:
    case RequestKind::OpenConfiguration:
        return in.str(request.password, MaxPasswordBytes);
    case RequestKind::Media:
        return in.choice(request.list, MediaList::Trusted) && in.u32(request.start);
    case RequestKind::ToggleDrive:
        return in.root(request.root);
    case RequestKind::AddMedium:
        return in.choice(request.list, MediaList::Trusted) && in.root(request.root) && in.flag(request.readOnly);
    case RequestKind::SetDriveReadOnly:
        return in.root(request.root) && in.flag(request.readOnly);
    case RequestKind::DeleteMedium:
        return in.choice(request.list, MediaList::Trusted) && readMedium(in, request.medium);
    case RequestKind::ChangePassword:
        return in.str(request.password, MaxPasswordBytes) && in.str(request.freshPassword, MaxPasswordBytes) &&
               in.str(request.confirmPassword, MaxPasswordBytes);
    case RequestKind::DeviceArrival:
        return in.u32(request.unitMask) && validMask(request.unitMask);
    }
    return false;
}

bool readDrives(Reader& in, std::vector<DriveRow>& drives) {
    std::uint16_t count = 0;
    if (!in.count(count, MaxDrives, DriveRowBytes)) return false;
    drives.resize(count);
    for (DriveRow& row : drives) {
        if (!readDrive(in, row)) return false;
    }
    return true;
}

// The rows lie inside the list, and a page before the list's end holds at
// least one, so a client paging through always gets on.
bool readMedia(Reader& in, ServerMessage& message) {
    std::uint16_t count = 0;
    if (!in.u32(message.total) || !in.u32(message.start) ||
        !in.count(count, MaxMessageBytes / MediumRowBytes, MediumRowBytes)) {
        return false;
    }
    if (count == 0 ? message.start < message.total : std::uint64_t{message.start} + count > message.total) {
        return false;
    }
    message.media.resize(count);
    for (MediumRow& row : message.media) {
        if (!readMedium(in, row)) return false;
    }
    return true;
}

bool readPresent(Reader& in, std::vector<PresentMedium>& present) {
    std::uint16_t count = 0;
    if (!in.count(count, MaxDrives, PresentRowBytes)) return false;
    present.resize(count);
    for (PresentMedium& row : present) {
        if (!in.root(row.root) || !in.str(row.label, MaxLabelLength) || !in.u32(row.serial) ||
            !in.u32(row.driveType)) {
            return false;
        }
    }
    return true;
}

bool readServerMessage(Reader& in, ServerMessage& message) {
    std::uint16_t kind = 0;
    if (!in.u16(kind)) return false;
    message.kind = static_cast<ServerKind>(kind);
    switch (message.kind) {
    case ServerKind::HelloReply:
        return in.u16(message.version);
    case ServerKind::StatusReply:
    case ServerKind::StateNotice:
        return readStatus(in, message.status);
    case ServerKind::Done:
    case ServerKind::StoppingNotice:
        return true;
    case ServerKind::PasswordReply:
        return in.choice(message.password.outcome, PasswordOutcome::NoAnswer) && in.u32(message.password.waitMs);
    case ServerKind::DrivesReply:
        return readDrives(in, message.drives);
    case ServerKind::MediaReply:
        return readMedia(in, message);
    case ServerKind::PresentMediaReply:
        return readPresent(in, message.present);
    case ServerKind::DeleteReply:
        return in.choice(message.deleted, DeleteOutcome::NotFound);
    case ServerKind::ChangeReply:
        return in.choice(message.change.outcome, ChangeOutcome::NoAnswer) && in.u32(message.change.waitMs);
    case ServerKind::Refused:
        return in.choice(message.refused, RefusedReason::Busy);
    case ServerKind::MessageNotice:
        return in.str(message.text, MaxNoticeTextBytes) && in.str(message.caption, MaxNoticeTextBytes) &&
               in.u32(message.boxType);
    }
    return false;
}

}  // namespace

bool decodeRequest(const std::uint8_t* data, std::size_t size, Request& out) {
    if (size > MaxMessageBytes) return false;
    Reader in(data, size);
    Request request;
    if (!readRequest(in, request) || !in.done()) return false;
    out = std::move(request);
    return true;
}

std::vector<std::uint8_t> encodeRequest(const Request& request) {
    Writer out;
    out.u16(static_cast<std::uint16_t>(request.kind));
    switch (request.kind) {
    case RequestKind::Hello:
        out.u32(request.magic);
        out.u16(request.version);
        break;
    case RequestKind::Unlock:
        out.str(request.password, MaxPasswordBytes);
        out.u32(request.minutes);
        break;
    case RequestKind::CheckExit:
    case RequestKind::OpenConfiguration:
        out.str(request.password, MaxPasswordBytes);
        break;
    case RequestKind::Media:
        out.u8(static_cast<std::uint8_t>(request.list));
        out.u32(request.start);
        break;
    case RequestKind::ToggleDrive:
        out.str(request.root, RootBytes);
        break;
    case RequestKind::AddMedium:
        out.u8(static_cast<std::uint8_t>(request.list));
        out.str(request.root, RootBytes);
        out.flag(request.readOnly);
        break;
    case RequestKind::SetDriveReadOnly:
        out.str(request.root, RootBytes);
        out.flag(request.readOnly);
        break;
    case RequestKind::DeleteMedium:
        out.u8(static_cast<std::uint8_t>(request.list));
        writeMedium(out, request.medium);
        break;
    case RequestKind::ChangePassword:
        out.str(request.password, MaxPasswordBytes);
        out.str(request.freshPassword, MaxPasswordBytes);
        out.str(request.confirmPassword, MaxPasswordBytes);
        break;
    case RequestKind::DeviceArrival:
        out.u32(request.unitMask);
        break;
    default:  // the kinds without fields
        break;
    }
    return std::move(out.bytes);
}

bool decodeServerMessage(const std::uint8_t* data, std::size_t size, ServerMessage& out) {
    if (size > MaxMessageBytes) return false;
    Reader in(data, size);
    ServerMessage message;
    if (!readServerMessage(in, message) || !in.done()) return false;
    out = std::move(message);
    return true;
}

std::vector<std::uint8_t> encodeServerMessage(const ServerMessage& message) {
    Writer out;
    out.u16(static_cast<std::uint16_t>(message.kind));
    switch (message.kind) {
    case ServerKind::HelloReply:
        out.u16(message.version);
        break;
    case ServerKind::StatusReply:
    case ServerKind::StateNotice:
        writeStatus(out, message.status);
        break;
    case ServerKind::PasswordReply:
        out.u8(static_cast<std::uint8_t>(message.password.outcome));
        out.u32(message.password.waitMs);
        break;
    case ServerKind::DrivesReply:
        out.u16(static_cast<std::uint16_t>(message.drives.size()));
        for (const DriveRow& row : message.drives) writeDrive(out, row);
        break;
    case ServerKind::MediaReply:
        out.u32(message.total);
        out.u32(message.start);
        out.u16(static_cast<std::uint16_t>(message.media.size()));
        for (const MediumRow& row : message.media) writeMedium(out, row);
        break;
    case ServerKind::PresentMediaReply:
        out.u16(static_cast<std::uint16_t>(message.present.size()));
        for (const PresentMedium& row : message.present) {
            out.str(row.root, RootBytes);
            out.str(row.label, MaxLabelLength);
            out.u32(row.serial);
            out.u32(row.driveType);
        }
        break;
    case ServerKind::DeleteReply:
        out.u8(static_cast<std::uint8_t>(message.deleted));
        break;
    case ServerKind::ChangeReply:
        out.u8(static_cast<std::uint8_t>(message.change.outcome));
        out.u32(message.change.waitMs);
        break;
    case ServerKind::Refused:
        out.u8(static_cast<std::uint8_t>(message.refused));
        break;
    case ServerKind::MessageNotice:
        out.str(message.text, MaxNoticeTextBytes);
        out.str(message.caption, MaxNoticeTextBytes);
        out.u32(message.boxType);
        break;
    default:  // the kinds without fields
        break;
    }
    return std::move(out.bytes);
}

std::vector<std::uint8_t> encodeMediaPage(const std::vector<MediumRow>& all, std::uint32_t start) {
    ServerMessage page;
    page.kind = ServerKind::MediaReply;
    page.total = static_cast<std::uint32_t>(all.size());
    page.start = start;
    std::size_t size = MediaHeaderBytes;
    for (std::size_t i = start; i < all.size(); ++i) {
        const std::size_t row = MediumRowBytes + std::min(all[i].label.size(), MaxLabelLength);
        if (size + row > MaxMessageBytes) break;
        size += row;
        page.media.push_back(all[i]);
    }
    return encodeServerMessage(page);
}

}  // namespace ventrix
