// The reference server as a client meets it: registered under HKLM, reached
// through CoGetClassObject and the secure factory from the multithreaded
// apartment, steered and observed through its control API. What the server
// answers to the adaptor's own calls is seen in the adaptor's tests.
#include "server/TarnServer.h"
#include "tarnref.h"
#include "win/SafeArrayView.h"
#include "win/raii.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using win::ComPtr;

constexpr DWORD kWaitMs = 5000;
const wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{EE4930E4-BBF2-4578-9B1E-656C4FE111F7}";

// A client callback object that keeps what the server delivered and on which
// thread. It offers no IKestrel.
class TestClient final : public ITARNClient {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITARNClient);
        *object = known ? static_cast<ITARNClient*>(this) : nullptr;
        if (known) AddRef();
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    // The tests own their clients on the stack; the count is only observed.
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY*, BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY**, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ServerClosing() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY* pacList) override {
        thread = ::GetCurrentThreadId();
        const auto values = win::SafeArrayView(pacList).Lock<VT_I4>();
        pacs.assign(values.begin(), values.end());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAvailability() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PropertyChange(LONG, LONG, BSTR, BSTR, VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR text) override {
        thread = ::GetCurrentThreadId();
        description = text ? text : L"(null)";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID, ULONG, BSTR) override { return S_OK; }

    std::atomic<ULONG> references{1};
    std::atomic<DWORD> thread{0};
    std::wstring description;
    std::vector<LONG> pacs;
};

HRESULT CallModuleExport(const char* name) {
    using Entry = HRESULT(STDAPICALLTYPE*)();
    FARPROC proc = ::GetProcAddress(::GetModuleHandleW(L"TarnRefServer.dll"), name);
    return proc ? reinterpret_cast<Entry>(reinterpret_cast<void*>(proc))() : E_FAIL;
}

std::wstring ReadServerValue(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    const std::wstring key = std::wstring(kClassKey) + L"\\InProcServer32";
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value,
                          &size) == ERROR_SUCCESS ? value : L"<missing>";
}

std::wstring LastCallLine() {
    wchar_t line[4096] = {};
    const ULONG count = TarnRef_CallCount();
    if (count) TarnRef_GetCallLine(count - 1, line, 4096);
    return line;
}

class RefServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TarnRef_Reset();
        ASSERT_EQ(S_OK, CallModuleExport("DllRegisterServer"));
    }

    HRESULT GetFactory(ComPtr<ISecureFactory>& factory) {
        return ::CoGetClassObject(CLSID_TarnServer, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr,
                                  IID_ISecureFactory, reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
    }
    static HRESULT CreateFor(ISecureFactory* factory, ULONG processId, ComPtr<ITarnServer>& server) {
        return factory->CreateForProcess(processId, 0, IID_ITarnServer,
                                         reinterpret_cast<void**>(server.ReleaseAndGetAddressOf()));
    }
    ComPtr<ITarnServer> CreateServer() {
        ComPtr<ISecureFactory> factory;
        ComPtr<ITarnServer> server;
        win::UniqueSafeArray reply;
        EXPECT_EQ(S_OK, GetFactory(factory));
        if (!factory) return nullptr;
        EXPECT_EQ(S_OK, factory->PrepareCreate(::GetCurrentProcessId(), 0x1234, reply.put()));
        EXPECT_EQ(S_OK, CreateFor(factory.Get(), ::GetCurrentProcessId(), server));
        return server;
    }
    ULONG RegisterClient(ITarnServer* server) {
        win::UniqueSafeArray types(::SafeArrayCreateVector(VT_UI4, 0, 4));
        ULONG values[] = {77, 80, 78, 51};
        for (LONG i = 0; i < 4; ++i) ::SafeArrayPutElement(types.get(), &i, &values[i]);
        ULONG cookie = 0;
        EXPECT_EQ(S_OK, server->Register(&client_, &cookie, 1009, types.get()));
        return cookie;
    }

    win::MtaScope mta_;
    TestClient client_;
};

