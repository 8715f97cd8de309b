// The reference server in its own process (TarnRefServer.exe), as the real
// Tarn server runs: every call crosses the process boundary through
// TarnProxy.dll, and this program steers the server through TarnRefClient.dll
// with the same tarnref.h functions as the in-process server. The fixture
// registers and starts the server, and at the end requires that it ends by
// itself once the test has let go of it.
#include "RefFormat.h"
#include "ServerFixture.h"
#include "server/TarnServer.h"
#include "tarnref.h"
#include "win/SafeArrayView.h"
#include "win/raii.h"

#include <gtest/gtest.h>
#include <process.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

using win::ComPtr;

constexpr DWORD kWaitMs = 5000;
// The control class and interface (refserver/TarnRefControl.idl).
const wchar_t kControlClass[] = L"{AC08A08D-D50F-4171-BAD5-DF5269FC1324}";
const wchar_t kControlInterface[] = L"{B52F5B9B-30B5-46F8-ABAB-32DDCCC89348}";
// TarnProxy.dll's proxy/stub class.
const wchar_t kProxyClass[] = L"{8C49975A-298E-4A60-AB5D-BC32850A9088}";

std::wstring GuidKey(REFGUID guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

// A registry value's text, "<missing>" when the key or value is absent.
std::wstring ReadText(const std::wstring& key, const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS
               ? value
               : L"<missing>";
}

std::wstring ClassKey(const std::wstring& clsid) { return L"Software\\Classes\\CLSID\\" + clsid; }

std::wstring FileBesideTest(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + name;
}

std::wstring LastCallLine() {
    wchar_t line[4096] = {};
    const ULONG count = TarnRef_CallCount();
    if (count) TarnRef_GetCallLine(count - 1, line, 4096);
    return line;
}

// ----- arrays ---------------------------------------------------------------

win::UniqueSafeArray MakeArray(VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds) {
    return win::UniqueSafeArray(::SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data()));
}

win::UniqueSafeArray TextArray(std::vector<SAFEARRAYBOUND> bounds, const std::vector<std::wstring>& texts) {
    win::UniqueSafeArray array = MakeArray(VT_BSTR, std::move(bounds));
    const auto cells = win::SafeArrayView(array.get()).Lock<VT_BSTR>();
    for (size_t i = 0; i < cells.size() && i < texts.size(); ++i) {
        cells[i] = win::UniqueBstr::Copy(texts[i].c_str()).release();
    }
    return array;
}

win::UniqueSafeArray LongArray(std::vector<SAFEARRAYBOUND> bounds, const std::vector<LONG>& values) {
    win::UniqueSafeArray array = MakeArray(VT_I4, std::move(bounds));
    const auto cells = win::SafeArrayView(array.get()).Lock<VT_I4>();
    for (size_t i = 0; i < cells.size() && i < values.size(); ++i) cells[i] = values[i];
    return array;
}

win::UniqueSafeArray VariantRow() {
    win::UniqueSafeArray array = MakeArray(VT_VARIANT, {{4, 0}, {1, 0}});
    const auto locked = win::SafeArrayView(array.get()).Lock<VT_VARIANT>();
    VARIANT* cells = locked.data();
    cells[0].vt = VT_BSTR;
    cells[0].bstrVal = ::SysAllocString(L"name");
    cells[1].vt = VT_BSTR;
    cells[1].bstrVal = ::SysAllocString(L"key");
    cells[2].vt = VT_I4;
    cells[2].lVal = -1;
    cells[3].vt = VT_UI4;
    cells[3].ulVal = 7;
    return array;
}

struct ArrayCase {
    const char* name;
    std::function<win::UniqueSafeArray()> make;
};

// Shapes the adaptor and the server exchange, and the ones marshalling most
// easily gets wrong: two dimensions, lower bounds other than 0, texts,
// variants, no elements and no array at all.
std::vector<ArrayCase> ArrayCases() {
    return {
        {"bytes",
         [] {
             win::UniqueSafeArray a = MakeArray(VT_UI1, {{3, 0}});
             const auto bytes = win::SafeArrayView(a.get()).Lock<VT_UI1>();
             std::memcpy(bytes.data(), "abc", 3);
             return a;
         }},
        {"text vector from 1", [] { return TextArray({{2, 1}}, {L"x\"y", L""}); }},
        {"text table 3x2 from 1,1", [] { return TextArray({{3, 1}, {2, 1}}, {L"a", L"b", L"c", L"d", L"e", L"f"}); }},
        {"long table 2x3 from 0,-1", [] { return LongArray({{2, 0}, {3, -1}}, {1, -2, 3, -4, 5, -6}); }},
        {"variant row 4x1", [] { return VariantRow(); }},
        {"empty long vector", [] { return LongArray({{0, 0}}, {}); }},
        {"null", [] { return win::UniqueSafeArray(); }},
    };
}

