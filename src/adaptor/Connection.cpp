// The connection to the Tarn server: the first attempt at start, the monitor
// thread that checks the server and reconnects without limit, and the stop.
#include <atomic>

#include "adaptor/AdaptorTesting.h"
#include "adaptor/TarnAdaptor.h"
#include "comsec/SecureCreate.h"
#include "log/Guarded.h"
#include "notify/TARNClientBridge.h"
#include "records/PolicyInfo.h"
#include "records/SafeArrays.h"
#include "records/WideText.h"
#include "win/Threads.h"

namespace {

constexpr DWORD kProductMonitorPeriodMs = 30000;
// Read by every monitor thread; only the stub's own tests change it.
std::atomic<DWORD> g_monitorPeriodMs{kProductMonitorPeriodMs};

enum ConnectResult : int { kConnected = 0, kNonCritical = 1, kCritical = 2 };

// "( a, b, c )"
std::wstring ListText(const std::vector<std::wstring>& items) {
    std::wstring text = L"( ";
    for (size_t i = 0; i < items.size(); ++i) {
        text += items[i];
        text += (i + 1 < items.size()) ? L", " : L" ";
    }
    return text + L")";
}

}  // namespace

namespace adaptor_testing {
void SetMonitorPeriod(DWORD milliseconds) { g_monitorPeriodMs = milliseconds; }
}  // namespace adaptor_testing

HRESULT TarnAdaptor::Start() {
    win::Lock lock(connectionLock_);
    InitLogger();
    WriteLog(LOG_VERBOSE, "TarnAdaptor::Start", L"Called");
    if (!context_) {
        WriteLog(LOG_ERROR, "TarnAdaptor::Start",
                 L"Failed creating TarnAdaptor Context, exiting. No retries to connect to TARN");
        return adaptor_error::kNoContext;
    }
    InitGuid();
    if (monitorThread_) {
        WriteLog(LOG_WARNING, "TarnAdaptor::Start", L"Monitor thread already started, call abandoned");
        ReportError(adaptor_error::kMonitorAlreadyStarted, L"Monitor thread already started, call abandoned");
        return adaptor_error::kMonitorAlreadyStarted;
    }
    switch (ConnectToTARN()) {
        case kNonCritical:
            WriteLog(LOG_ERROR, "TarnAdaptor::Start",
                     L"Non-Critical error connecting to TARN,  continuing initialization and automatic "
                     L"retries to connect to TARN will be performed");
            break;
        case kCritical:
            return Fail("TarnAdaptor::Start", adaptor_error::kStartFailed,
                        L"Critical error connecting to TARN, not starting Monitor thread, exiting with error");
        default:
            WriteLog(LOG_INFO, "TarnAdaptor::Start", L"Succeeded to connect to TARN, continuing initialization");
            break;
    }
    const HRESULT started = StartMonitorThread();
    if (FAILED(started)) return started;
    if (IsEqualGUID(bladeGuid_, GUID_NULL))
        return Fail("TarnAdaptor::Start", adaptor_error::kStartFailed, L"Blade GUID was not set");
    return S_OK;
}

HRESULT TarnAdaptor::StartMonitorThread() {
    WriteLog(LOG_INFO, "TarnAdaptor::Start", L"Trying to create Monitor thread");
    terminationEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!terminationEvent_)
        return Fail("TarnAdaptor::Start", adaptor_error::kStartFailed,
                    L"Can't create monitor thread termination event");
    unsigned threadId = 0;
    monitorThread_ = win::StartThread(
        [this] {
            win::MtaScope mta;
            TARNMonitorPorocedure();
        },
        &threadId);
    if (!monitorThread_)
        return Fail("TarnAdaptor::Start", adaptor_error::kStartFailed, L"Can't create monitor thread",
                    L"Cant create monitor thread");
    monitorThreadId_ = threadId;
    WriteLog(LOG_INFO, "TarnAdaptor::Start", L"Monitor thread created. TID=%5x", threadId);
    return S_OK;
}

