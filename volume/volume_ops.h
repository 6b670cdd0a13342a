// Operations on drives and volumes: enumeration, the lockable-drive filter,
// eject / lock / release requests and the volume identity query.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "policy/policy_tables.h"
#include "volume/volume_platform.h"

namespace ventrix {

inline constexpr const char* UnableToOpenDevice = "Unable to open device";
inline constexpr const char* ErrorCaption = "Error";

char driveLetterFromUnitMask(std::uint32_t mask);
// A volume serial number as "%X" gives it: upper case, no prefix, no leading zeros.
std::string formatSerialHex(std::uint32_t serial);
bool isLockableDrive(std::string_view root, std::uint32_t type);
// Why a disk request failed, in words: the few errors that matter here by
// name, any other by its number ("error 1117").
std::string deviceErrorText(std::uint32_t error);

// STORAGE_DEVICE_NUMBER's device types: only a disk's number names a \\.\PhysicalDriveN.
inline constexpr std::uint32_t FileDeviceCdRom = 2;
inline constexpr std::uint32_t FileDeviceDisk = 7;

// Where a volume lives: the disk number and its kind (a CD drive's number
// counts CD drives, not disks).
struct VolumeDisk {
    std::uint32_t deviceType = 0;
    std::uint32_t disk = 0;
};

class VolumeOps {
public:
    VolumeOps(VolumePlatform& platform, PolicyTables& tables) : platform_(platform), tables_(tables) {}

    void ejectMedia(std::string_view root);
    void lockVolume(std::string_view root);
    void releaseVolume(std::string_view root);
    bool queryVolumeIdentity(std::string_view root, std::string& label, std::uint32_t& serial);
    // The identity read alone: no release and no dismount, so open files stay open.
    bool peekVolumeIdentity(std::string_view root, std::string& label, std::uint32_t& serial);
    void seedDriveTable();

    // The disk requests, each on a handle of its own opened for just that
    // request; each answers 0 or the system's error code.
    std::uint32_t volumeDisk(std::string_view root, VolumeDisk& found);
    std::uint32_t setDiskReadOnly(std::uint32_t disk, bool readOnly);
    std::uint32_t diskReadOnly(std::uint32_t disk, bool& readOnly);
    // 0 when the volume takes writes, ErrorWriteProtect when the disk refuses them.
    std::uint32_t volumeWritable(std::string_view root);
    // Locked and dismounted, so that Windows mounts it again as the disk now is.
    void dismountVolume(std::string_view root);
    // The roots of the present volumes on that disk.
    std::vector<std::string> volumesOfDisk(std::uint32_t disk);

    // The roots of all present drives, in the system's order (two-call enumeration).
    std::vector<std::string> driveRoots();
    VolumePlatform& platform() { return platform_; }

private:
    void controlVolume(std::string_view root, std::initializer_list<std::uint32_t> codes);
    VolumePlatform& platform_;
    PolicyTables& tables_;
};

}  // namespace ventrix
