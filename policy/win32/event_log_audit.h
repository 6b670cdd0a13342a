// The audit trail in the Windows Application log, source "Ventrix". The
// source is registered once (construction) and released at exit
// (destruction); where the log cannot be reached, events are dropped.
#pragma once

#include <windows.h>

#include "policy/audit_trail.h"

namespace ventrix {

inline constexpr const char* EventSourceName = "Ventrix";

// The full event identifier: the public id in the low 16 bits, the
// severity in the top two, as the message table defines them.
DWORD eventIdentifier(AuditEvent event);
WORD eventType(AuditEvent event);

class EventLogAudit final : public AuditTrail {
public:
    EventLogAudit() : source_(RegisterEventSourceA(nullptr, EventSourceName)) {}
    ~EventLogAudit() override {
        if (source_) DeregisterEventSource(source_);
    }
    EventLogAudit(const EventLogAudit&) = delete;
    EventLogAudit& operator=(const EventLogAudit&) = delete;

    void report(AuditEvent event, std::initializer_list<std::string_view> strings) override;

private:
    HANDLE source_;
};

}  // namespace ventrix