int TarnAdaptor::ConnectToTARN() {
    win::Lock lock(connectionLock_);
    const char* const kName = "TarnAdaptor::ConnectToTARN";
    WriteLog(LOG_INFO, kName, L"Connecting to TARN...");
    if (!notificationPeer_ && bladeType_ < e_BladeType_MONITORING) {
        WriteLog(LOG_ERROR, kName, L"TarnAdaptor::SetNotificationPeer() should be called");
        return kCritical;
    }
    if (bladeType_ == -1) {
        Fail(kName, adaptor_error::kBladeTypeNotSet, L"TarnAdaptor::SetBladeType() should be called",
             L"BladeType must be set");
        return kCritical;
    }
    if (!notificationPeer_) {
        WriteLog(LOG_WARNING, kName, L"No explicit NotificationPeer was set, using DEFAULT NotificationPeer");
        notificationPeer_ = &context_->DefaultPeer();
    }
    LogSubscriptions();

    WriteLog(LOG_INFO, kName, L"Trying to SecureCreateInstance, bladeType: %d", bladeType_);
    win::ComPtr<ITarnServer> created;
    const HRESULT createHr = comsec::SecureCreateInstance(CLSID_TarnServer, created, 0);
    if (FAILED(createHr)) {
        const std::wstring text = records::FormatWide(L"SecureCreateInstance failed, hr: 0x%08x, exiting", createHr);
        Fail(kName, adaptor_error::kSecureCreateFailed, L"\t" + text, text);
        return kNonCritical;
    }
    WriteLog(LOG_INFO, kName, L"\t%s", L"SecureCreateInstance succeded, saving TARN pointer");
    context_->SetServer(created.Get());
    created.Reset();

    if (!RegisterWithServer() || !AddExpectedMessageTypes()) return kNonCritical;

    WriteLog(LOG_INFO, kName, L"Connected to TARN. Notifying Blade");
    WriteLog(LOG_INFO, kName, L"Calling OnConnect, to notify blades");
    notificationPeer_->OnConnect();
    WriteLog(LOG_INFO, kName, L"Calling OnSuccesfullConnectToTarn");
    OnSuccesfullConnectToTarn();
    WriteLog(LOG_INFO, kName, L"Exiting, finished succefully");
    return kConnected;
}

void TarnAdaptor::LogSubscriptions() {
    const char* const kName = "TarnAdaptor::ConnectToTARN";
    if (supportedPolicyTypes_.empty())
        WriteLog(LOG_WARNING, kName, L"TarnAdaptor::SetSupportedPoliceis() should be called, no policy subscription");
    if (supportedPayloadResponseTypes_.empty())
        WriteLog(LOG_WARNING, kName,
                 L"TarnAdaptor::SetSupportedPayloadResponseTypes() should be called, no payload "
                 L"response subscription");
    const std::vector<std::wstring> messageTypes = SupportedBladeMessages.Types();
    if (messageTypes.empty()) {
        WriteLog(LOG_INFO, kName, L"Blade: %d did not set supported blade messages", bladeType_);
    } else {
        WriteLog(LOG_INFO, kName, L"Supported blade messages, blade: %d messages: %s", bladeType_,
                 ListText(messageTypes).c_str());
    }
}

bool TarnAdaptor::RegisterWithServer() {
    const char* const kName = "TarnAdaptor::ConnectToTARN";
    win::UniqueSafeArray policyTypes = safe_arrays::FromUlongs(supportedPolicyTypes_);
    WriteLog(LOG_INFO, kName, L"Trying to Register to TARN, bladeType: %d", bladeType_);
    HRESULT hr = E_OUTOFMEMORY;
    if (win::ComPtr<ITarnServer> server = context_->GetServer(); server && policyTypes)
        hr = server->Register(context_->CallbackObject(), &registrationCookie_, bladeType_, policyTypes.get());
    if (FAILED(hr)) {
        const std::wstring text = records::FormatWide(
            L"Registration failed, hr: 0x%08x. Failed to register to TARN, releasing TARN pointer, exiting", hr);
        Fail(kName, adaptor_error::kRegisterFailed, L"\t" + text, text);
        context_->ReleaseServer();
        return false;
    }
    WriteLog(LOG_INFO, kName, L"\t%s", L"Registration succeded");
    return true;
}

bool TarnAdaptor::AddExpectedMessageTypes() {
    const char* const kName = "TarnAdaptor::ConnectToTARN";
    if (supportedPayloadResponseTypes_.empty()) return true;
    WriteLog(LOG_INFO, kName, L"Trying to register to payload response types: %s ",
             ListText(supportedPayloadResponseTypes_).c_str());
    win::UniqueSafeArray types = safe_arrays::FromTexts(supportedPayloadResponseTypes_);
    HRESULT hr = E_OUTOFMEMORY;
    if (win::ComPtr<ITarnServer> server = context_->GetServer(); server && types)
        hr = server->AddExpectedMessageTypes(registrationCookie_, types.get());
    if (FAILED(hr)) {
        const std::wstring text = records::FormatWide(
            L"AddExpectedMessageTypes failed, hr: 0x%08x. Failed to set Expected messages, failing "
            L"registration to TARN",
            hr);
        Fail(kName, adaptor_error::kRegisterFailed, L"\t" + text, text,
             LogLine{LOG_ERROR, L"Releasing Tarn pointer, exiting"});
        context_->ReleaseServer();
        return false;
    }
    WriteLog(LOG_INFO, kName, L"\t%s", L"Registering to payload response types succeded");
    return true;
}

