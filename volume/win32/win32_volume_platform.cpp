#include "volume/win32/win32_volume_platform.h"

#include <windows.h>

namespace ventrix {
namespace {

HANDLE toHandle(VolumePlatform::Device device) { return reinterpret_cast<HANDLE>(device); }

}  // namespace

std::uint32_t Win32VolumePlatform::getLogicalDriveStrings(std::uint32_t size, char* buffer) {
    return GetLogicalDriveStringsA(size, buffer);
}

std::uint32_t Win32VolumePlatform::getDriveType(const char* root) { return GetDriveTypeA(root); }

void Win32VolumePlatform::setErrorMode(std::uint32_t mode) { SetErrorMode(mode); }

bool Win32VolumePlatform::getVolumeInformation(const char* root, char* label, std::uint32_t labelSize,
                                               std::uint32_t& serial) {
    DWORD volumeSerial = serial;
    const BOOL answered = GetVolumeInformationA(root, label, labelSize, &volumeSerial, nullptr, nullptr, nullptr, 0);
    serial = volumeSerial;
    return answered != FALSE;
}

VolumePlatform::Device Win32VolumePlatform::openDevice(const char* path, std::uint32_t shareMode) {
    HANDLE device = CreateFileA(path, GENERIC_READ, shareMode, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_READONLY,
                                nullptr);
    if (device == INVALID_HANDLE_VALUE) return InvalidDevice;
    return reinterpret_cast<Device>(device);
}

void Win32VolumePlatform::deviceControl(Device device, std::uint32_t code) {
    DWORD returned = 0;
    DeviceIoControl(toHandle(device), code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

void Win32VolumePlatform::closeDevice(Device device) { CloseHandle(toHandle(device)); }

int Win32VolumePlatform::showMessage(void* owner, const char* text, const char* caption, std::uint32_t type) {
    return MessageBoxA(static_cast<HWND>(owner), text, caption, type);
}

}  // namespace ventrix
