// An audit trail that records each event as "event ID string|string|...",
// in its own list and, when given a platform fake, among that fake's calls so
// that events are asserted in order with the boxes and volume requests.
#pragma once

#include <string>
#include <vector>

#include "policy/audit_trail.h"
#include "tests/support/fake_volume_platform.h"

namespace ventrix::testing {

class RecordingAudit final : public AuditTrail {
public:
    void interleaveWith(FakeVolumePlatform& platform) { platform_ = &platform; }

    void report(AuditEvent event, std::initializer_list<std::string_view> strings) override {
        std::string line = "event " + std::to_string(static_cast<unsigned>(event));
        const char* separator = " ";
        for (std::string_view text : strings) {
            line.append(separator).append(text);
            separator = "|";
        }
        events_.push_back(line);
        if (platform_) platform_->note(line);
    }

    const std::vector<std::string>& events() const { return events_; }
    void clear() { events_.clear(); }

private:
    FakeVolumePlatform* platform_ = nullptr;
    std::vector<std::string> events_;
};

}  // namespace ventrix::testing
