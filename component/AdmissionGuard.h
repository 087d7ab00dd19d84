#pragma once

#include "UUId.h"

class Haulwright;

// Gives an admitted request's place back unless it was handed to the registry,
// whichever way the handler leaves. Lives on the handler's stack.
class AdmissionGuard
{
public:
    AdmissionGuard(Haulwright& component, const UUId& sessionId);
    ~AdmissionGuard();
    AdmissionGuard(const AdmissionGuard&) = delete;
    AdmissionGuard& operator=(const AdmissionGuard&) = delete;

    // Release now (before a reply is sent).
    void release();
    // The place went to the registry.
    void dismiss() { held = false; }

private:
    Haulwright& component;
    UUId sessionId;
    bool held;
};