// ----- the test's callback object ---------------------------------------------

// A client callback object that notes the activation lists that arrive, in
// arrival order, as the server's record formats them.
class RecordingClient final : public ITARNClient {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ITARNClient)) return E_NOINTERFACE;
        *object = static_cast<ITARNClient*>(this);
        AddRef();
        return S_OK;
    }
    // Owned by the test; the count is only observed.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY*, BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY**, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ServerClosing() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY* pacList) override {
        std::lock_guard<std::mutex> guard(lock_);
        arrived_.push_back(tarnref::FormatArray(pacList));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAvailability() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PropertyChange(LONG, LONG, BSTR, BSTR, VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID, ULONG, BSTR) override { return S_OK; }

    std::vector<std::wstring> Arrived() {
        std::lock_guard<std::mutex> guard(lock_);
        return arrived_;
    }

    std::atomic<ULONG> references{1};

private:
    std::mutex lock_;
    std::vector<std::wstring> arrived_;
};

class RefServerOopTest : public tarn_test::ServerTest {
protected:
    void TearDown() override {
        // The server lets go of the test's callback object before the test
        // lets go of the server.
        if (TarnRef_ServerProcessId()) TarnRef_Reset();
        ServerTest::TearDown();
    }

    static HRESULT GetFactory(ComPtr<ISecureFactory>& factory) {
        return ::CoGetClassObject(CLSID_TarnServer, CLSCTX_LOCAL_SERVER, nullptr, IID_ISecureFactory,
                                  reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
    }
    static HRESULT CreateFor(ISecureFactory* factory, ULONG processId, ComPtr<ITarnServer>& server) {
        return factory->CreateForProcess(processId, 0, IID_ITarnServer,
                                         reinterpret_cast<void**>(server.ReleaseAndGetAddressOf()));
    }
    static ComPtr<ITarnServer> CreateServer() {
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
        win::UniqueSafeArray types(::SafeArrayCreateVector(VT_UI4, 0, 0));
        ULONG cookie = 0;
        EXPECT_EQ(S_OK, server->Register(&client_, &cookie, 13, types.get()));
        return cookie;
    }

    win::MtaScope mta_;
    RecordingClient client_;
};

// ----- registration and start ------------------------------------------------

TEST_F(RefServerOopTest, RegistrationLeavesOnlyTheLocalServerAndEveryInterfaceHasItsProxy) {
    const std::wstring exe = L"\"" + FileBesideTest(L"TarnRefServer.exe") + L"\"";
    const std::wstring server = ClassKey(GuidKey(CLSID_TarnServer)), control = ClassKey(kControlClass);
    for (const std::wstring& key : {server, control}) {
        EXPECT_EQ(exe, ReadText(key + L"\\LocalServer32", nullptr));
        EXPECT_EQ(L"<missing>", ReadText(key + L"\\InProcServer32", nullptr));
    }
    const std::wstring interfaces[] = {
        GuidKey(IID_ITarnServer),      GuidKey(IID_ITARNClient),    GuidKey(IID_IKestrel), GuidKey(IID_ITarnDownload),
        GuidKey(IID_ITarnCertificate), GuidKey(IID_ISecureFactory), kControlInterface};
    for (const std::wstring& iid : interfaces) {
        EXPECT_EQ(kProxyClass, ReadText(L"Software\\Classes\\Interface\\" + iid + L"\\ProxyStubClsid32", nullptr))
            << "no proxy for " << std::string(iid.begin(), iid.end());
    }
    EXPECT_EQ(FileBesideTest(L"TarnProxy.dll"), ReadText(ClassKey(kProxyClass) + L"\\InProcServer32", nullptr));

    // The in-process server's registration replaces the local server's, and
    // the other way round: a client never finds both.
    win::UniqueModule inProcess(::LoadLibraryW(FileBesideTest(L"TarnRefServer.dll").c_str()));
    ASSERT_TRUE(inProcess);
    using Entry = HRESULT(__cdecl*)();
    const auto registerInProcess =
        reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(inProcess.get(), "TarnRef_RegisterServer")));
    ASSERT_TRUE(registerInProcess);
    ASSERT_EQ(S_OK, registerInProcess());
    EXPECT_EQ(L"<missing>", ReadText(server + L"\\LocalServer32", nullptr));
    EXPECT_EQ(FileBesideTest(L"TarnRefServer.dll"), ReadText(server + L"\\InProcServer32", nullptr));
    ASSERT_EQ(S_OK, TarnRef_RegisterServer());
    EXPECT_EQ(exe, ReadText(server + L"\\LocalServer32", nullptr));
    EXPECT_EQ(L"<missing>", ReadText(server + L"\\InProcServer32", nullptr));

    ASSERT_EQ(S_OK, TarnRef_UnregisterServer());
    EXPECT_EQ(L"<missing>", ReadText(server + L"\\LocalServer32", nullptr));
    EXPECT_EQ(
        L"<missing>",
        ReadText(L"Software\\Classes\\Interface\\" + std::wstring(kControlInterface) + L"\\ProxyStubClsid32", nullptr));
    ASSERT_EQ(S_OK, TarnRef_RegisterServer());
}

