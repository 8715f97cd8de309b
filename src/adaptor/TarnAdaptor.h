// TarnAdaptor: the one adaptor of a process. It knows the blade's identity,
// keeps the connection to the Tarn server and runs the blade's requests.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adaptor/AdaptorErrors.h"
#include "adaptor/BladeMessageTable.h"
#include "notify/BridgeOwner.h"
#include "notify/PolicySource.h"
#include "notify/TarnNotificationPeer.h"
#include "records/BladeMessage.h"
#include "records/ProviderInfo.h"
#include "server/TarnServer.h"
#include "win/raii.h"

class NotificationDelivery;
class TARNClientBridge;
class OperationStatusInfo;

// The blade type boundary: types from here up are not accepted by Init;
// 1001 to 1049 is the monitoring range (blade type + 1001).
enum : LONG {
    e_BladeType_MONITORING = 1000,
};

// The blade's provider description and how far its sending got on the
// current connection.
struct ProviderInfoState {
    ProviderInfo lastProviderInfo;
    // RegisterProvider succeeded on the current connection.
    bool providerRegistered = false;
    // lastProviderInfo has yet to go through completely after a
    // (re)connection: the monitor thread retries it.
    bool sendLastProviderInfo = true;
};

// The payload a blade collected, waiting for the server's pull. Both texts
// empty when there is none.
struct CollectedPayload {
    std::wstring payloadData;
    std::wstring payloadType;
};

class TarnAdaptor final : public IBridgeOwner, public PolicySource {
public:
    class AdaptorContext {
    public:
        AdaptorContext();
        virtual ~AdaptorContext();
        AdaptorContext(const AdaptorContext&) = delete;
        AdaptorContext& operator=(const AdaptorContext&) = delete;

        // A new owned reference to the server, or none.
        win::ComPtr<ITarnServer> GetServer();
        void SetServer(ITarnServer* server);
        void ReleaseServer();

        TARNClientBridge* CallbackObject() const { return callbackObject_.Get(); }
        TarnNotificationPeer& DefaultPeer() { return defaultPeer_; }

        // The provider info state and the collected payload are reached only
        // through these, which hold their lock while f runs. The provider
        // info lock also serialises every send, and is re-entrant.
        template <typename F>
        decltype(auto) WithProviderInfo(F&& f) {
            win::Lock lock(providerInfoLock_);
            return f(providerInfo_);
        }
        template <typename F>
        decltype(auto) WithPayload(F&& f) {
            win::Lock lock(payloadLock_);
            return f(payload_);
        }

    private:
        win::CriticalSection providerInfoLock_;
        ProviderInfoState providerInfo_ GUARDED_BY(providerInfoLock_);
        win::CriticalSection payloadLock_;
        CollectedPayload payload_ GUARDED_BY(payloadLock_);

        win::CriticalSection contextLock_;
        win::ComPtr<ITarnServer> server_ GUARDED_BY(contextLock_);
        win::ComPtr<TARNClientBridge> callbackObject_;
        TarnNotificationPeer defaultPeer_;
    };

    TarnAdaptor();
    ~TarnAdaptor();
    TarnAdaptor(const TarnAdaptor&) = delete;
    TarnAdaptor& operator=(const TarnAdaptor&) = delete;

    // Where the callback object queues the server's notifications; none
    // drops them. Set before Init.
    void DeliverNotificationsTo(NotificationDelivery* delivery);
    HRESULT Init(ULONG bladeType, TarnNotificationPeer* peer);
    void InitGuid();
    void SetSupportedPoliceis(const std::vector<ULONG>& policyTypes);
    void SetSupportedPayloadResponseTypes(const std::vector<std::wstring>& types);

    HRESULT Start();
    HRESULT Stop();
    // True for the adaptor's monitor thread, from its start until Stop has
    // joined it.
    bool IsMonitorThread(DWORD threadId) const { return threadId != 0 && monitorThreadId_.load() == threadId; }
    void InitLogger();
    // One connection attempt: 0 connected, 1 non-critical failure (retried
    // by the monitor thread), 2 critical configuration error.
    int ConnectToTARN();
    bool IsTARNAlive();

    LONG BladeType() const { return bladeType_; }
    bool ReceivesIncidents() const override;
    const GUID& BladeGuid() const { return bladeGuid_; }
    TarnNotificationPeer* NotificationPeer() const { return notificationPeer_; }
    AdaptorContext* Context() const { return context_.get(); }

