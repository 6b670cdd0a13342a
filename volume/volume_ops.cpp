#include "volume/volume_ops.h"

#include <cstring>

#include "volume/disk_attributes.h"

namespace ventrix {
namespace {

constexpr std::uint32_t LabelBufferSize = 260;  // MAX_PATH
constexpr std::uint32_t ShareReadWrite = FileShareRead | FileShareWrite;

// "\\.\E:" from "E:\": the device path takes only the letter and the colon.
std::string devicePath(std::string_view root) {
    return std::string("\\\\.\\").append(root.substr(0, 2));
}

// The list is a run of NUL-ended roots closed by an empty one; a root whose
// NUL lies beyond the buffer did not fit and is dropped.
std::vector<std::string> splitRoots(const std::vector<char>& buffer) {
    std::vector<std::string> roots;
    std::size_t pos = 0;
    while (pos < buffer.size() && buffer[pos] != '\0') {
        const void* nul = std::memchr(buffer.data() + pos, '\0', buffer.size() - pos);
        if (nul == nullptr) break;
        const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data());
        roots.emplace_back(buffer.data() + pos, end - pos);
        pos = end + 1;
    }
    return roots;
}

std::string diskPath(std::uint32_t disk) { return "\\\\.\\PhysicalDrive" + std::to_string(disk); }

// One request on a handle opened for it alone: the open's error, else the request's.
std::uint32_t request(VolumePlatform& platform, const std::string& path, std::uint32_t access, std::uint32_t code,
                      const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize) {
    std::uint32_t error = 0;
    const VolumePlatform::Device device = platform.openDeviceFor(path.c_str(), access, ShareReadWrite, error);
    if (device == VolumePlatform::InvalidDevice) return error != 0 ? error : ErrorAccessDenied;
    std::uint32_t returned = 0;
    error = platform.deviceRequest(device, code, in, inSize, out, outSize, returned);
    platform.closeDevice(device);
    if (error == 0 && returned < outSize) return ErrorNotSupported;  // an answer too short to read
    return error;
}

}  // namespace

std::string deviceErrorText(std::uint32_t error) {
    const char* name = nullptr;
    switch (error) {
    case 1: name = "the request is not valid for this device"; break;
    case 2: name = "the disk was not found"; break;
    case ErrorAccessDenied: name = "access is denied"; break;
    case ErrorWriteProtect: name = "the disk is write-protected"; break;
    case 21: name = "the device is not ready"; break;
    case ErrorNotSupported: name = "the request is not supported"; break;
    default: break;
    }
    const std::string number = "error " + std::to_string(error);
    return name != nullptr ? std::string(name) + " (" + number + ")" : number;
}

std::string formatSerialHex(std::uint32_t serial) {
    std::string text;
    do {
        text.insert(text.begin(), "0123456789ABCDEF"[serial & 0xF]);
        serial >>= 4;
    } while (serial != 0);
    return text;
}

char driveLetterFromUnitMask(std::uint32_t mask) {
    int index = 0;
    while ((mask & 1u) == 0 && index < 26) {
        mask >>= 1;
        ++index;
    }
    return static_cast<char>('A' + index);
}

bool isLockableDrive(std::string_view root, std::uint32_t type) {
    if (type == DriveCdrom) return true;
    // A: is the floppy the machine boots from; it stays usable.
    return type == DriveRemovable && !root.empty() && static_cast<unsigned char>(root.front()) >= 'B';
}

void VolumeOps::ejectMedia(std::string_view root) {
    const std::string path = devicePath(root);
    const VolumePlatform::Device device = platform_.openDevice(path.c_str(), FileShareRead);
    if (device == VolumePlatform::InvalidDevice) {
        platform_.showMessage(nullptr, UnableToOpenDevice, ErrorCaption, MbIconError | MbOk);
        return;
    }
    platform_.deviceControl(device, IoctlStorageEjectMedia);
    platform_.closeDevice(device);
}

// The volume opened shared for reading and writing, the requests sent in
// order whatever each answers, and closed; a volume that cannot be opened is left.
void VolumeOps::controlVolume(std::string_view root, std::initializer_list<std::uint32_t> codes) {
    const std::string path = devicePath(root);
    const VolumePlatform::Device device = platform_.openDevice(path.c_str(), ShareReadWrite);
    if (device == VolumePlatform::InvalidDevice) return;
    for (std::uint32_t code : codes) platform_.deviceControl(device, code);
    platform_.closeDevice(device);
}

