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

VolumePlatform::Device Win32VolumePlatform::openDeviceFor(const char* path, std::uint32_t access,
                                                          std::uint32_t shareMode, std::uint32_t& error) {
    HANDLE device = CreateFileA(path, access, shareMode, nullptr, OPEN_EXISTING, 0, nullptr);
    error = device == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return device == INVALID_HANDLE_VALUE ? InvalidDevice : reinterpret_cast<Device>(device);
}

std::uint32_t Win32VolumePlatform::deviceRequest(Device device, std::uint32_t code, const void* in,
                                                 std::uint32_t inSize, void* out, std::uint32_t outSize,
                                                 std::uint32_t& returned) {
    DWORD got = 0;
    const BOOL done = DeviceIoControl(toHandle(device), code, const_cast<void*>(in), inSize, out, outSize, &got,
                                      nullptr);
    returned = got;
    return done ? 0 : GetLastError();
}

bool Win32VolumePlatform::getVolumeFlags(const char* root, std::uint32_t& flags) {
    DWORD found = 0;
    const BOOL answered = GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, &found, nullptr, 0);
    flags = found;
    return answered != FALSE;
}

int Win32VolumePlatform::showMessage(void* owner, const char* text, const char* caption, std::uint32_t type) {
    return MessageBoxA(static_cast<HWND>(owner), text, caption, type);
}

}  // namespace ventrix
