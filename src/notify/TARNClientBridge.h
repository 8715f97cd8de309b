// TARNClientBridge: the callback object the adaptor hands to the Tarn
// server. It answers at once: it checks and copies what the server sends and
// delivers it to the notification peer on a detached thread of its own.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "notify/BridgeOwner.h"
#include "server/TarnServer.h"
#include "win/raii.h"

class TarnNotificationPeer;
// One delivery's place in the order of its kind.
struct DeliveryTurn;

class TARNClientBridge final : public ITARNClient, public IKestrel {
public:
    // A new bridge with one reference; throws std::bad_alloc when it cannot
    // be made.
    static win::ComPtr<TARNClientBridge> Create();
    virtual ~TARNClientBridge();
    TARNClientBridge(const TARNClientBridge&) = delete;
    TARNClientBridge& operator=(const TARNClientBridge&) = delete;

    // IUnknown, shared by both interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ITARNClient
    HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY* payload, BSTR payloadType) override;
    HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY** payload, BSTR* payloadType) override;
    HRESULT STDMETHODCALLTYPE ServerClosing() override;
    HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY* pacList) override;
    HRESULT STDMETHODCALLTYPE GetAvailability() override;
    HRESULT STDMETHODCALLTYPE PropertyChange(LONG a1, LONG a2, BSTR a3, BSTR a4, VARIANT a5) override;
    HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY** policies) override;
    HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR description) override;
    HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID opId, ULONG opType, BSTR opContent) override;

    // IKestrel (only handed out to a server when the blade type is 13).
    HRESULT STDMETHODCALLTYPE ReportIncident(BSTR incidentId, ULONG incidentType, BSTR detail1, BSTR detail2,
                                             BSTR detail3, LONG value1, ULONG value2, ULONG value3,
                                             BSTR detail4) override;

    void SetAdaptor(IBridgeOwner* adaptor);
    void SetNotificationPeer(TarnNotificationPeer* peer);

    // Cuts the bridge off from the adaptor and the peer. The server may keep
    // the bridge after the adaptor is gone; from here on its calls find no
    // adaptor and no peer, and deliveries still waiting for their turn are
    // dropped. Returns once every delivery that had already reached the
    // adaptor or the peer has finished with them. Should the server still
    // hold the bridge then, the module stays loaded for good: the server may
    // call it whenever it likes.
    void Detach();

    // The kinds of delivery. Deliveries of one kind reach the peer one at a
    // time, in the order in which the server's calls arrived.
    enum class DeliveryKind { Policy, Operation, PayloadResponse, Activation, Count };

    // A hold on the adaptor and the peer for one call or delivery: while it
    // exists, Detach waits, and the bridge keeps a reference for it. Empty
    // pointers when detached.
    class Hold {
    public:
        explicit Hold(TARNClientBridge& bridge);
        ~Hold();
        Hold(Hold&& other) noexcept;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        Hold& operator=(Hold&&) = delete;

        IBridgeOwner* Adaptor() const { return adaptor_; }
        TarnNotificationPeer* Peer() const { return peer_; }
        const TARNClientBridge* Bridge() const { return bridge_; }
        // Waits until the delivery before this one has finished (true), or
        // until the bridge is being detached (false).
        bool AwaitTurn(HANDLE previousDone) const;

    private:
        TARNClientBridge* bridge_;
        IBridgeOwner* adaptor_ = nullptr;
        TarnNotificationPeer* peer_ = nullptr;
    };

private:
    TARNClientBridge();
    void EndHold();
    // Starts the delivery of one notification on a detached thread, after
    // the one of the same kind before it. deliver(peer) runs there.
    template <typename Deliver>
    HRESULT StartDelivery(DeliveryKind kind, const char* threadName, Hold hold, Deliver deliver);
    // Makes turn the last of its kind; returns the one it follows, if any.
    std::shared_ptr<DeliveryTurn> TakeTurn(DeliveryKind kind, const std::shared_ptr<DeliveryTurn>& turn);

    std::atomic<LONG> refCount_{0};
    // Set (manual reset) when Detach begins: deliveries still waiting for
    // their turn give up.
    win::UniqueHandle detaching_;

    // The gate: everything below is guarded by gateLock_.
    win::CriticalSection gateLock_;
    CONDITION_VARIABLE holdsReleased_;
    IBridgeOwner* adaptor_ = nullptr;
    TarnNotificationPeer* peer_ = nullptr;
    LONG holds_ = 0;
    // The last delivery of each kind.
    std::shared_ptr<DeliveryTurn> lastTurn_[static_cast<size_t>(DeliveryKind::Count)];
};
