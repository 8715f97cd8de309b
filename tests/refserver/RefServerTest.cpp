// The reference server as a client meets it: registered under HKLM, reached
// through CoGetClassObject and the secure factory from the multithreaded
// apartment, steered and observed through its control API.
#include "TestClient.h"
#include "server/TarnServer.h"
#include "tarnref.h"
#include "win/raii.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using win::ComPtr;

constexpr DWORD kWaitMs = 5000;
const wchar_t kClassKey[] = L"Software\\Classes\\CLSID\\{EE4930E4-BBF2-4578-9B1E-656C4FE111F7}";

HMODULE ServerModule() { return ::GetModuleHandleW(L"TarnRefServer.dll"); }

HRESULT CallModuleExport(const char* name) {
    using Entry = HRESULT(STDAPICALLTYPE*)();
    FARPROC proc = ::GetProcAddress(ServerModule(), name);
    if (!proc) return E_FAIL;
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(proc))();
}

std::wstring ReadClassValue(const wchar_t* subkey, const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    const std::wstring path = std::wstring(kClassKey) + (subkey ? L"\\" : L"") + (subkey ? subkey : L"");
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value,
                       &size) != ERROR_SUCCESS) {
        return L"<missing>";
    }
    return value;
}

std::wstring CallLine(ULONG index) {
    wchar_t line[4096] = {};
    TarnRef_GetCallLine(index, line, 4096);
    return line;
}

std::wstring LastCallLine() {
    const ULONG count = TarnRef_CallCount();
    return count ? CallLine(count - 1) : std::wstring();
}

win::UniqueSafeArray Vector(VARTYPE vt, std::initializer_list<LONG> values) {
    win::UniqueSafeArray array(::SafeArrayCreateVector(vt, 0, static_cast<ULONG>(values.size())));
    LONG index = 0;
    for (LONG value : values) ::SafeArrayPutElement(array.get(), &index, &value), ++index;
    return array;
}

win::UniqueSafeArray TextTable(ULONG columns, std::initializer_list<const wchar_t*> cells) {
    const ULONG rows = static_cast<ULONG>(cells.size()) / columns;
    SAFEARRAYBOUND bounds[2] = {{columns, 0}, {rows, 0}};
    win::UniqueSafeArray table(::SafeArrayCreate(VT_BSTR, 2, bounds));
    win::SafeArrayData data(table.get());
    size_t i = 0;
    for (const wchar_t* cell : cells) data.as<BSTR>()[i++] = ::SysAllocString(cell);
    return table;
}

std::wstring Cell(SAFEARRAY* table, ULONG column, ULONG row) {
    win::SafeArrayData data(table);
    LONG upper = 0;
    ::SafeArrayGetUBound(table, 1, &upper);
    const ULONG columns = static_cast<ULONG>(upper) + 1;
    return data.as<BSTR>()[row * columns + column];
}

class RefServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TarnRef_Reset();
        ASSERT_EQ(S_OK, CallModuleExport("DllRegisterServer"));
    }

    HRESULT GetFactory(ComPtr<ISecureFactory>& factory) {
        return ::CoGetClassObject(CLSID_TarnServer, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                  nullptr, IID_ISecureFactory,
                                  reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
    }

    ComPtr<ITarnServer> CreateServer() {
        ComPtr<ISecureFactory> factory;
        EXPECT_EQ(S_OK, GetFactory(factory));
        if (!factory) return nullptr;
        win::UniqueSafeArray reply;
        EXPECT_EQ(S_OK, factory->PrepareCreate(::GetCurrentProcessId(), 0x1234, reply.put()));
        ComPtr<ITarnServer> server;
        EXPECT_EQ(S_OK, factory->CreateForProcess(::GetCurrentProcessId(), 0, IID_ITarnServer,
                                                  reinterpret_cast<void**>(server.GetAddressOf())));
        return server;
    }

    ULONG RegisterClient(ITarnServer* server, TestClient& client) {
        win::UniqueSafeArray types = Vector(VT_UI4, {77, 80, 78, 51});
        ULONG cookie = 0;
        EXPECT_EQ(S_OK, server->Register(&client, &cookie, 1009, types.get()));
        return cookie;
    }

    win::MtaScope mta_;
};

