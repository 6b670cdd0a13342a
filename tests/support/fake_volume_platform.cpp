#include "tests/support/fake_volume_platform.h"

#include <algorithm>
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

// "\\.\E:" names a drive; "\\.\PhysicalDriveN" a disk some drive is on.
const FakeDrive* FakeVolumePlatform::driveOfDevice(const std::string& path) const {
    if (path.size() != 6 || path.compare(0, 4, "\\\\.\\") != 0 || path[5] != ':') return nullptr;
    const auto found = drives_.find(path[4]);
    return found == drives_.end() ? nullptr : &found->second;
}

FakeDisk* FakeVolumePlatform::diskNamed(const std::string& path) {
    const std::string prefix = "\\\\.\\PhysicalDrive";
    if (path.compare(0, prefix.size(), prefix) != 0) return nullptr;
    const std::uint32_t number = static_cast<std::uint32_t>(std::stoul(path.substr(prefix.size())));
    for (const auto& [letter, drive] : drives_) {
        if (drive.disk == number) return &disks_[number];
    }
    return nullptr;
}

VolumePlatform::Device FakeVolumePlatform::openDeviceFor(const char* path, std::uint32_t access,
                                                         std::uint32_t shareMode, std::uint32_t& error) {
    if (beforeOpenFor) beforeOpenFor(path);
    const std::string line = std::string("open ") + path + " access=" + hex(access) + " share=" +
                             std::to_string(shareMode);
    if (refused_.count(path) != 0) {
        calls_.push_back(line + " refused");
        error = 5;  // access denied
        return InvalidDevice;
    }
    if (driveOfDevice(path) == nullptr && diskNamed(path) == nullptr) {
        calls_.push_back(line + " not-found");
        error = 2;
        return InvalidDevice;
    }
    calls_.push_back(line);
    error = 0;
    const Device device = nextDevice_++;
    open_[device] = path;
    return device;
}

// A drive's handle answers its device number and whether it takes writes; a
// disk's, its attributes. The set request's bytes are written into the line.
std::uint32_t FakeVolumePlatform::answer(const std::string& path, std::uint32_t code, const void* in,
                                         std::uint32_t inSize, void* out, std::uint32_t outSize,
                                         std::uint32_t& returned, std::string& line) {
    const FakeDrive* drive = driveOfDevice(path);
    FakeDisk* disk = drive != nullptr ? (drive->disk ? &disks_[*drive->disk] : nullptr) : diskNamed(path);
    if (code == IoctlStorageGetDeviceNumber && drive != nullptr) {
        if (!drive->disk || outSize < sizeof(StorageDeviceNumber)) return 1;  // incorrect function
        const StorageDeviceNumber number{drive->type == DriveCdrom ? 2u : 7u, *drive->disk, 1};
        std::memcpy(out, &number, sizeof number);
        returned = sizeof number;
        return 0;
    }
    if (code == IoctlDiskSetDiskAttributes && drive == nullptr && disk != nullptr) {
        SetDiskAttributes set{};
        std::memcpy(&set, in, std::min<std::size_t>(inSize, sizeof set));
        line += " persist=" + std::to_string(set.persist) + " attributes=" + hex(static_cast<std::uint32_t>(set.attributes)) +
                " mask=" + hex(static_cast<std::uint32_t>(set.attributesMask)) + " version=" + std::to_string(set.version);
        if (disk->setError != 0) return disk->setError;
        if ((set.attributesMask & DiskAttributeReadOnly) != 0)
            disk->readOnly = (set.attributes & DiskAttributeReadOnly) != 0;
        return 0;
    }
    if (disk == nullptr || disk->setError == ErrorNotSupported) return ErrorNotSupported;  // as Wine answers
    if (code == IoctlDiskGetDiskAttributes && drive == nullptr && outSize >= sizeof(GetDiskAttributes)) {
        const GetDiskAttributes got{sizeof(GetDiskAttributes), 0, disk->readOnly ? DiskAttributeReadOnly : 0};
        std::memcpy(out, &got, sizeof got);
        returned = sizeof got;
        return 0;
    }
    if (code == IoctlDiskIsWritable && drive != nullptr)
        return disk->readOnly && disk->showsReadOnly ? ErrorWriteProtect : 0;
    return ErrorNotSupported;
}

std::uint32_t FakeVolumePlatform::deviceRequest(Device device, std::uint32_t code, const void* in,
                                                std::uint32_t inSize, void* out, std::uint32_t outSize,
                                                std::uint32_t& returned) {
    std::string line = "request " + hex(code) + " in=" + std::to_string(inSize);
    returned = 0;
    const auto handle = open_.find(device);
    const std::uint32_t error =
        handle == open_.end() ? 6 : answer(handle->second, code, in, inSize, out, outSize, returned, line);
    if (handle == open_.end()) line += " bad-handle";
    if (error != 0) line += " -> " + std::to_string(error);
    calls_.push_back(line);
    return error;
}

bool FakeVolumePlatform::getVolumeFlags(const char* root, std::uint32_t& flags) {
    calls_.push_back(std::string("flags ") + root);
    flags = 0;
    const FakeDrive* drive = driveAt(root);
    if (drive == nullptr || !drive->hasMedium) return false;
    if (drive->disk) {
        const FakeDisk& disk = disks_[*drive->disk];
        if (disk.readOnly && disk.showsReadOnly) flags = FileReadOnlyVolume;
    }
    return true;
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
