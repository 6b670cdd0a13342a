#include "policy/audit_trail.h"

namespace ventrix {
namespace {

class NoAuditTrail final : public AuditTrail {
public:
    void report(AuditEvent, std::initializer_list<std::string_view>) override {}
};

}  // namespace

AuditTrail& noAuditTrail() {
    static NoAuditTrail none;
    return none;
}

}  // namespace ventrix