TEST_F(RefServerTest, RegistersItselfAndCreatesObjectsOnlyForThePreparedProcess) {
    wchar_t modulePath[MAX_PATH] = {};
    ::GetModuleFileNameW(ServerModule(), modulePath, MAX_PATH);
    EXPECT_EQ(modulePath, ReadClassValue(L"InProcServer32", nullptr));
    EXPECT_EQ(L"Both", ReadClassValue(L"InProcServer32", L"ThreadingModel"));

    const ULONG requestsBefore = TarnRef_ClassObjectRequests();
    ComPtr<ISecureFactory> factory;
    ASSERT_EQ(S_OK, GetFactory(factory));
    EXPECT_EQ(requestsBefore + 1, TarnRef_ClassObjectRequests());

    const ULONG pid = ::GetCurrentProcessId();
    ComPtr<ITarnServer> server;
    EXPECT_EQ(E_ACCESSDENIED, factory->CreateForProcess(pid, 0, IID_ITarnServer,
                                                        reinterpret_cast<void**>(server.GetAddressOf())));
    win::UniqueSafeArray reply;
    ASSERT_EQ(S_OK, factory->PrepareCreate(pid, 0x22FE40, reply.put()));
    VARTYPE vt = VT_EMPTY;
    ::SafeArrayGetVartype(reply.get(), &vt);
    EXPECT_EQ(VT_UI1, vt);
    EXPECT_EQ(16u, reply.get()->rgsabound[0].cElements);
    EXPECT_EQ(E_ACCESSDENIED, factory->CreateForProcess(pid + 4, 0, IID_ITarnServer,
                                                        reinterpret_cast<void**>(server.GetAddressOf())));
    ASSERT_EQ(S_OK, factory->CreateForProcess(pid, 0, IID_ITarnServer,
                                              reinterpret_cast<void**>(server.GetAddressOf())));
    EXPECT_TRUE(server);
    EXPECT_EQ(L"PrepareCreate(processId=" + std::to_wstring(pid) + L", opaque=0x000000000022FE40)",
              CallLine(1));
    EXPECT_EQ(L"CreateForProcess(processId=" + std::to_wstring(pid) +
                  L", creationArg=0, iid=23291788-c88f-4172-ab75-daee65aec531)",
              LastCallLine());

    TarnRef_SetPrepareReplySize(15);
    ASSERT_EQ(S_OK, factory->PrepareCreate(pid, 0, reply.put()));
    EXPECT_EQ(15u, reply.get()->rgsabound[0].cElements);

    EXPECT_EQ(S_OK, CallModuleExport("DllUnregisterServer"));
    EXPECT_EQ(L"<missing>", ReadClassValue(L"InProcServer32", nullptr));
    EXPECT_EQ(S_OK, CallModuleExport("DllUnregisterServer"));
}

TEST_F(RefServerTest, ClassObjectRequestsChangeTheClassKeyOrTheModuleDirectory) {
    TarnRef_SetClassObjectSideEffect(TARNREF_SIDE_EFFECT_REGISTRY, L"RefProbe");
    ComPtr<ISecureFactory> factory;
    ASSERT_EQ(S_OK, GetFactory(factory));
    const std::wstring first = ReadClassValue(nullptr, L"RefProbe");
    ASSERT_EQ(S_OK, GetFactory(factory));
    const std::wstring second = ReadClassValue(nullptr, L"RefProbe");
    EXPECT_NE(L"<missing>", first);
    EXPECT_NE(first, second);

    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(ServerModule(), path, MAX_PATH);
    std::wstring probe(path);
    probe = probe.substr(0, probe.find_last_of(L'\\') + 1) + L"refserver-probe.txt";
    ::DeleteFileW(probe.c_str());
    TarnRef_SetClassObjectSideEffect(TARNREF_SIDE_EFFECT_FILE, L"refserver-probe.txt");
    ASSERT_EQ(S_OK, GetFactory(factory));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(probe.c_str()));
    ::DeleteFileW(probe.c_str());
}

