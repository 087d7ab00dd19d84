#include "AdmissionGuard.h"

#include "Haulwright.h"

AdmissionGuard::AdmissionGuard(Haulwright& owner, const UUId& id) : component(owner), sessionId(id), held(true) {}

AdmissionGuard::~AdmissionGuard() { release(); }

void AdmissionGuard::release()
{
    if (held) {
        held = false;
        component.releaseClaim(sessionId);
    }
}