TEST_F(RefServerOopTest, StartsOnceAndSteersTheServerInItsOwnProcess) {
    const ULONG pid = TarnRef_ServerProcessId();
    ASSERT_NE(0u, pid);
    EXPECT_NE(::GetCurrentProcessId(), pid);
    EXPECT_EQ(pid, TarnRef_StartServer(kWaitMs));

    TarnRef_SetCaCertFingerPrint(L"FP \"1\"", nullptr);
    TarnRef_FailOperation(L"CheckCompliance", E_ACCESSDENIED);
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    ComPtr<ITarnCertificate> certificate;
    ASSERT_EQ(S_OK, server.As(&certificate));
    win::UniqueBstr fp = win::UniqueBstr::Copy(L"in"), fpEng;
    EXPECT_EQ(S_OK, certificate->GetCaCertFingerPrint(fp.put_in_out(), fpEng.put_in_out()));
    EXPECT_STREQ(L"FP \"1\"", fp.get());
    EXPECT_STREQ(L"", fpEng.get());
    EXPECT_EQ(L"GetCaCertFingerPrint(caCertFP=\"in\", caCertFPEng=null)", LastCallLine());
    EXPECT_EQ(E_ACCESSDENIED, server->CheckCompliance());
    EXPECT_EQ(L"CheckCompliance() -> 0x80070005", LastCallLine());
    EXPECT_EQ(1u, TarnRef_CountCalls(L"CheckCompliance"));
    EXPECT_TRUE(TarnRef_WaitForCalls(L"CheckCompliance", 1, kWaitMs));
    EXPECT_EQ(pid, TarnRef_ServerProcessId());
}

TEST_F(RefServerOopTest, OnlyTheCallingProcessThatPreparedGetsAnObject) {
    // A request for the class object can be refused, as DllGetClassObject
    // can in process, and is counted (COM may ask more than once per request).
    ComPtr<ISecureFactory> factory;
    TarnRef_FailOperation(L"DllGetClassObject", E_ACCESSDENIED);
    EXPECT_TRUE(FAILED(GetFactory(factory)));
    TarnRef_FailOperation(L"DllGetClassObject", 0);
    const ULONG requests = TarnRef_ClassObjectRequests();
    ASSERT_EQ(S_OK, GetFactory(factory));
    EXPECT_LT(requests, TarnRef_ClassObjectRequests());
    const ULONG self = ::GetCurrentProcessId();
    const ULONG other = TarnRef_ServerProcessId();
    ComPtr<ITarnServer> server;
    EXPECT_EQ(E_ACCESSDENIED, CreateFor(factory.Get(), self, server));
    win::UniqueSafeArray reply;
    ASSERT_EQ(S_OK, factory->PrepareCreate(self, 0x22FE40, reply.put()));
    ASSERT_TRUE(reply);
    EXPECT_EQ(16u, reply.get()->rgsabound[0].cElements);
    EXPECT_EQ(L"PrepareCreate(processId=" + std::to_wstring(self) + L", opaque=0x000000000022FE40)", LastCallLine());
    // Prepared for another process (here: the server's own), asked by this one.
    ASSERT_EQ(S_OK, factory->PrepareCreate(other, 1, reply.put()));
    EXPECT_EQ(E_ACCESSDENIED, CreateFor(factory.Get(), other, server));
    EXPECT_FALSE(server);
    ASSERT_EQ(S_OK, CreateFor(factory.Get(), self, server));
    EXPECT_EQ(L"CreateForProcess(processId=" + std::to_wstring(self) +
                  L", creationArg=0, iid=23291788-c88f-4172-ab75-daee65aec531)",
              LastCallLine());
    ComPtr<IKestrel> kestrel;
    EXPECT_EQ(S_OK, server.As(&kestrel));
    TarnRef_EnableInterface(TARNREF_IFACE_DOWNLOAD, FALSE);
    ComPtr<ITarnDownload> download;
    EXPECT_EQ(E_NOINTERFACE, server.As(&download));
}