TEST_F(RefServerTest, RegistersItselfAndCreatesObjectsOnlyForThePreparedProcess) {
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"TarnRefServer.dll"), modulePath, MAX_PATH);
    EXPECT_EQ(modulePath, ReadServerValue(nullptr));
    EXPECT_EQ(L"Both", ReadServerValue(L"ThreadingModel"));

    const ULONG requestsBefore = TarnRef_ClassObjectRequests();
    ComPtr<ISecureFactory> factory;
    ASSERT_EQ(S_OK, GetFactory(factory));
    EXPECT_EQ(requestsBefore + 1, TarnRef_ClassObjectRequests());
    const ULONG pid = ::GetCurrentProcessId();
    ComPtr<ITarnServer> server;
    EXPECT_EQ(E_ACCESSDENIED, CreateFor(factory.Get(), pid, server));
    win::UniqueSafeArray reply;
    ASSERT_EQ(S_OK, factory->PrepareCreate(pid, 0x22FE40, reply.put()));
    VARTYPE vt = VT_EMPTY;
    ::SafeArrayGetVartype(reply.get(), &vt);
    EXPECT_EQ(VT_UI1, vt);
    EXPECT_EQ(16u, reply.get()->rgsabound[0].cElements);
    EXPECT_EQ(L"PrepareCreate(processId=" + std::to_wstring(pid) + L", opaque=0x000000000022FE40)",
              LastCallLine());
    EXPECT_EQ(E_ACCESSDENIED, CreateFor(factory.Get(), pid + 4, server));
    ASSERT_EQ(S_OK, CreateFor(factory.Get(), pid, server));
    EXPECT_TRUE(server);
    EXPECT_EQ(L"CreateForProcess(processId=" + std::to_wstring(pid) +
                  L", creationArg=0, iid=23291788-c88f-4172-ab75-daee65aec531)",
              LastCallLine());

    EXPECT_EQ(S_OK, CallModuleExport("DllUnregisterServer"));
    EXPECT_EQ(L"<missing>", ReadServerValue(nullptr));
    EXPECT_EQ(S_OK, CallModuleExport("DllUnregisterServer"));
}

TEST_F(RefServerTest, RoundTripsAreRecordedAndTheClientHeldUntilUnregister) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    const ULONG cookie = RegisterClient(server.Get());
    EXPECT_NE(0u, cookie);
    EXPECT_EQ(2u, client_.references);
    EXPECT_EQ(L"Register(bladeType=1009, policyTypes=VT_UI4[lb=0]{77,80,78,51})", LastCallLine());

    win::UniqueSafeArray types(::SafeArrayCreateVector(VT_BSTR, 0, 2));
    win::UniqueBstr a = win::UniqueBstr::Copy(L"a\"b"), b = win::UniqueBstr::Copy(L"c");
    for (LONG i = 0; i < 2; ++i) ::SafeArrayPutElement(types.get(), &i, (i ? b : a).get());
    EXPECT_EQ(S_OK, server->AddExpectedMessageTypes(cookie, types.get()));
    EXPECT_EQ(L"AddExpectedMessageTypes(cookie=" + std::to_wstring(cookie) +
                  L", messageTypes=VT_BSTR[lb=0]{\"a\\\"b\",\"c\"})",
              LastCallLine());

    EXPECT_EQ(S_OK, server->IsAlive(cookie));
    EXPECT_EQ(S_OK, server->Unregister(cookie));
    EXPECT_EQ(1u, client_.references);
    EXPECT_EQ(E_INVALIDARG, server->IsAlive(cookie));
    EXPECT_EQ(L"IsAlive(cookie=" + std::to_wstring(cookie) + L") -> 0x80070057", LastCallLine());
    EXPECT_EQ(2u, TarnRef_CountCalls(L"IsAlive"));
}