TEST_F(RefServerTest, RegistrationHoldsTheClientUntilUnregister) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    TestClient client(false);
    const ULONG cookie = RegisterClient(server.Get(), client);
    EXPECT_NE(0u, cookie);
    EXPECT_EQ(2u, client.References());
    EXPECT_EQ(L"Register(bladeType=1009, policyTypes=VT_UI4[lb=0]{77,80,78,51})", LastCallLine());

    win::UniqueSafeArray types(::SafeArrayCreateVector(VT_BSTR, 0, 2));
    LONG index = 0;
    win::UniqueBstr a = win::UniqueBstr::Copy(L"a\"b"), b = win::UniqueBstr::Copy(L"c");
    ::SafeArrayPutElement(types.get(), &index, a.get());
    index = 1;
    ::SafeArrayPutElement(types.get(), &index, b.get());
    EXPECT_EQ(S_OK, server->AddExpectedMessageTypes(cookie, types.get()));
    EXPECT_EQ(L"AddExpectedMessageTypes(cookie=" + std::to_wstring(cookie) +
                  L", messageTypes=VT_BSTR[lb=0]{\"a\\\"b\",\"c\"})",
              LastCallLine());

    EXPECT_EQ(S_OK, server->IsAlive(cookie));
    EXPECT_EQ(S_OK, server->Unregister(cookie));
    EXPECT_EQ(1u, client.References());
    EXPECT_EQ(E_INVALIDARG, server->IsAlive(cookie));
    EXPECT_EQ(L"IsAlive(cookie=" + std::to_wstring(cookie) + L") -> 0x80070057", LastCallLine());
    EXPECT_EQ(2u, TarnRef_CountCalls(L"IsAlive"));
}

TEST_F(RefServerTest, BadClientInputIsRefusedWithoutHarm) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    TestClient client(false);
    win::UniqueSafeArray signedTypes = Vector(VT_I4, {1});
    ULONG cookie = 0;
    EXPECT_EQ(E_INVALIDARG, server->Register(&client, &cookie, 9, signedTypes.get()));
    EXPECT_EQ(E_INVALIDARG, server->Register(&client, &cookie, 9, nullptr));
    win::UniqueSafeArray types = Vector(VT_UI4, {});
    EXPECT_EQ(E_POINTER, server->Register(&client, nullptr, 9, types.get()));
    EXPECT_EQ(E_POINTER, server->Register(nullptr, &cookie, 9, types.get()));
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    EXPECT_EQ(1u, client.References());

    EXPECT_EQ(E_POINTER, server->GetActivations(nullptr));
    EXPECT_EQ(E_POINTER, server->GetPolicyContent(1, 1, nullptr));
    ULONG queue = 0;
    ASSERT_EQ(S_OK, server->LOG_CreateLogQueue(&queue));
    EXPECT_EQ(E_INVALIDARG, server->LOG_CreateLogRecord(queue, nullptr));
    EXPECT_EQ(E_INVALIDARG, server->LOG_CreateLogRecord(queue, types.get()));
    EXPECT_EQ(E_INVALIDARG, server->LOG_CommitLogQueue(queue + 1));

    win::UniqueSafeArray fourColumns = TextTable(4, {L"PROP", L"MSG_TYPE", L"T", L"x"});
    SAFEARRAY* response = nullptr;
    EXPECT_EQ(E_INVALIDARG, server->SendBladeMessage(fourColumns.get(), &response));
    EXPECT_EQ(nullptr, response);
    win::UniqueSafeArray table = TextTable(3, {L"PROP", L"MSG_TYPE", L"T"});
    EXPECT_EQ(E_POINTER, server->SendBladeMessage(table.get(), nullptr));
    EXPECT_EQ(E_INVALIDARG, server->SetProperties(GUID_NULL, table.get()));
    EXPECT_EQ(L"SetProperties(bladeGuid=00000000-0000-0000-0000-000000000000, "
              L"table=VT_BSTR[3x1,lb=0,0]{{\"PROP\",\"MSG_TYPE\",\"T\"}}) -> 0x80070057",
              LastCallLine());
}

