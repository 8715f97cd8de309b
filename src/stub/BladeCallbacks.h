// The blade's registered callbacks: module items that survive Finalize and a
// later Initialize. They are read at the moment of delivery without the
// module lock, so each slot is atomic.
#pragma once

#include <atomic>

#include "tarnstub.h"

struct BladeCallbacks {
    std::atomic<TarnConnectCallback> connect{nullptr};
    std::atomic<TarnNewPolicyCallback> newPolicy{nullptr};
    std::atomic<TarnNewOperationCallback> newOperation{nullptr};
    std::atomic<TarnActivationStatusCallback> activationStatus{nullptr};
    std::atomic<TarnPayloadResponseCallback> payloadResponse{nullptr};
    std::atomic<TarnReportIncidentCallback> reportIncident{nullptr};
};
