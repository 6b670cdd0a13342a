// The requests that make a disk read-only, declared here once from their
// documented layout: MinGW's headers lack them. Portable, so the decisions
// above the platform seam build the very bytes Windows receives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ventrix {

// CTL_CODE(IOCTL_STORAGE_BASE, 0x420, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr std::uint32_t IoctlStorageGetDeviceNumber = 0x002D1080;
// CTL_CODE(IOCTL_DISK_BASE, 0x3d, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
inline constexpr std::uint32_t IoctlDiskSetDiskAttributes = 0x0007C0F4;
// CTL_CODE(IOCTL_DISK_BASE, 0x3c, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr std::uint32_t IoctlDiskGetDiskAttributes = 0x000700F0;
// CTL_CODE(IOCTL_DISK_BASE, 0x0009, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr std::uint32_t IoctlDiskIsWritable = 0x00070024;

inline constexpr std::uint64_t DiskAttributeReadOnly = 2;
inline constexpr std::uint32_t FileReadOnlyVolume = 0x00080000;  // GetVolumeInformation's flag

inline constexpr std::uint32_t GenericRead = 0x80000000;
inline constexpr std::uint32_t GenericWrite = 0x40000000;
inline constexpr std::uint32_t ErrorAccessDenied = 5;
inline constexpr std::uint32_t ErrorWriteProtect = 19;
inline constexpr std::uint32_t ErrorNotSupported = 50;

// STORAGE_DEVICE_NUMBER
struct StorageDeviceNumber {
    std::uint32_t deviceType;
    std::uint32_t deviceNumber;  // N of \\.\PhysicalDriveN
    std::uint32_t partitionNumber;
};

// SET_DISK_ATTRIBUTES: Persist FALSE, so nothing outlives a restart or a re-plug.
struct SetDiskAttributes {
    std::uint32_t version;  // the size of the structure, as its callers pass it
    std::uint8_t persist;
    std::uint8_t reserved1[3];
    alignas(8) std::uint64_t attributes;
    alignas(8) std::uint64_t attributesMask;
    std::uint32_t reserved2[4];
};

// GET_DISK_ATTRIBUTES
struct GetDiskAttributes {
    std::uint32_t version;
    std::uint32_t reserved1;
    alignas(8) std::uint64_t attributes;
};

static_assert(sizeof(StorageDeviceNumber) == 12);
static_assert(sizeof(SetDiskAttributes) == 40);
static_assert(offsetof(SetDiskAttributes, persist) == 4);
static_assert(offsetof(SetDiskAttributes, attributes) == 8);
static_assert(offsetof(SetDiskAttributes, attributesMask) == 16);
static_assert(offsetof(SetDiskAttributes, reserved2) == 24);
static_assert(sizeof(GetDiskAttributes) == 16);
static_assert(offsetof(GetDiskAttributes, attributes) == 8);

}  // namespace ventrix