TEST_F(RefServerTest, AnswersChosenAndMalformedData) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    TarnRef_SetPolicyContent(60, 2, "a\0b", 3);
    win::UniqueSafeArray content;
    ASSERT_EQ(S_OK, server->GetPolicyContent(60, 2, content.put()));
    ASSERT_EQ(3u, content.get()->rgsabound[0].cElements);
    EXPECT_EQ(0, static_cast<const char*>(content.get()->pvData)[1]);
    ASSERT_EQ(S_OK, server->GetPolicyContent(60, 3, content.put()));
    EXPECT_EQ(0u, content.get()->rgsabound[0].cElements);
    EXPECT_EQ(L"GetPolicyContent(policyType=60, pac=3)", LastCallLine());

    SAFEARRAYBOUND bounds[2] = {{2, 1}, {1, 0}};
    win::UniqueSafeArray twoDimensional(::SafeArrayCreate(VT_UI4, 2, bounds));
    TarnRef_SetActivationsArray(twoDimensional.get());
    win::UniqueSafeArray pacs;
    ASSERT_EQ(S_OK, server->GetActivations(pacs.put()));
    EXPECT_EQ(2u, ::SafeArrayGetDim(pacs.get()));
    TarnRef_SetActivationsArray(nullptr);
    ASSERT_EQ(S_OK, server->GetActivations(pacs.put()));
    EXPECT_EQ(nullptr, pacs.get());

    win::UniqueSafeArray request = TextTable(3, {L"PROP", L"MSG_TYPE", L"T", L"PROP", L"MSG_REQ_DATA",
                                                 L"hello", L"HEADER_RESP", L"X-A", L""});
    win::UniqueSafeArray response;
    ASSERT_EQ(S_OK, server->SendBladeMessage(request.get(), response.put()));
    ASSERT_EQ(2u, ::SafeArrayGetDim(response.get()));
    EXPECT_EQ(L"T", Cell(response.get(), 2, 0));
    EXPECT_EQ(L"MSG_RESP_DATA", Cell(response.get(), 1, 1));
    EXPECT_EQ(L"hello", Cell(response.get(), 2, 1));
    EXPECT_EQ(L"X-A", Cell(response.get(), 1, 5));
    win::UniqueSafeArray oneDimensional = Vector(VT_BSTR, {});
    TarnRef_SetBladeMessageResponse(oneDimensional.get());
    ASSERT_EQ(S_OK, server->SendBladeMessage(request.get(), response.put()));
    EXPECT_EQ(1u, ::SafeArrayGetDim(response.get()));

    ULONG queue = 0;
    ASSERT_EQ(S_OK, server->LOG_CreateLogQueue(&queue));
    win::UniqueSafeArray record(::SafeArrayCreateVector(VT_UI1, 0, 3));
    std::memcpy(record.get()->pvData, "a\0\xff", 3);
    TarnRef_SetResult(L"LOG_CreateLogRecord", 1);
    EXPECT_EQ(1, server->LOG_CreateLogRecord(queue, record.get()));
    EXPECT_EQ(L"LOG_CreateLogRecord(queue=" + std::to_wstring(queue) + L", record=VT_UI1[lb=0]{6100FF})",
              LastCallLine());
}

TEST_F(RefServerTest, ProviderTablesAreRecordedCellByCell) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    const GUID blade = {0x0a1b2c3d, 0x4e5f, 0x6071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};
    ASSERT_EQ(S_OK, server->RegisterProvider(blade));
    EXPECT_TRUE(TarnRef_IsProviderRegistered(&blade));
    SAFEARRAYBOUND bounds[2] = {{4, 0}, {1, 0}};
    win::UniqueSafeArray table(::SafeArrayCreate(VT_VARIANT, 2, bounds));
    {
        win::SafeArrayData data(table.get());
        VARIANT* cells = data.as<VARIANT>();
        const wchar_t* texts[3] = {L"Prov", L"Key", L"Va\\l"};
        for (int i = 0; i < 3; ++i) {
            cells[i].vt = VT_BSTR;
            cells[i].bstrVal = ::SysAllocString(texts[i]);
        }
        cells[3].vt = VT_UI4;
        cells[3].ulVal = 1;
    }
    EXPECT_EQ(S_OK, server->SetProperties(blade, table.get()));
    EXPECT_EQ(L"SetProperties(bladeGuid=0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9, "
              L"table=VT_VARIANT[4x1,lb=0,0]{{VT_BSTR:\"Prov\",VT_BSTR:\"Key\","
              L"VT_BSTR:\"Va\\\\l\",VT_UI4:1}})",
              LastCallLine());
    EXPECT_EQ(S_OK, server->UnRegisterProvider(blade));
    EXPECT_FALSE(TarnRef_IsProviderRegistered(&blade));
    EXPECT_EQ(S_FALSE, server->UnRegisterProvider(blade));
}

