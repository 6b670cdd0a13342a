// A machine's drives for tests: letters, types and media, with every platform
// call recorded in order as a readable line, refusable opens and a hook that
// runs while a message box is "open" (to deliver nested arrivals).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "volume/volume_platform.h"

namespace ventrix::testing {

struct FakeDrive {
    std::uint32_t type = DriveRemovable;
    bool hasMedium = false;
    std::string label;
    std::uint32_t serial = 0;
    std::optional<std::uint32_t> disk;  // \\.\PhysicalDriveN it is on, if any
};

// By default a disk answers as under Wine: every attribute request error 50.
struct FakeDisk {
    bool readOnly = false;
    std::uint32_t setError = 50;  // 0: the attribute is set
    bool showsReadOnly = true;    // the volume reports read-only once set
};

struct ShownMessage {
    void* owner;
    std::string text;
    std::string caption;
    std::uint32_t type;
};

class FakeVolumePlatform : public VolumePlatform {
public:
    // Drives are listed in letter order, as the system lists them.
    FakeDrive& addDrive(char letter, std::uint32_t type);
    FakeDrive& addDriveWithMedium(char letter, std::uint32_t type, std::string label, std::uint32_t serial);
    void removeDrive(char letter);
    void refuseOpen(const std::string& path) { refused_.insert(path); }
    FakeDisk& disk(std::uint32_t number) { return disks_[number]; }
    std::function<void(const std::string&)> beforeOpenFor;
    void clearCalls() { calls_.clear(); }
    // Another seam's call, recorded in the same order as this one's.
    void note(std::string line) { calls_.push_back(std::move(line)); }

    const std::vector<std::string>& calls() const { return calls_; }
    const std::vector<ShownMessage>& messages() const { return messages_; }
    std::size_t openDevices() const { return open_.size(); }

    // Runs after the size query of the drive enumeration (a drive appearing meanwhile).
    std::function<void()> afterSizeQuery;
    // When a list does not fit, write as much as fits instead of nothing.
    bool writePartialList = false;
    // The enumeration itself fails: every call reports 0.
    bool enumerationFails = false;
    // Runs while a message box is up, after the call is recorded.
    std::function<void(const ShownMessage&)> onMessage;

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

private:
    const FakeDrive* driveAt(const char* root) const;
    std::string driveList() const;

    std::map<char, FakeDrive> drives_;
    std::map<std::uint32_t, FakeDisk> disks_;
    std::set<std::string> refused_;
    std::map<Device, std::string> open_;
    std::vector<std::string> calls_;
    std::vector<ShownMessage> messages_;
    Device nextDevice_ = 100;
};

}  // namespace ventrix::testing
