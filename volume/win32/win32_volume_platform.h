// The volume platform on Win32: each method is one system call with the
// parameters the volume operations rely on.
#pragma once

#include "volume/volume_platform.h"

namespace ventrix {

class Win32VolumePlatform : public VolumePlatform {
public:
    std::uint32_t getLogicalDriveStrings(std::uint32_t size, char* buffer) override;
    std::uint32_t getDriveType(const char* root) override;
    void setErrorMode(std::uint32_t mode) override;
    bool getVolumeInformation(const char* root, char* label, std::uint32_t labelSize,
                              std::uint32_t& serial) override;
    Device openDevice(const char* path, std::uint32_t shareMode) override;
    void deviceControl(Device device, std::uint32_t code) override;
    void closeDevice(Device device) override;
    Device openDeviceFor(const char* path, std::uint32_t access, std::uint32_t shareMode,
                         std::uint32_t& error) override;
    std::uint32_t deviceRequest(Device device, std::uint32_t code, const void* in, std::uint32_t inSize, void* out,
                                std::uint32_t outSize, std::uint32_t& returned) override;
    bool getVolumeFlags(const char* root, std::uint32_t& flags) override;
    int showMessage(void* owner, const char* text, const char* caption, std::uint32_t type) override;
};

}  // namespace ventrix