bool TarnAdaptor::IsTARNAlive() {
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) {
        WriteLog(LOG_INFO, "TarnAdaptor::IsTARNAlive", L"TARN is never born");
        return false;
    }
    const HRESULT hr = server->IsAlive(registrationCookie_);
    if (FAILED(hr)) {
        WriteLog(LOG_WARNING, "TarnAdaptor::IsTARNAlive", L"TARN is dead, hr: 0x%08x", hr);
        return false;
    }
    return true;
}

void TarnAdaptor::TARNMonitorPorocedure() {
    const char* const kName = "TarnAdaptor::TARNMonitorPorocedure";
    for (;;) {
        const DWORD wait = WaitForSingleObject(terminationEvent_.get(), g_monitorPeriodMs.load());
        if (wait == WAIT_OBJECT_0) break;
        if (wait == WAIT_FAILED) {
            WriteLog(LOG_ERROR, kName, L"MonitorThread: Terminated due to wait error: %lu", GetLastError());
            return;
        }
        // A tick that runs out of memory is logged and the next one tries again.
        Guarded(kName, false, [this] {
            MonitorTick();
            return true;
        });
    }
    WriteLog(LOG_INFO, kName, L"MonitorThread: Termination request received, exiting");
}

void TarnAdaptor::MonitorTick() {
    const char* const kName = "TarnAdaptor::TARNMonitorPorocedure";
    if (IsTARNAlive()) {
        ResendProviderInfoIfPending();
        return;
    }
    WriteLog(LOG_VERBOSE, kName, L"MonitorThread: IsTARNAlive returned false, trying to connect to TARN");
    switch (ConnectToTARN()) {
        case kConnected: WriteLog(LOG_INFO, kName, L"MonitorThread: Succeeded to connect to TARN"); break;
        case kNonCritical:
            WriteLog(LOG_WARNING, kName,
                     L"Non-Critical error connecting to TARN, automatic retries to connect to TARN "
                     L"will be performed");
            break;
        default:
            Fail(kName, adaptor_error::kStartFailed, L"MonitorThread: Critical error connecting to TARN",
                 L"Critical error connecting to TARN");
            break;
    }
}

HRESULT TarnAdaptor::Stop() {
    const char* const kName = "TarnAdaptor::Stop";
    WriteLog(LOG_VERBOSE, kName, L"Called");
    if (!monitorThread_) {
        WriteLog(LOG_WARNING, kName, L"Already stopped, call abandoned");
        ReportError(adaptor_error::kMonitorAlreadyStopped, L"Already stopped, call abandoned");
        // A start that failed after registering (no monitor thread yet) still
        // leaves a registration behind: it is taken back all the same.
        UnregisterFromServer();
        return adaptor_error::kMonitorAlreadyStopped;
    }
    SetEvent(terminationEvent_.get());
    WriteLog(LOG_INFO, kName, L"Monitor thread termination event raised");
    WaitForSingleObject(monitorThread_.get(), INFINITE);
    WriteLog(LOG_INFO, kName, L"Monitor thread joined");
    monitorThreadId_ = 0;
    monitorThread_.reset();
    terminationEvent_.reset();
    UnregisterFromServer();
    return S_OK;
}

void TarnAdaptor::UnregisterFromServer() {
    const char* const kName = "TarnAdaptor::Stop";
    if (!context_) {
        WriteLog(LOG_INFO, kName, L"TarnAdaptor Context is null, not calling UnRegisterProvider and Unregister");
        return;
    }
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) return;
    HRESULT hr = server->UnRegisterProvider(bladeGuid_);
    WriteLog(LOG_INFO, kName, L"UnRegisterProvider BladeType: %d, BladeGuid: %s, hr: 0x%08x", bladeType_,
             GuidToString(bladeGuid_).c_str(), hr);
    hr = server->Unregister(registrationCookie_);
    WriteLog(LOG_INFO, kName, L"UnRegistering BladeType: %d, BladeCookie: %lu, hr: 0x%08x", bladeType_,
             registrationCookie_, hr);
    context_->ReleaseServer();
    WriteLog(LOG_INFO, kName, L"TARN Instance released");
}

TarnAdaptor::~TarnAdaptor() {
    WriteLog(LOG_VERBOSE, "TarnAdaptor::~TarnAdaptor", L"Called, stopping the adaptor");
    Guarded("TarnAdaptor::~TarnAdaptor", E_OUTOFMEMORY, [this] { return Stop(); });
    // The server may keep the callback object after this adaptor is gone:
    // cut it off (its session has done so already when it stopped).
    context_->CallbackObject()->Detach(0);
    context_.reset();
}