TEST_F(RefServerTest, DeadServerRefusesEverythingAndRestartLeavesOldObjectsDead) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    const ULONG cookie = RegisterClient(server.Get());

    TarnRef_SetDead(TRUE);
    EXPECT_EQ(RPC_E_DISCONNECTED, server->IsAlive(cookie));
    EXPECT_EQ(L"IsAlive(cookie=" + std::to_wstring(cookie) + L") -> 0x80010108", LastCallLine());
    // The class object answers CO_E_SERVER_EXEC_FAILURE; with the local
    // server in the class context, COM may report it as class not registered.
    ComPtr<ISecureFactory> factory;
    EXPECT_TRUE(FAILED(GetFactory(factory)));
    EXPECT_FALSE(factory);
    TarnRef_SetDead(FALSE);
    EXPECT_EQ(S_OK, server->IsAlive(cookie));

    TarnRef_Restart();
    EXPECT_EQ(1u, client_.references);
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    EXPECT_EQ(RPC_E_DISCONNECTED, server->IsAlive(cookie));
    ComPtr<ITarnServer> fresh = CreateServer();
    ASSERT_TRUE(fresh);
    const ULONG newCookie = RegisterClient(fresh.Get());
    EXPECT_NE(cookie, newCookie);
    EXPECT_EQ(S_OK, fresh->IsAlive(newCookie));
    EXPECT_EQ(S_OK, fresh->Unregister(newCookie));
}

TEST_F(RefServerTest, ExtraInterfacesCanBeSwitchedOff) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    ComPtr<IKestrel> kestrel;
    ComPtr<ITarnDownload> download;
    ComPtr<ITarnCertificate> certificate;
    EXPECT_EQ(S_OK, server.As(&kestrel));
    EXPECT_EQ(S_OK, server.As(&download));
    TarnRef_EnableInterface(TARNREF_IFACE_KESTREL, FALSE);
    TarnRef_EnableInterface(TARNREF_IFACE_DOWNLOAD, FALSE);
    EXPECT_EQ(E_NOINTERFACE, server.As(&kestrel));
    EXPECT_EQ(E_NOINTERFACE, server.As(&download));
    EXPECT_EQ(S_OK, server.As(&certificate));  // only the switched ones go
    TarnRef_EnableInterface(TARNREF_IFACE_KESTREL, TRUE);
    EXPECT_EQ(S_OK, server.As(&kestrel));
}

TEST_F(RefServerTest, CallsTheClientFromThreadsOfItsOwn) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    const ULONG cookie = RegisterClient(server.Get());
    HRESULT result = E_FAIL;

    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallPolicyArrival(cookie, L"<policy type=\"60\"/>"), kWaitMs, &result));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ(L"<policy type=\"60\"/>", client_.description);
    EXPECT_NE(0u, client_.thread);
    EXPECT_NE(::GetCurrentThreadId(), client_.thread);

    const LONG pacs[] = {7, 3, 12};
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePolicies(0, pacs, 3), kWaitMs, &result));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ((std::vector<LONG>{7, 3, 12}), client_.pacs);
    // A client without IKestrel: the server's query for it is the call's result.
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallReportIncident(0, L"i", 4, L"a", nullptr, L"c", -2, 0, 0, L"d"),
                                 kWaitMs, &result));
    EXPECT_EQ(E_NOINTERFACE, result);

    EXPECT_EQ(0u, TarnRef_CallPolicyArrival(cookie + 100, L"x"));
    EXPECT_EQ(S_OK, server->Unregister(cookie));
    EXPECT_EQ(1u, client_.references);
}

}  // namespace

namespace {

// In process too, a stream's calls come one after another and a synchronous
// pull has returned when TriggerPayloadPoll answers.
TEST_F(RefServerTest, StreamsAndTheSynchronousPullWorkInProcess) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    const ULONG cookie = RegisterClient(server.Get());
    const ULONG stream = TarnRef_StartStream(cookie, TARNREF_STREAM_ACTIVATIONS, 5, nullptr);
    ULONG made = 0, failed = 9;
    ASSERT_TRUE(TarnRef_WaitStream(stream, kWaitMs, &made, &failed));
    EXPECT_EQ(5u, made);
    EXPECT_EQ(0u, failed);
    EXPECT_EQ((std::vector<LONG>{5}), client_.pacs);

    TarnRef_SetSyncPullOnTrigger(TRUE);
    ASSERT_EQ(S_OK, server->TriggerPayloadPoll(cookie));
    HRESULT result = S_OK;
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_LastPullCall(), 0, &result));
    EXPECT_EQ(E_NOTIMPL, result);  // what this client's PullData answers
    EXPECT_EQ(S_OK, server->Unregister(cookie));
}

}  // namespace