    // Request methods. Each returns an HRESULT; 0x80580004 when no server
    // is connected.
    HRESULT QueryPolicyContent(const PolicyInfo& info, std::wstring& content) override;
    HRESULT QueryCompliance(bool& compliant, bool& changed);
    HRESULT QueryActivations(std::vector<LONG>& pacs) override;
    HRESULT ReportIncident(const std::wstring& incidentId, ULONG incidentType, const std::wstring& detail1,
                           const std::wstring& detail2, const std::wstring& detail3, LONG value1, ULONG value2,
                           ULONG value3, const std::wstring& detail4);
    HRESULT SetOperationStatus(const OperationStatusInfo& info);
    HRESULT CollectLog(const BYTE* record, DWORD size);
    HRESULT CollectProviderInfo(const ProviderInfo& info);
    HRESULT SendBladeMessage(const BladeMessageRequest& request, BladeMessageResponse& response);
    HRESULT TriggerPayloadPoll();
    // The index of the first blade message table entry of exactly this
    // type, or -1.
    int FindMessageType(const std::wstring& msgType) const;
    HRESULT CollectPayload(const std::wstring& payloadType, const std::wstring& payload);
    HRESULT SendBladePayload(const std::wstring& payloadType, const std::wstring& payload, std::wstring& response);
    // Hands the collected payload to the server's pull (TARNClientBridge::PullData).
    HRESULT GetPayload(SAFEARRAY** payload, BSTR* payloadType) override;
    HRESULT DownLoadFile(const std::wstring& url, std::wstring& fileName);
    HRESULT GetCaCertFingerPrint(std::wstring& caCertFP, std::wstring& caCertFPEng);

private:
    // Reports an adaptor failure to the notification peer, if there is one.
    void ReportError(HRESULT code, const std::wstring& message);

    // A line logged between a failure's level-1 line and its report.
    struct LogLine {
        int level;
        std::wstring text;
    };
    // The failure of an adaptor method: its level-1 line logText under
    // function, the follow-up line if any, the peer's report of code with
    // reportText; returns code.
    HRESULT Fail(const char* function, HRESULT code, const std::wstring& logText, const std::wstring& reportText,
                 const std::optional<LogLine>& followUp = std::nullopt);
    // The same, where the log and the report say the same.
    HRESULT Fail(const char* function, HRESULT code, const std::wstring& text) {
        return Fail(function, code, text, text);
    }

    void TARNMonitorPorocedure();
    // UnRegisterProvider and Unregister on the stored server, then its release.
    void UnregisterFromServer();
    // One check of the server: a resend of pending provider info while it
    // answers, a new connection attempt when it does not.
    void MonitorTick();
    HRESULT StartMonitorThread();
    void LogSubscriptions();
    bool RegisterWithServer();
    bool AddExpectedMessageTypes();
    void OnSuccesfullConnectToTarn();
    // The monitor tick's retry of a provider info send that has not yet
    // gone through completely.
    void ResendProviderInfoIfPending();

    // The steps of a provider info send, on the state the provider info
    // lock guards (the caller holds it throughout).
    HRESULT SendProviderInfo(ProviderInfoState& state, const ProviderInfo& info, bool save);
    HRESULT RefuseWithoutBladeGuid();
    HRESULT RegisterProviderOnce(ProviderInfoState& state, ITarnServer& server);
    HRESULT SendProperties(ITarnServer& server, const ProviderInfo& info);
    HRESULT SendNotifications(ITarnServer& server, const ProviderInfo& info);
    // The outcome of one table sent (SetProperties or SetNotification).
    HRESULT ProviderTableSent(const wchar_t* method, HRESULT hr, const wchar_t* failureText);

    LONG bladeType_ = -1;
    GUID bladeGuid_ = {};
    std::vector<ULONG> supportedPolicyTypes_;
    std::vector<std::wstring> supportedPayloadResponseTypes_;
    BladeMessageTable SupportedBladeMessages;
    TarnNotificationPeer* notificationPeer_ = nullptr;
    std::unique_ptr<AdaptorContext> context_;
    win::CriticalSection connectionLock_;
    ULONG registrationCookie_ = 0;
    win::UniqueHandle monitorThread_;
    // Read from other threads (IsMonitorThread) while the monitor runs.
    std::atomic<DWORD> monitorThreadId_{0};
    win::UniqueHandle terminationEvent_;
    // Keeps the multithreaded apartment alive for as long as the adaptor
    // lives, whichever thread creates or destroys it. Declared last: it goes
    // after everything that may still hold a reference of that apartment.
    win::UniqueMtaUsage mtaUsage_;
};