// ----- arrays across the boundary ---------------------------------------------

TEST_F(RefServerOopTest, ArraysArriveExactlyAsSentInBothDirections) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    const ULONG cookie = RegisterClient(server.Get());
    ULONG queue = 0;
    ASSERT_EQ(S_OK, server->LOG_CreateLogQueue(&queue));
    // The two sides format what they hold with the same code: equal texts
    // mean equal element types, dimensions, bounds and elements.
    const auto cases = ArrayCases();
    for (const ArrayCase& c : cases) {
        SCOPED_TRACE(c.name);
        win::UniqueSafeArray sent = c.make();
        const std::wstring shape = tarnref::FormatArray(sent.get());
        server->LOG_CreateLogRecord(queue, sent.get());
        const std::wstring line = LastCallLine();
        const std::wstring expected =
            L"LOG_CreateLogRecord(queue=" + std::to_wstring(queue) + L", record=" + shape + L")";
        EXPECT_EQ(expected, line.substr(0, expected.size()));
        HRESULT result = E_FAIL;
        ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePoliciesArray(cookie, sent.get()), kWaitMs, &result));
        EXPECT_EQ(S_OK, result);
        ASSERT_FALSE(client_.Arrived().empty());
        EXPECT_EQ(shape, client_.Arrived().back());
    }
    EXPECT_EQ(L"VT_BSTR[3x2,lb=1,1]{{\"a\",\"b\",\"c\"},{\"d\",\"e\",\"f\"}}",
              tarnref::FormatArray(cases[2].make().get()));

    // Arrays the server answers with.
    const LONG pacs[] = {3, 1, 2};
    TarnRef_SetActivations(pacs, 3);
    win::UniqueSafeArray answer;
    ASSERT_EQ(S_OK, server->GetActivations(answer.put()));
    EXPECT_EQ(L"VT_I4[lb=0]{3,1,2}", tarnref::FormatArray(answer.get()));
    TarnRef_SetActivationsArray(nullptr);
    ASSERT_EQ(S_OK, server->GetActivations(answer.put()));
    EXPECT_FALSE(answer);
    win::UniqueSafeArray table = cases[2].make();
    TarnRef_SetBladeMessageResponse(table.get());
    win::UniqueSafeArray request = TextArray({{3, 0}, {1, 0}}, {L"PROP", L"MSG_TYPE", L"T"});
    ASSERT_EQ(S_OK, server->SendBladeMessage(request.get(), answer.put()));
    EXPECT_EQ(tarnref::FormatArray(table.get()), tarnref::FormatArray(answer.get()));
}

// ----- the server process ending --------------------------------------------------

