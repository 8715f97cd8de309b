// TARNClientBridge: the callback object the adaptor hands to the Tarn
// server. It answers at once: it checks and copies what the server sends and
// queues it for delivery to the notification peer (notify/Delivery.h).
// Incident reports reach the peer on the server's calling thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "notify/BridgeOwner.h"
#include "server/TarnServer.h"
#include "win/raii.h"

class NotificationDelivery;

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

    // The bridge's owner, set once when the adaptor is made.
    void SetAdaptor(IBridgeOwner* adaptor);
    // Where notifications go; none (a blade without a notification peer)
    // drops them. Set once, before the bridge is handed to a server.
    void SetDelivery(NotificationDelivery* delivery);

    // Cuts the bridge off from its owner and its delivery: from here on the
    // server's calls find neither. Returns once every server call that
    // reached them has left, except the calls on exemptThread (a blade
    // callback inside an incident report that stops its own session).
    void Detach(DWORD exemptThread);
    // After Detach: waits for the calls it left running.
    void AwaitCallsToEnd();
    // True while a server call on this thread is inside the bridge.
    bool IsServingThread(DWORD threadId) const;
    // Disconnects the bridge from COM, so that the server's references (or
    // the leftovers of a server that died) are dropped at once. Should an
    // in-process server still hold it, the module stays loaded for good: the
    // server may call it whenever it likes.
    void Disconnect();

    // A server call inside the bridge: while it exists Detach waits for it
    // (unless it is on the exempt thread), and the bridge keeps a reference
    // for it. Empty pointers once detached.
    class Hold {
    public:
        explicit Hold(TARNClientBridge& bridge);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        IBridgeOwner* Adaptor() const { return adaptor_; }
        NotificationDelivery* Delivery() const { return delivery_; }

    private:
        TARNClientBridge& bridge_;
        IBridgeOwner* adaptor_ = nullptr;
        NotificationDelivery* delivery_ = nullptr;
    };

private:
    TARNClientBridge();
    // A server call on this thread enters (handing out what it may use) or leaves.
    void BeginHold(IBridgeOwner*& adaptor, NotificationDelivery*& delivery) EXCLUDES(gateLock_);
    void EndHold() EXCLUDES(gateLock_);
    // Waits, with the gate lock held, until no call but exemptThread's is inside.
    void WaitForCallers(DWORD exemptThread) REQUIRES(gateLock_);
    bool CallsInsideBesides(DWORD exemptThread) const REQUIRES(gateLock_);

    std::atomic<LONG> refCount_{0};

    // The gate.
    mutable win::CriticalSection gateLock_;
    CONDITION_VARIABLE callerLeft_;  // waited on with gateLock_
    IBridgeOwner* adaptor_ GUARDED_BY(gateLock_) = nullptr;
    NotificationDelivery* delivery_ GUARDED_BY(gateLock_) = nullptr;
    // The thread of every server call inside the bridge, one entry per call.
    std::vector<DWORD> callers_ GUARDED_BY(gateLock_);
};
