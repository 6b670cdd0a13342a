// Operations on drives and volumes: enumeration, the lockable-drive filter,
// eject / lock / release requests and the volume identity query.
#pragma once

#include <cstdint>
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

    // The roots of all present drives, in the system's order (two-call enumeration).
    std::vector<std::string> driveRoots();
    VolumePlatform& platform() { return platform_; }

private:
    VolumePlatform& platform_;
    PolicyTables& tables_;
};

}  // namespace ventrix
