// The peer of most blade types: it forwards each notification to the plain
// callback the blade registered, and only logs adaptor errors.
#pragma once

#include <atomic>

#include "notify/TarnNotificationPeer.h"
#include "stub/BladeCallbacks.h"

class TarnStubDefaultNotificationPeer : public TarnNotificationPeer {
public:
    // serving is its session's: true while the session is the blade's, so a
    // peer of a session being stopped calls the blade no more.
    TarnStubDefaultNotificationPeer(const BladeCallbacks& callbacks, const std::atomic<bool>& serving)
        : callbacks_(callbacks), serving_(serving) {}
    ~TarnStubDefaultNotificationPeer() override = default;
    void OnConnect() override;
    void OnNewPolicy(const PolicyInfo& policy) override;
    void OnNewOperation(GUID opId, ULONG opType, const std::wstring& opContent) override;
    void OnActivationStatusChanged(PacList pacs) override;
    void OnPayloadResponse(const std::wstring& payloadType, const std::wstring& payload) override;
    void OnReportIncident(const std::wstring& incidentId, ULONG incidentType, const std::wstring& detail1,
                          const std::wstring& detail2, const std::wstring& detail3, LONG value1, ULONG value2,
                          ULONG value3, const std::wstring& detail4) override;

private:
    // The callback of a slot, if the blade registered one and the session
    // still serves the blade; both are read at the moment of delivery.
    template <typename Callback>
    Callback Deliverable(const std::atomic<Callback>& slot) const {
        return serving_.load() ? slot.load() : nullptr;
    }

    const BladeCallbacks& callbacks_;
    const std::atomic<bool>& serving_;
};