TEST_F(RefServerTest, InjectedFailuresAndChosenResults) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    TestClient client(false);
    win::UniqueSafeArray types = Vector(VT_UI4, {});
    ULONG cookie = 0;
    TarnRef_FailOperation(L"Register", E_FAIL);
    EXPECT_EQ(E_FAIL, server->Register(&client, &cookie, 9, types.get()));
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    EXPECT_EQ(1u, client.References());
    TarnRef_FailOperation(L"Register", 0);
    EXPECT_EQ(S_OK, server->Register(&client, &cookie, 9, types.get()));

    EXPECT_EQ(S_OK, server->CheckCompliance());
    TarnRef_SetResult(L"CheckCompliance", 3);
    EXPECT_EQ(3, server->CheckCompliance());
    EXPECT_EQ(E_NOTIMPL, server->Reserved17());
    EXPECT_EQ(L"Reserved17() -> 0x80004001", LastCallLine());
    EXPECT_EQ(S_OK, server->Unregister(cookie));
}

TEST_F(RefServerTest, DeadServerRefusesEverythingAndRestartLeavesOldObjectsDead) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    TestClient client(false);
    const ULONG cookie = RegisterClient(server.Get(), client);

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
    EXPECT_EQ(1u, client.References());
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    EXPECT_EQ(RPC_E_DISCONNECTED, server->IsAlive(cookie));
    ComPtr<ITarnServer> fresh = CreateServer();
    ASSERT_TRUE(fresh);
    const ULONG newCookie = RegisterClient(fresh.Get(), client);
    EXPECT_NE(cookie, newCookie);
    EXPECT_EQ(S_OK, fresh->IsAlive(newCookie));
    EXPECT_EQ(S_OK, fresh->Unregister(newCookie));
}

TEST_F(RefServerTest, ExtraInterfacesCanBeSwitchedOff) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    ComPtr<IKestrel> kestrel;
    ASSERT_EQ(S_OK, server.As(&kestrel));
    TarnRef_SetResult(L"ReportIncident", S_FALSE);
    win::UniqueBstr id = win::UniqueBstr::Copy(L"inc-1"), text = win::UniqueBstr::Copy(L"d");
    EXPECT_EQ(S_FALSE, kestrel->ReportIncident(id.get(), 5, text.get(), nullptr, text.get(), -1, 2, 3,
                                               text.get()));
    EXPECT_EQ(L"ReportIncident(incidentId=\"inc-1\", incidentType=5, detail1=\"d\", detail2=null, "
              L"detail3=\"d\", value1=-1, value2=2, value3=3, detail4=\"d\")",
              LastCallLine());

    ComPtr<ITarnDownload> download;
    ASSERT_EQ(S_OK, server.As(&download));
    win::UniqueBstr url = win::UniqueBstr::Copy(L"http://x/y");
    BSTR fileName = ::SysAllocString(L"NoFname");
    EXPECT_EQ(S_OK, download->DownloadFile(url.get(), &fileName));
    EXPECT_STREQ(L"NoFname", fileName);
    TarnRef_SetDownloadFileName(L"C:\\dl\\y.bin");
    EXPECT_EQ(S_OK, download->DownloadFile(url.get(), &fileName));
    EXPECT_STREQ(L"C:\\dl\\y.bin", fileName);
    win::UniqueBstr ownedName(fileName);
    EXPECT_EQ(L"DownloadFile(url=\"http://x/y\", fileName=\"NoFname\")", CallLine(TarnRef_CallCount() - 2));

    TarnRef_EnableInterface(TARNREF_IFACE_KESTREL, FALSE);
    TarnRef_EnableInterface(TARNREF_IFACE_DOWNLOAD, FALSE);
    TarnRef_EnableInterface(TARNREF_IFACE_CERTIFICATE, FALSE);
    ComPtr<IKestrel> noKestrel;
    ComPtr<ITarnDownload> noDownload;
    ComPtr<ITarnCertificate> noCertificate;
    EXPECT_EQ(E_NOINTERFACE, server.As(&noKestrel));
    EXPECT_EQ(E_NOINTERFACE, server.As(&noDownload));
    EXPECT_EQ(E_NOINTERFACE, server.As(&noCertificate));
    TarnRef_EnableInterface(TARNREF_IFACE_CERTIFICATE, TRUE);
    ASSERT_EQ(S_OK, server.As(&noCertificate));
    TarnRef_SetCaCertFingerPrint(L"AB:CD", L"abcd");
    win::UniqueBstr fp = win::UniqueBstr::Copy(L""), fpEng = win::UniqueBstr::Copy(L"");
    BSTR rawFp = fp.release(), rawFpEng = fpEng.release();
    EXPECT_EQ(S_OK, noCertificate->GetCaCertFingerPrint(&rawFp, &rawFpEng));
    fp.reset(rawFp);
    fpEng.reset(rawFpEng);
    EXPECT_STREQ(L"AB:CD", fp.get());
    EXPECT_STREQ(L"abcd", fpEng.get());
    EXPECT_EQ(E_POINTER, noCertificate->GetCaCertFingerPrint(nullptr, &rawFpEng));
}

