#include "RefServerObject.h"

#include "RefFormat.h"
#include "RefState.h"

namespace tarnref {
namespace {

using Guard = win::Lock;

RefState& State() { return RefState::Instance(); }

std::wstring Cookie(ULONG cookie) { return L"cookie=" + FormatUnsigned(cookie); }

// ----- registrations -------------------------------------------------------

HRESULT AddRegistration(ITARNClient* client, ULONG* cookie, LONG bladeType, SAFEARRAY* policyTypes) {
    if (!client || !cookie) return E_POINTER;
    if (!IsVectorOf(policyTypes, VT_UI4)) return E_INVALIDARG;
    Guard guard(State().Lock());
    Holdings& holdings = State().holdings;
    const ULONG newCookie = holdings.nextCookie++;
    Registration& registration = holdings.registrations[newCookie];
    registration.client = client;
    registration.bladeType = bladeType;
    holdings.lastCookie = newCookie;
    *cookie = newCookie;
    return S_OK;
}

HRESULT DropRegistration(ULONG cookie) {
    Registration dropped;  // released after the lock is left
    Guard guard(State().Lock());
    auto& registrations = State().holdings.registrations;
    const auto found = registrations.find(cookie);
    if (found == registrations.end()) return E_INVALIDARG;
    // Swap, not move: mingw-w64's ComPtr move assignment copies, and the
    // erase would then release the client under the lock.
    dropped.client.Swap(found->second.client);
    registrations.erase(found);
    return S_OK;
}

bool IsRegistered(ULONG cookie) {
    Guard guard(State().Lock());
    return State().holdings.registrations.count(cookie) != 0;
}

HRESULT AddMessageTypes(ULONG cookie, SAFEARRAY* messageTypes) {
    if (!IsVectorOf(messageTypes, VT_BSTR)) return E_INVALIDARG;
    const std::vector<std::wstring> types = ReadTexts(messageTypes);
    Guard guard(State().Lock());
    auto& registrations = State().holdings.registrations;
    const auto found = registrations.find(cookie);
    if (found == registrations.end()) return E_INVALIDARG;
    auto& expected = found->second.expectedMessageTypes;
    expected.insert(expected.end(), types.begin(), types.end());
    return S_OK;
}

// How long a synchronous pull may take before TriggerPayloadPoll answers
// anyway: a client that waits for this call to return before it serves the
// pull would otherwise hang both.
constexpr DWORD kSyncPullLimitMs = 30000;

HRESULT CountPayloadPoll(ULONG cookie) {
    win::ComPtr<ITARNClient> client;
    PullMode mode = PullMode::None;
    {
        Guard guard(State().Lock());
        Holdings& holdings = State().holdings;
        const auto found = holdings.registrations.find(cookie);
        if (found == holdings.registrations.end()) return E_INVALIDARG;
        ++holdings.pollCount;
        mode = State().config.pullOnTrigger;
        if (mode != PullMode::None) client = found->second.client;
    }
    if (!client) return S_OK;
    // The pull runs on a thread of its own. Asynchronously it is not waited
    // for, as the client may hold its payload lock until this call has
    // returned; synchronously it is, as a real server may do.
    const ULONG call = StartPullData(client);
    {
        Guard guard(State().Lock());
        State().holdings.lastPullCall = call;
    }
    if (mode == PullMode::Sync && call) WaitClientCall(call, kSyncPullLimitMs);
    return S_OK;
}

// ----- answers ---------------------------------------------------------------

HRESULT CopyOut(SAFEARRAY* source, SAFEARRAY** target) {
    if (!source) return S_OK;
    return ::SafeArrayCopy(source, target);
}

HRESULT AnswerActivations(SAFEARRAY** pacList) {
    if (!pacList) return E_POINTER;
    *pacList = nullptr;
    RefState& state = State();
    Guard guard(state.Lock());
    if (state.config.activationsFixed) return CopyOut(state.config.activations.get(), pacList);
    *pacList = ::SafeArrayCreateVector(VT_I4, 0, 0);
    return *pacList ? S_OK : E_OUTOFMEMORY;
}

HRESULT AnswerBytes(const std::string* bytes, SAFEARRAY** content) {
    win::UniqueSafeArray array =
        bytes ? MakeByteArray(bytes->data(), static_cast<ULONG>(bytes->size())) : MakeByteArray(nullptr, 0);
    if (!array) return E_OUTOFMEMORY;
    *content = array.release();
    return S_OK;
}

HRESULT AnswerPolicy(LONG policyType, LONG pac, SAFEARRAY** content) {
    if (!content) return E_POINTER;
    *content = nullptr;
    Guard guard(State().Lock());
    const auto& policies = State().config.policies;
    const auto found = policies.find({policyType, pac});
    return AnswerBytes(found == policies.end() ? nullptr : &found->second, content);
}

HRESULT AnswerPolicyById(const GUID& policyId, SAFEARRAY** content) {
    if (!content) return E_POINTER;
    *content = nullptr;
    Guard guard(State().Lock());
    const auto& policies = State().config.policiesById;
    const auto found = policies.find(FormatGuid(policyId));
    return AnswerBytes(found == policies.end() ? nullptr : &found->second, content);
}

// ----- providers -------------------------------------------------------------

HRESULT AddProvider(const GUID& bladeGuid) {
    Guard guard(State().Lock());
    State().holdings.providers[FormatGuid(bladeGuid)] = true;
    return S_OK;
}

HRESULT DropProvider(const GUID& bladeGuid) {
    Guard guard(State().Lock());
    return State().holdings.providers.erase(FormatGuid(bladeGuid)) ? S_OK : S_FALSE;
}

HRESULT AcceptProviderTable(const GUID& bladeGuid, SAFEARRAY* table, VARTYPE vt, LONG columns) {
    if (!IsTableOf(table, vt, columns)) return E_INVALIDARG;
    Guard guard(State().Lock());
    return State().holdings.providers.count(FormatGuid(bladeGuid)) ? S_OK : E_INVALIDARG;
}

// ----- log queues ------------------------------------------------------------

HRESULT OpenQueue(ULONG* queue) {
    if (!queue) return E_POINTER;
    Guard guard(State().Lock());
    Holdings& holdings = State().holdings;
    *queue = holdings.nextQueue++;
    holdings.queues[*queue] = LogQueue();
    return S_OK;
}

LogQueue* OpenQueueNamed(ULONG queue) REQUIRES(State().Lock()) {
    const auto found = State().holdings.queues.find(queue);
    return found == State().holdings.queues.end() || found->second.committed ? nullptr : &found->second;
}

HRESULT AddLogRecord(ULONG queue, SAFEARRAY* record) {
    if (!IsVectorOf(record, VT_UI1)) return E_INVALIDARG;
    Guard guard(State().Lock());
    LogQueue* open = OpenQueueNamed(queue);
    if (!open) return E_INVALIDARG;
    ++open->records;
    return S_OK;
}

HRESULT CommitQueue(ULONG queue) {
    Guard guard(State().Lock());
    LogQueue* open = OpenQueueNamed(queue);
    if (!open) return E_INVALIDARG;
    open->committed = true;
    return S_OK;
}

// ----- blade messages --------------------------------------------------------

struct TableCell {
    std::wstring section, key, value;
};

std::vector<TableCell> ReadRows(SAFEARRAY* table) {
    // The cells of a row lie next to each other, as ReadTexts returns them.
    const std::vector<std::wstring> cells = ReadTexts(table);
    std::vector<TableCell> rows;
    for (size_t first = 0; first + 2 < cells.size(); first += 3) {
        rows.push_back({cells[first], cells[first + 1], cells[first + 2]});
    }
    return rows;
}

std::wstring PropertyOf(const std::vector<TableCell>& rows, const wchar_t* key) {
    for (const TableCell& row : rows) {
        if (row.section == L"PROP" && row.key == key) return row.value;
    }
    return L"";
}

win::UniqueSafeArray EchoResponse(SAFEARRAY* request) {
    const std::vector<TableCell> rows = ReadRows(request);
    std::vector<std::wstring> cells = {L"PROP",
                                       L"MSG_TYPE",
                                       PropertyOf(rows, L"MSG_TYPE"),
                                       L"PROP",
                                       L"MSG_RESP_DATA",
                                       PropertyOf(rows, L"MSG_REQ_DATA"),
                                       L"PROP",
                                       L"MSG_RESP_HTTP_CODE",
                                       L"200",
                                       L"PROP",
                                       L"MSG_RESP_EP_RET_CODE",
                                       L"0",
                                       L"PROP",
                                       L"MSG_RESP_EP_RET_STR",
                                       L"OK"};
    for (const TableCell& row : rows) {
        if (row.section == L"HEADER_RESP") cells.insert(cells.end(), {L"HEADER_RESP", row.key, L"echo"});
    }
    return MakeTextTable(cells, static_cast<ULONG>(cells.size() / 3));
}

HRESULT AnswerBladeMessage(SAFEARRAY* request, SAFEARRAY** response) {
    if (!response) return E_POINTER;
    *response = nullptr;
    if (!IsTableOf(request, VT_BSTR, 3)) return E_INVALIDARG;
    RefState& state = State();
    Guard guard(state.Lock());
    if (state.config.responseMode == ResponseMode::Fixed) return CopyOut(state.config.response.get(), response);
    win::UniqueSafeArray echo = EchoResponse(request);
    if (!echo) return E_OUTOFMEMORY;
    *response = echo.release();
    return S_OK;
}

// ----- downloads and certificates --------------------------------------------

HRESULT AnswerFileName(BSTR* fileName) {
    if (!fileName) return E_POINTER;
    Guard guard(State().Lock());
    const auto& chosen = State().config.downloadFileName;
    if (!chosen) return S_OK;
    win::UniqueBstr name = win::UniqueBstr::Copy(chosen->c_str());
    if (!name.get()) return E_OUTOFMEMORY;
    // An in/out text belongs to the callee once passed: free and replace it.
    win::UniqueBstr old(*fileName);
    *fileName = name.release();
    return S_OK;
}

HRESULT AnswerFingerPrint(BSTR* caCertFP, BSTR* caCertFPEng) {
    if (!caCertFP || !caCertFPEng) return E_POINTER;
    Guard guard(State().Lock());
    win::UniqueBstr fp = win::UniqueBstr::Copy(State().config.caCertFP.c_str());
    win::UniqueBstr fpEng = win::UniqueBstr::Copy(State().config.caCertFPEng.c_str());
    if (!fp.get() || !fpEng.get()) return E_OUTOFMEMORY;
    win::UniqueBstr oldFp(*caCertFP), oldFpEng(*caCertFPEng);
    *caCertFP = fp.release();
    *caCertFPEng = fpEng.release();
    return S_OK;
}

bool IsInterfaceEnabled(REFIID iid) {
    RefState& state = State();
    Guard guard(state.Lock());
    if (IsEqualIID(iid, IID_IKestrel)) return state.config.kestrelEnabled;
    if (IsEqualIID(iid, IID_ITarnDownload)) return state.config.downloadEnabled;
    if (IsEqualIID(iid, IID_ITarnCertificate)) return state.config.certificateEnabled;
    return true;
}

}  // namespace

RefServerObject::RefServerObject(ULONG generation)
    : generation_(generation), connections_(g_frontEnd.callerProcessId()) {
    ++g_liveObjects;
}

RefServerObject::~RefServerObject() { --g_liveObjects; }

DWORD STDMETHODCALLTYPE RefServerObject::AddConnection(DWORD type, DWORD) { return connections_.Add(type); }

DWORD STDMETHODCALLTYPE RefServerObject::ReleaseConnection(DWORD type, DWORD, BOOL) {
    return connections_.Release(type);
}

template <typename Work>
HRESULT RefServerObject::Serve(const wchar_t* operation, const std::wstring& args, Work&& work) {
    const HRESULT refusal = State().IsDisconnected(generation_) ? RPC_E_DISCONNECTED : S_OK;
    return ServeCall(operation, args, refusal, std::forward<Work>(work));
}

HRESULT RefServerObject::Placeholder(const wchar_t* operation) {
    return Serve(operation, L"", [] { return E_NOTIMPL; });
}

HRESULT STDMETHODCALLTYPE RefServerObject::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITarnServer)) {
        *object = static_cast<ITarnServer*>(this);
    } else if (IsEqualIID(iid, IID_IExternalConnection)) {
        *object = static_cast<IExternalConnection*>(this);
    } else if (!IsInterfaceEnabled(iid)) {
        return E_NOINTERFACE;
    } else if (IsEqualIID(iid, IID_IKestrel)) {
        *object = static_cast<IKestrel*>(this);
    } else if (IsEqualIID(iid, IID_ITarnDownload)) {
        *object = static_cast<ITarnDownload*>(this);
    } else if (IsEqualIID(iid, IID_ITarnCertificate)) {
        *object = static_cast<ITarnCertificate*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE RefServerObject::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE RefServerObject::Release() {
    const ULONG remaining = --references_;
    if (remaining == 0) delete this;
    return remaining;
}

HRESULT STDMETHODCALLTYPE RefServerObject::Unregister(ULONG cookie) {
    return Serve(L"Unregister", Cookie(cookie), [&] { return DropRegistration(cookie); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::Register(ITARNClient* client, ULONG* cookie, LONG bladeType,
                                                    SAFEARRAY* policyTypes) {
    const std::wstring args = L"bladeType=" + FormatSigned(bladeType) + L", policyTypes=" + FormatArray(policyTypes);
    return Serve(L"Register", args, [&] { return AddRegistration(client, cookie, bladeType, policyTypes); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::AddExpectedMessageTypes(ULONG cookie, SAFEARRAY* messageTypes) {
    const std::wstring args = Cookie(cookie) + L", messageTypes=" + FormatArray(messageTypes);
    return Serve(L"AddExpectedMessageTypes", args, [&] { return AddMessageTypes(cookie, messageTypes); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::GetActivations(SAFEARRAY** pacList) {
    return Serve(L"GetActivations", L"", [&] { return AnswerActivations(pacList); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::TriggerPayloadPoll(ULONG cookie) {
    return Serve(L"TriggerPayloadPoll", Cookie(cookie), [&] { return CountPayloadPoll(cookie); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::RegisterProvider(GUID bladeGuid) {
    return Serve(L"RegisterProvider", L"bladeGuid=" + FormatGuid(bladeGuid), [&] { return AddProvider(bladeGuid); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::SetProperties(GUID bladeGuid, SAFEARRAY* table) {
    const std::wstring args = L"bladeGuid=" + FormatGuid(bladeGuid) + L", table=" + FormatArray(table);
    return Serve(L"SetProperties", args, [&] { return AcceptProviderTable(bladeGuid, table, VT_VARIANT, 4); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::UnRegisterProvider(GUID bladeGuid) {
    return Serve(L"UnRegisterProvider", L"bladeGuid=" + FormatGuid(bladeGuid), [&] { return DropProvider(bladeGuid); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::SetNotification(GUID bladeGuid, SAFEARRAY* table) {
    const std::wstring args = L"bladeGuid=" + FormatGuid(bladeGuid) + L", table=" + FormatArray(table);
    return Serve(L"SetNotification", args, [&] { return AcceptProviderTable(bladeGuid, table, VT_BSTR, 2); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::GetPolicyContent(LONG policyType, LONG pac, SAFEARRAY** content) {
    const std::wstring args = L"policyType=" + FormatSigned(policyType) + L", pac=" + FormatSigned(pac);
    return Serve(L"GetPolicyContent", args, [&] { return AnswerPolicy(policyType, pac, content); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::GetPolicyContentById(GUID policyId, SAFEARRAY** content) {
    return Serve(L"GetPolicyContentById", L"policyId=" + FormatGuid(policyId),
                 [&] { return AnswerPolicyById(policyId, content); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::LOG_CreateLogQueue(ULONG* queue) {
    return Serve(L"LOG_CreateLogQueue", L"", [&] { return OpenQueue(queue); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::LOG_CreateLogRecord(ULONG queue, SAFEARRAY* record) {
    const std::wstring args = L"queue=" + FormatUnsigned(queue) + L", record=" + FormatArray(record);
    return Serve(L"LOG_CreateLogRecord", args, [&] { return AddLogRecord(queue, record); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::LOG_CommitLogQueue(ULONG queue) {
    return Serve(L"LOG_CommitLogQueue", L"queue=" + FormatUnsigned(queue), [&] { return CommitQueue(queue); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::IsAlive(ULONG cookie) {
    return Serve(L"IsAlive", Cookie(cookie), [&] { return IsRegistered(cookie) ? S_OK : E_INVALIDARG; });
}

HRESULT STDMETHODCALLTYPE RefServerObject::CheckCompliance() {
    return Serve(L"CheckCompliance", L"", [] { return S_OK; });
}

HRESULT STDMETHODCALLTYPE RefServerObject::SetOperationStatus(GUID opGuid, ULONG status, BSTR text1, BSTR text2,
                                                              ULONG value) {
    const std::wstring args = L"opGuid=" + FormatGuid(opGuid) + L", status=" + FormatUnsigned(status) + L", text1=" +
                              FormatText(text1) + L", text2=" + FormatText(text2) + L", value=" + FormatUnsigned(value);
    return Serve(L"SetOperationStatus", args, [] { return S_OK; });
}

HRESULT STDMETHODCALLTYPE RefServerObject::SendBladeMessage(SAFEARRAY* request, SAFEARRAY** response) {
    return Serve(L"SendBladeMessage", L"request=" + FormatArray(request),
                 [&] { return AnswerBladeMessage(request, response); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::ReportIncident(BSTR incidentId, ULONG incidentType, BSTR detail1,
                                                          BSTR detail2, BSTR detail3, LONG value1, ULONG value2,
                                                          ULONG value3, BSTR detail4) {
    const std::wstring args = L"incidentId=" + FormatText(incidentId) + L", incidentType=" +
                              FormatUnsigned(incidentType) + L", detail1=" + FormatText(detail1) + L", detail2=" +
                              FormatText(detail2) + L", detail3=" + FormatText(detail3) + L", value1=" +
                              FormatSigned(value1) + L", value2=" + FormatUnsigned(value2) + L", value3=" +
                              FormatUnsigned(value3) + L", detail4=" + FormatText(detail4);
    return Serve(L"ReportIncident", args, [] { return S_OK; });
}

HRESULT STDMETHODCALLTYPE RefServerObject::DownloadFile(BSTR url, BSTR* fileName) {
    const std::wstring args =
        L"url=" + FormatText(url) + L", fileName=" + (fileName ? FormatText(*fileName) : std::wstring(L"null"));
    return Serve(L"DownloadFile", args, [&] { return AnswerFileName(fileName); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::GetCaCertFingerPrint(BSTR* caCertFP, BSTR* caCertFPEng) {
    const std::wstring args = L"caCertFP=" + (caCertFP ? FormatText(*caCertFP) : std::wstring(L"null")) +
                              L", caCertFPEng=" + (caCertFPEng ? FormatText(*caCertFPEng) : std::wstring(L"null"));
    return Serve(L"GetCaCertFingerPrint", args, [&] { return AnswerFingerPrint(caCertFP, caCertFPEng); });
}

HRESULT STDMETHODCALLTYPE RefServerObject::Reserved3() { return Placeholder(L"Reserved3"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved4() { return Placeholder(L"Reserved4"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved5() { return Placeholder(L"Reserved5"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved6() { return Placeholder(L"Reserved6"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved9() { return Placeholder(L"Reserved9"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved12() { return Placeholder(L"Reserved12"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved13() { return Placeholder(L"Reserved13"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved15() { return Placeholder(L"Reserved15"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved17() { return Placeholder(L"Reserved17"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved20() { return Placeholder(L"Reserved20"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved21() { return Placeholder(L"Reserved21"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved25() { return Placeholder(L"Reserved25"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved26() { return Placeholder(L"Reserved26"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved27() { return Placeholder(L"Reserved27"); }
HRESULT STDMETHODCALLTYPE RefServerObject::Reserved28() { return Placeholder(L"Reserved28"); }

}  // namespace tarnref
