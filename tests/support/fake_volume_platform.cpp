#include "tests/support/fake_volume_platform.h"

#include <cstdio>
#include <cstring>

#include "volume/disk_attributes.h"

namespace ventrix::testing {
namespace {

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

bool allZero(const char* buffer, std::uint32_t size) {
    for (std::uint32_t i = 0; i < size; ++i) {
        if (buffer[i] != '\0') return false;
    }
    return true;
}

}  // namespace

FakeDrive& FakeVolumePlatform::addDrive(char letter, std::uint32_t type) {
    FakeDrive& drive = drives_[letter];
    drive = FakeDrive{};
    drive.type = type;
    return drive;
}

FakeDrive& FakeVolumePlatform::addDriveWithMedium(char letter, std::uint32_t type, std::string label,
                                                  std::uint32_t serial) {
    FakeDrive& drive = addDrive(letter, type);
    drive.hasMedium = true;
    drive.label = std::move(label);
    drive.serial = serial;
    return drive;
}

void FakeVolumePlatform::removeDrive(char letter) { drives_.erase(letter); }

const FakeDrive* FakeVolumePlatform::driveAt(const char* root) const {
    if (root == nullptr || std::strlen(root) != 3 || root[1] != ':' || root[2] != '\\') return nullptr;
    auto found = drives_.find(root[0]);
    return found == drives_.end() ? nullptr : &found->second;
}

std::string FakeVolumePlatform::driveList() const {
    std::string list;
    for (const auto& [letter, drive] : drives_) {
        list += letter;
        list.append(":\\");
        list.push_back('\0');
    }
    list.push_back('\0');
    return list;
}

// As the system does: too small a buffer gets the size needed (list plus its
// closing NUL) and no text; a fitting one gets the list and its length
// without the closing NUL.
std::uint32_t FakeVolumePlatform::getLogicalDriveStrings(std::uint32_t size, char* buffer) {
    calls_.push_back("drives size=" + std::to_string(size));
    if (enumerationFails) return 0;
    const std::string list = driveList();
    const auto needed = static_cast<std::uint32_t>(list.size());
    if (size < needed) {
        if (writePartialList && buffer != nullptr) std::memcpy(buffer, list.data(), size);
        if (size == 0 && afterSizeQuery) afterSizeQuery();
        return needed;
    }
    std::memcpy(buffer, list.data(), list.size());
    return needed - 1;
}

std::uint32_t FakeVolumePlatform::getDriveType(const char* root) {
    calls_.push_back(std::string("type ") + root);
    const FakeDrive* drive = driveAt(root);
    return drive == nullptr ? DriveNoRootDir : drive->type;
}

void FakeVolumePlatform::setErrorMode(std::uint32_t mode) {
    calls_.push_back("errormode " + std::to_string(mode));
}

bool FakeVolumePlatform::getVolumeInformation(const char* root, char* label, std::uint32_t labelSize,
                                              std::uint32_t& serial) {
    std::string line = std::string("query ") + root + " size=" + std::to_string(labelSize);
    if (!allZero(label, labelSize)) line += " dirty-buffer";
    calls_.push_back(line);
    const FakeDrive* drive = driveAt(root);
    if (drive == nullptr || !drive->hasMedium || drive->label.size() >= labelSize) return false;
    std::memcpy(label, drive->label.c_str(), drive->label.size() + 1);
    serial = drive->serial;
    return true;
}

VolumePlatform::Device FakeVolumePlatform::openDevice(const char* path, std::uint32_t shareMode) {
    const std::string line = std::string("open ") + path + " share=" + std::to_string(shareMode);
    if (refused_.count(path) != 0) {
        calls_.push_back(line + " refused");
        return InvalidDevice;
    }
    calls_.push_back(line);
    const Device device = nextDevice_++;
    open_[device] = path;
    return device;
}

void FakeVolumePlatform::deviceControl(Device device, std::uint32_t code) {
    calls_.push_back("ioctl " + hex(code) + (open_.count(device) != 0 ? "" : " bad-handle"));
}

VolumePlatform::Device FakeVolumePlatform::openDeviceFor(const char* path, std::uint32_t access,
                                                         std::uint32_t shareMode, std::uint32_t& error) {
    if (beforeOpenFor) beforeOpenFor(path);
    error = refused_.count(path) != 0 ? 5 : 0;  // access denied
    calls_.push_back(std::string("open ") + path + " access=" + hex(access) + " share=" + std::to_string(shareMode) +
                     (error != 0 ? " refused" : ""));
    if (error != 0) return InvalidDevice;
    open_[nextDevice_] = path;
    return nextDevice_++;
}

// "\\.\E:" answers its disk's number and whether it takes writes;
// "\\.\PhysicalDriveN" the disk's attributes, the set request's bytes written into the line.
std::uint32_t FakeVolumePlatform::deviceRequest(Device device, std::uint32_t code, const void* in,
                                                std::uint32_t inSize, void* out, std::uint32_t, std::uint32_t& returned) {
    std::string line = "request " + hex(code) + " in=" + std::to_string(inSize);
    const std::string& path = open_.at(device);
    const auto drive = drives_.find(path.size() == 6 ? path[4] : '\0');
    const bool isDrive = drive != drives_.end();
    const bool hasDisk = isDrive ? drive->second.disk.has_value() : path.size() > 17;
    const auto number = std::uint32_t(isDrive ? drive->second.disk.value_or(0) : hasDisk ? std::stoul(path.substr(17)) : 0);
    FakeDisk& disk = disks_[number];
    std::uint32_t error = ErrorNotSupported;  // as Wine answers
    returned = 0;
    if (!hasDisk) {
        error = 1;  // incorrect function: no disk's volume
    } else if (code == IoctlStorageGetDeviceNumber && isDrive) {
        const StorageDeviceNumber found{drive->second.type == DriveCdrom ? 2u : 7u, number, 1};
        std::memcpy(out, &found, returned = sizeof found);
        error = 0;
    } else if (code == IoctlDiskSetDiskAttributes) {
        SetDiskAttributes set{};
        std::memcpy(&set, in, sizeof set);
        line += " persist=" + std::to_string(set.persist) + " attributes=" + hex(std::uint32_t(set.attributes)) +
                " mask=" + hex(std::uint32_t(set.attributesMask)) + " version=" + std::to_string(set.version);
        if ((error = disk.setError) == 0) disk.readOnly = (set.attributes & DiskAttributeReadOnly) != 0;
    } else if (code == IoctlDiskGetDiskAttributes && disk.setError != ErrorNotSupported) {
        const GetDiskAttributes got{sizeof(GetDiskAttributes), 0, disk.readOnly ? DiskAttributeReadOnly : 0};
        std::memcpy(out, &got, returned = sizeof got);
        error = 0;
    } else if (code == IoctlDiskIsWritable) {
        error = disk.readOnly && disk.showsReadOnly ? ErrorWriteProtect : 0;
    }
    calls_.push_back(error != 0 ? line + " -> " + std::to_string(error) : line);
    return error;
}

bool FakeVolumePlatform::getVolumeFlags(const char* root, std::uint32_t& flags) {
    calls_.push_back(std::string("flags ") + root);
    const FakeDrive* drive = driveAt(root);
    const FakeDisk* disk = drive != nullptr && drive->disk ? &disks_[drive->disk.value_or(0)] : nullptr;
    flags = disk != nullptr && disk->readOnly && disk->showsReadOnly ? FileReadOnlyVolume : 0;
    return drive != nullptr && drive->hasMedium;
}

void FakeVolumePlatform::closeDevice(Device device) {
    calls_.push_back(open_.erase(device) != 0 ? "close" : "close bad-handle");
}

int FakeVolumePlatform::showMessage(void* owner, const char* text, const char* caption, std::uint32_t type) {
    ShownMessage message{owner, text, caption, type};
    calls_.push_back("message " + message.caption + ": " + message.text);
    messages_.push_back(message);
    if (onMessage) {
        auto hook = onMessage;  // the hook may replace itself
        hook(message);
    }
    return 1;  // IDOK
}

}  // namespace ventrix::testing