TEST_F(RefServerTest, CallsTheClientFromThreadsOfItsOwn) {
    ComPtr<ITarnServer> server = CreateServer();
    ASSERT_TRUE(server);
    TestClient client(true);
    const ULONG cookie = RegisterClient(server.Get(), client);
    HRESULT result = E_FAIL;

    const ULONG arrival = TarnRef_CallPolicyArrival(cookie, L"<policy type=\"60\"/>");
    ASSERT_NE(0u, arrival);
    ASSERT_TRUE(TarnRef_WaitCall(arrival, kWaitMs, &result));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ(L"<policy type=\"60\"/>", client.description);
    EXPECT_NE(::GetCurrentThreadId(), client.lastThread);

    const LONG pacs[] = {7, 3, 12};
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePolicies(0, pacs, 3), kWaitMs, &result));
    EXPECT_EQ(S_OK, result);
    EXPECT_EQ((std::vector<LONG>{7, 3, 12}), client.pacs);
    win::UniqueSafeArray wrongType = Vector(VT_UI4, {1});
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePoliciesArray(0, wrongType.get()), kWaitMs, &result));
    EXPECT_EQ(E_INVALIDARG, result);

    client.pullBytes = "h\xC3\xA9";
    client.pullType = L"STATUS";
    TarnRef_SetPullOnTrigger(TRUE);
    ASSERT_EQ(S_OK, server->TriggerPayloadPoll(cookie));
    EXPECT_EQ(1u, TarnRef_PayloadPollCount());
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_LastPullCall(), kWaitMs, &result));
    wchar_t type[16] = {}, data[16] = {};
    VARTYPE vt = VT_EMPTY;
    ASSERT_TRUE(TarnRef_GetPulledPayload(TarnRef_LastPullCall(), type, 16, data, 16, &vt));
    EXPECT_STREQ(L"STATUS", type);
    EXPECT_STREQ(L"h\u00e9", data);
    EXPECT_EQ(VT_UI1, vt);

    const ULONG incident = TarnRef_CallReportIncident(0, L"i-9", 4, L"a", nullptr, L"c", -2, 0, 0, L"d");
    ASSERT_TRUE(TarnRef_WaitCall(incident, kWaitMs, &result));
    EXPECT_EQ(S_FALSE, result);
    EXPECT_EQ(L"i-9/4/-2", client.incident);

    EXPECT_EQ(0u, TarnRef_CallPolicyArrival(cookie + 100, L"x"));
    EXPECT_EQ(S_OK, server->Unregister(cookie));
    EXPECT_EQ(1u, client.References());
}

}  // namespace
