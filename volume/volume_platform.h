// The platform calls behind the volume operations and enforcement, plus the
// program's one message-box seam. Implementations only carry the calls; every
// decision is made above them.
#pragma once

#include <cstdint>

namespace ventrix {

inline constexpr std::uint32_t DriveUnknown = 0;
inline constexpr std::uint32_t DriveNoRootDir = 1;
inline constexpr std::uint32_t DriveRemovable = 2;
inline constexpr std::uint32_t DriveFixed = 3;
inline constexpr std::uint32_t DriveRemote = 4;
inline constexpr std::uint32_t DriveCdrom = 5;
inline constexpr std::uint32_t DriveRamdisk = 6;

inline constexpr std::uint32_t FileShareRead = 1;
inline constexpr std::uint32_t FileShareWrite = 2;

inline constexpr std::uint32_t IoctlStorageEjectMedia = 0x2D4808;
inline constexpr std::uint32_t FsctlLockVolume = 0x90018;
inline constexpr std::uint32_t FsctlUnlockVolume = 0x9001C;
inline constexpr std::uint32_t FsctlDismountVolume = 0x90020;

inline constexpr std::uint32_t SemFailCriticalErrors = 1;
inline constexpr std::uint32_t MbOk = 0;
inline constexpr std::uint32_t MbIconError = 0x10;

class VolumePlatform {
public:
    using Device = std::intptr_t;
    static constexpr Device InvalidDevice = -1;

    virtual ~VolumePlatform() = default;
    // Two-call contract: size 0 and no buffer gives the size needed.
    virtual std::uint32_t getLogicalDriveStrings(std::uint32_t size, char* buffer) = 0;
    virtual std::uint32_t getDriveType(const char* root) = 0;
    virtual void setErrorMode(std::uint32_t mode) = 0;
    virtual bool getVolumeInformation(const char* root, char* label, std::uint32_t labelSize,
                                      std::uint32_t& serial) = 0;
    // GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_READONLY with the given share mode.
    virtual Device openDevice(const char* path, std::uint32_t shareMode) = 0;
    // Synchronous, no buffers; the result is never examined.
    virtual void deviceControl(Device device, std::uint32_t code) = 0;
    virtual void closeDevice(Device device) = 0;

    // For the disk requests: the given access rights (0 for a query) and share
    // mode, OPEN_EXISTING; on failure `error` holds the system's error code.
    virtual Device openDeviceFor(const char* path, std::uint32_t access, std::uint32_t shareMode,
                                 std::uint32_t& error) = 0;
    // Synchronous, with buffers: 0 when it succeeded, else the system's error code.
    virtual std::uint32_t deviceRequest(Device device, std::uint32_t code, const void* in, std::uint32_t inSize,
                                        void* out, std::uint32_t outSize, std::uint32_t& returned) = 0;
    // The file system's flags (GetVolumeInformation's), such as FILE_READ_ONLY_VOLUME.
    virtual bool getVolumeFlags(const char* root, std::uint32_t& flags) = 0;
    // Every message box of the program goes through here (owner may be null).
    virtual int showMessage(void* owner, const char* text, const char* caption, std::uint32_t type) = 0;
};

}  // namespace ventrix