// What a client holds keeps the server; once it lets go, the server ends by
// itself after a short linger.
TEST_F(RefServerOopTest, TheServerEndsWhenItsLastClientLetsGo) {
    struct Hold {
        const char* name;
        std::function<ComPtr<IUnknown>()> take;
    };
    const Hold holds[] = {
        {"server object", [] { return ComPtr<IUnknown>(CreateServer()); }},
        {"class object",
         [] {
             ComPtr<ISecureFactory> factory;
             EXPECT_EQ(S_OK, GetFactory(factory));
             return ComPtr<IUnknown>(factory);
         }},
    };
    for (const Hold& hold : holds) {
        SCOPED_TRACE(hold.name);
        ASSERT_NE(0u, TarnRef_StartServer(kWaitMs));
        ComPtr<IUnknown> held = hold.take();
        ASSERT_TRUE(held);
        TarnRef_Disconnect();
        EXPECT_FALSE(TarnRef_WaitServerExit(1500)) << "ended while a client held its object";
        held.Reset();
        EXPECT_TRUE(TarnRef_WaitServerExit(kWaitMs));
        EXPECT_EQ(0u, TarnRef_ServerProcessId());
    }
}

TEST_F(RefServerOopTest, AClientProcessThatDiedHoldingAnObjectDoesNotKeepTheServer) {
    const ULONG pid = TarnRef_ServerProcessId();
    std::wstring commandLine = L"\"" + FileBesideTest(L"refserver_client_child.exe") + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(
        ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    win::UniqueHandle child(info.hProcess), thread(info.hThread);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(child.get(), 30000));
    DWORD code = 1;
    ::GetExitCodeProcess(child.get(), &code);
    ASSERT_EQ(0u, code) << "the child did not get its object";
    EXPECT_EQ(L"CreateForProcess(processId=" + std::to_wstring(info.dwProcessId) +
                  L", creationArg=0, iid=23291788-c88f-4172-ab75-daee65aec531)",
              tarn_test::ServerTest::CallsStartingWith(L"CreateForProcess").at(0));
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
    EXPECT_EQ(pid, TarnRef_ServerProcessId());

    TarnRef_Disconnect();
    EXPECT_TRUE(TarnRef_WaitServerExit(kWaitMs));
}

// Started, but nobody came: it ends after about half a minute, not at once
// (a client may still be on its way).
TEST(RefServerOopUnusedTest, AServerNobodyUsesEndsByItself) {
    ASSERT_EQ(S_OK, TarnRef_RegisterServer());
    ASSERT_NE(0u, TarnRef_StartServer(kWaitMs));
    EXPECT_FALSE(TarnRef_WaitServerExit(3000)) << "ended before a client could come";
    EXPECT_TRUE(TarnRef_WaitServerExit(60000));
    EXPECT_EQ(0u, TarnRef_ServerProcessId());
    if (TarnRef_ServerProcessId()) TarnRef_ExitServer(kWaitMs);
    EXPECT_EQ(S_OK, TarnRef_UnregisterServer());
}

// ----- the caller's apartment ---------------------------------------------------

unsigned __stdcall CountCallsOnThread(void* argument) {
    auto* apartment = static_cast<std::pair<DWORD, ULONG>*>(argument);
    const DWORD init = apartment->first;
    const HRESULT initialised = init == ~0u ? S_FALSE : ::CoInitializeEx(nullptr, init);
    apartment->second = TarnRef_CallCount();
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    // A thread the client left uninitialised can still enter an apartment.
    const bool kept = init == ~0u ? ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK
                                  : SUCCEEDED(::CoGetApartmentType(&type, &qualifier)) &&
                                        type == (init == COINIT_MULTITHREADED ? APTTYPE_MTA : APTTYPE_MAINSTA);
    ::CoUninitialize();  // balances this thread's own initialisation
    if (initialised != S_OK && init != ~0u) return 2;
    return kept ? 0 : 1;
}

TEST_F(RefServerOopTest, CallsWorkFromAnyApartmentAndLeaveItAlone) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    ASSERT_EQ(S_OK, server->CheckCompliance());
    const ULONG calls = TarnRef_CallCount();
    ASSERT_NE(0u, calls);
    const DWORD apartments[] = {~0u, COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED};
    for (DWORD init : apartments) {
        SCOPED_TRACE(init);
        std::pair<DWORD, ULONG> state(init, 0);
        const uintptr_t thread = _beginthreadex(nullptr, 0, CountCallsOnThread, &state, 0, nullptr);
        ASSERT_NE(0u, thread);
        win::UniqueHandle handle(reinterpret_cast<HANDLE>(thread));
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(handle.get(), 30000));
        DWORD code = 9;
        ::GetExitCodeThread(handle.get(), &code);
        EXPECT_EQ(0u, code) << "the thread's apartment was changed";
        EXPECT_EQ(calls, state.second);
    }
}

}  // namespace
