#include "policy/win32/event_log_audit.h"

#include <string>

namespace ventrix {

DWORD eventIdentifier(AuditEvent event) {
    DWORD severity = 0x40000000;  // informational
    if (severityOf(event) == AuditSeverity::Warning) severity = 0x80000000;
    if (severityOf(event) == AuditSeverity::Error) severity = 0xC0000000;
    return severity | static_cast<DWORD>(event);
}

WORD eventType(AuditEvent event) {
    switch (severityOf(event)) {
    case AuditSeverity::Warning: return EVENTLOG_WARNING_TYPE;
    case AuditSeverity::Error: return EVENTLOG_ERROR_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

void EventLogAudit::report(AuditEvent event, std::initializer_list<std::string_view> strings) {
    if (!source_) return;
    constexpr std::size_t MaxStrings = 4;
    std::string copies[MaxStrings];  // NUL-terminated copies for the call
    const char* pointers[MaxStrings] = {};
    WORD count = 0;
    for (std::string_view text : strings) {
        if (count == MaxStrings) break;
        copies[count].assign(text);
        pointers[count] = copies[count].c_str();
        ++count;
    }
    // A full or missing log is not protection's concern: the result is ignored.
    ReportEventA(source_, eventType(event), 0, eventIdentifier(event), nullptr, count, 0,
                 count ? pointers : nullptr, nullptr);
}

}  // namespace ventrix