void VolumeOps::lockVolume(std::string_view root) { controlVolume(root, {FsctlLockVolume}); }

// Dismount whatever the unlock answered: a volume that was never locked still goes.
void VolumeOps::releaseVolume(std::string_view root) { controlVolume(root, {FsctlUnlockVolume, FsctlDismountVolume}); }

bool VolumeOps::queryVolumeIdentity(std::string_view root, std::string& label, std::uint32_t& serial) {
    releaseVolume(root.substr(0, 3));
    return peekVolumeIdentity(root, label, serial);
}

bool VolumeOps::peekVolumeIdentity(std::string_view root, std::string& label, std::uint32_t& serial) {
    const std::string volumeRoot(root.substr(0, 3));
    // An empty drive must fail the query, not prompt the user to insert a disk.
    platform_.setErrorMode(SemFailCriticalErrors);
    char buffer[LabelBufferSize] = {};
    serial = 0;
    if (!platform_.getVolumeInformation(volumeRoot.c_str(), buffer, LabelBufferSize, serial)) return false;
    label.assign(buffer, strnlen(buffer, MaxLabelLength));
    return true;
}

void VolumeOps::seedDriveTable() {
    for (const std::string& root : driveRoots()) {
        if (isLockableDrive(root, platform_.getDriveType(root.c_str()))) tables_.setDriveLocked(root, true);
    }
}

std::uint32_t VolumeOps::volumeDisk(std::string_view root, VolumeDisk& found) {
    StorageDeviceNumber number{};
    const std::uint32_t error = request(platform_, devicePath(root), 0, IoctlStorageGetDeviceNumber, nullptr, 0,
                                        &number, sizeof number);
    found = {number.deviceType, number.deviceNumber};
    return error;
}

std::uint32_t VolumeOps::setDiskReadOnly(std::uint32_t disk, bool readOnly) {
    SetDiskAttributes set{};
    set.version = sizeof set;
    set.persist = 0;  // nothing outlives a restart or a re-plug
    set.attributes = readOnly ? DiskAttributeReadOnly : 0;
    set.attributesMask = DiskAttributeReadOnly;
    return request(platform_, diskPath(disk), GenericRead | GenericWrite, IoctlDiskSetDiskAttributes, &set,
                   sizeof set, nullptr, 0);
}

std::uint32_t VolumeOps::diskReadOnly(std::uint32_t disk, bool& readOnly) {
    GetDiskAttributes got{};
    const std::uint32_t error =
        request(platform_, diskPath(disk), 0, IoctlDiskGetDiskAttributes, nullptr, 0, &got, sizeof got);
    readOnly = error == 0 && (got.attributes & DiskAttributeReadOnly) != 0;
    return error;
}

std::uint32_t VolumeOps::volumeWritable(std::string_view root) {
    return request(platform_, devicePath(root), 0, IoctlDiskIsWritable, nullptr, 0, nullptr, 0);
}

// The dismount goes ahead even when open files keep the lock from being taken.
void VolumeOps::dismountVolume(std::string_view root) { controlVolume(root, {FsctlLockVolume, FsctlDismountVolume}); }

std::vector<std::string> VolumeOps::volumesOfDisk(std::uint32_t disk) {
    std::vector<std::string> found;
    for (const std::string& root : driveRoots()) {
        VolumeDisk where;
        if (volumeDisk(root, where) == 0 && where.deviceType == FileDeviceDisk && where.disk == disk)
            found.push_back(root);
    }
    return found;
}

std::vector<std::string> VolumeOps::driveRoots() {
    const std::uint32_t needed = platform_.getLogicalDriveStrings(0, nullptr);
    if (needed == 0 || needed == UINT32_MAX) return {};
    // One byte beyond what was asked for; zero-filled, so a second call that
    // no longer fits (a drive appeared meanwhile) yields only what it wrote.
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1, '\0');
    platform_.getLogicalDriveStrings(needed + 1, buffer.data());
    return splitRoots(buffer);
}

}  // namespace ventrix
