// A sample blade for TarnStub.
//
// It is written as a blade developer writes one: against tarnstub.h and the
// import library only. To have something to talk to it uses the bundled
// reference Tarn server in its own process (TarnRefServer.exe, reached
// through the proxy/stub DLL TarnProxy.dll, as the real Tarn server is),
// which it steers through tarnref.h (TarnRefClient.dll) to publish policies,
// operations and activation lists, push and pull payloads, answer messages
// and downloads, and report an incident.
//
//   sample_blade [blade-type]              a scripted session (default 12)
//   sample_blade --reconnect [blade-type]  the server process exits and the
//                                          stub starts a new one (about half
//                                          a minute: the stub checks the
//                                          server every 30 seconds)
//
// At the end the sample lets go of the server and waits until the server
// process has ended by itself: nothing is left running.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarnref.h"
#include "tarnstub.h"

namespace {

// ---- owners ---------------------------------------------------------------------

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using UniqueKey = std::unique_ptr<HKEY__, KeyCloser>;

struct SearchCloser {
    void operator()(HANDLE search) const { FindClose(search); }
};
using UniqueSearch = std::unique_ptr<void, SearchCloser>;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// A BSTR an export hands out: the blade frees it.
class OwnedBstr {
public:
    OwnedBstr() = default;
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    ~OwnedBstr() { SysFreeString(text_); }
    BSTR* put() {
        SysFreeString(text_);
        text_ = nullptr;
        return &text_;
    }
    BSTR get() const { return text_; }

private:
    BSTR text_ = nullptr;
};

// ---- the transcript -----------------------------------------------------------

// Callbacks print from the stub's and the server's threads.
std::mutex g_printLock;

void Print(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_printLock);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

const char* CodeMeaning(DWORD code) {
    switch (code) {
        case TARNSTUB_OK: return "success";
        case TARNSTUB_ALREADY_INITIALIZED: return "an adaptor already exists";
        case TARNSTUB_NOT_INITIALIZED: return "the stub is not initialised";
        case TARNSTUB_PEER_STILL_HELD: return "a notification peer is still held";
        case TARNSTUB_NO_NOTIFICATION_PEER: return "no notification peer for this blade";
        case TARNSTUB_ADAPTOR_CREATION_FAILED: return "creating the adaptor failed";
        case TARNSTUB_BLADE_TYPE_NOT_ACCEPTED: return "blade type not accepted";
        case TARNSTUB_PEER_CREATION_FAILED: return "creating the notification peer failed";
        case TARNSTUB_ADAPTOR_INIT_FAILED: return "the adaptor failed to start";
        case TARNSTUB_THREAD_START_FAILED: return "starting the worker thread failed";
        case TARNSTUB_THREAD_WAIT_FAILED: return "waiting for the worker thread failed";
        case TARNSTUB_THREAD_EXIT_CODE_FAILED: return "reading the worker's exit code failed";
        case TARNSTUB_DOWNLOAD_FAILED: return "the download request failed";
        case TARNSTUB_COMPLIANCE_FAILED: return "the compliance query failed";
        case TARNSTUB_POLICY_FAILED: return "the policy query failed";
        case TARNSTUB_ACTIVATION_FAILED: return "the activation query failed";
        case TARNSTUB_SETTINGS_CALLBACK_NOT_VPN: return "the settings-update callback is only for blade type 6";
        case TARNSTUB_BUFFER_TOO_SMALL: return "the buffer is too small";
        case TARNSTUB_NULL_CALLBACK: return "the callback pointer is null";
        case TARNSTUB_PAYLOAD_FAILED: return "the payload collection failed";
        case TARNSTUB_LOG_FAILED: return "the log collection failed";
        case TARNSTUB_PROVIDER_INFO_FAILED: return "the provider info request failed";
        case TARNSTUB_OPERATION_STATUS_FAILED: return "the operation status report failed";
        case TARNSTUB_NULL_POINTER: return "a required pointer is null";
        case TARNSTUB_COUNT_BELOW_ONE: return "the item count is below 1";
        case TARNSTUB_SETTING_AFTER_INIT: return "this setting must come before initialisation";
        case TARNSTUB_BLADE_PAYLOAD_FAILED: return "sending the blade payload failed";
        case TARNSTUB_CA_FINGERPRINT_FAILED: return "the CA fingerprint query failed";
        case TARNSTUB_INCIDENT_FAILED: return "the incident report failed";
        case TARNSTUB_OUT_OF_MEMORY: return "out of memory";
        default: return "unknown code";
    }
}

// Codes other than 0 that the script provokes on purpose, so that a failure
// of the session stands out.
int g_unexpectedFailures = 0;

DWORD Call(const char* what, DWORD code, DWORD expected = TARNSTUB_OK) {
    const bool asExpected = code == expected;
    if (!asExpected) ++g_unexpectedFailures;
    Print("%-52s -> %2lu  %s%s\n", what, static_cast<unsigned long>(code), CodeMeaning(code),
          asExpected ? (code == TARNSTUB_OK ? "" : "  (expected)") : "  <-- UNEXPECTED");
    return code;
}

std::string Narrow(const wchar_t* text, UINT length) {
    if (!text || length == 0) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &narrow[0], size, nullptr, nullptr);
    return narrow;
}

std::string Narrow(BSTR text) { return Narrow(text, SysStringLen(text)); }

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// ---- callbacks -----------------------------------------------------------------

// Set by the callbacks; the session waits for them. Auto-reset events.
UniqueHandle g_connected, g_newPolicy, g_newOperation, g_activation, g_payloadResponse, g_incident, g_settingsUpdate;

void TARNSTUB_CALL OnConnected(void) {
    Print("  [callback] connected to the Tarn server\n");
    SetEvent(g_connected.get());
}

void TARNSTUB_CALL OnNewPolicy(GUID policyId, LONG policyType, LONG pac) {
    Print("  [callback] new policy: id %s, type %ld, PAC %ld\n", GuidText(policyId).c_str(), policyType, pac);
    SetEvent(g_newPolicy.get());
}

void TARNSTUB_CALL OnNewOperation(GUID opId, DWORD opType, BSTR content) {
    Print("  [callback] new operation: id %s, type %lu, content \"%s\"\n", GuidText(opId).c_str(),
          static_cast<unsigned long>(opType), Narrow(content).c_str());
    SetEvent(g_newOperation.get());
}

void TARNSTUB_CALL OnActivationStatus(const LONG* pacs, LONG count) {
    std::string list;
    for (LONG i = 0; i < count; ++i) list += (i ? ", " : "") + std::to_string(pacs[i]);
    Print("  [callback] activation list changed: { %s } (%ld entries)\n", list.c_str(), count);
    SetEvent(g_activation.get());
}

void TARNSTUB_CALL OnPayloadResponse(BSTR type, BSTR payload) {
    Print("  [callback] payload response: type \"%s\", payload \"%s\"\n", Narrow(type).c_str(),
          Narrow(payload).c_str());
    SetEvent(g_payloadResponse.get());
}

void TARNSTUB_CALL OnIncident(BSTR id, DWORD type, BSTR d1, BSTR d2, BSTR d3, LONG v1, DWORD v2, DWORD v3, BSTR d4) {
    Print("  [callback] incident: id \"%s\", type %lu, details \"%s\" \"%s\" \"%s\" \"%s\", values %ld %lu %lu\n",
          Narrow(id).c_str(), static_cast<unsigned long>(type), Narrow(d1).c_str(), Narrow(d2).c_str(),
          Narrow(d3).c_str(), Narrow(d4).c_str(), v1, static_cast<unsigned long>(v2), static_cast<unsigned long>(v3));
    SetEvent(g_incident.get());
}

void TARNSTUB_CALL OnSettingsUpdate(LONG setting, LONG value) {
    Print("  [callback] settings update: %ld, %ld\n", setting, value);
    SetEvent(g_settingsUpdate.get());
}

// Blade types whose notifications reach the plain callbacks. The
// remote-access blade (6) has a peer of its own; 8 and 11 have none.
bool HasDefaultPeer(DWORD bladeType) { return bladeType == 9 || (bladeType >= 12 && bladeType <= 16); }

void Await(const UniqueHandle& event, const char* what, DWORD seconds = 10) {
    if (WaitForSingleObject(event.get(), seconds * 1000) != WAIT_OBJECT_0) {
        Print("  (no %s arrived within %lu seconds)  <-- UNEXPECTED\n", what, static_cast<unsigned long>(seconds));
        ++g_unexpectedFailures;
    }
}

// ---- the reference server's side -------------------------------------------------

// The reference server out of process: the Tarn server class and the control
// class served by TarnRefServer.exe, and TarnProxy.dll's proxy/stub class for
// the interfaces (ITarnServer's entry stands for all of them).
const wchar_t kTarnServerClass[] = L"Software\\Classes\\CLSID\\{EE4930E4-BBF2-4578-9B1E-656C4FE111F7}";
const wchar_t kControlClass[] = L"Software\\Classes\\CLSID\\{AC08A08D-D50F-4171-BAD5-DF5269FC1324}";
const wchar_t kProxyClassId[] = L"{8C49975A-298E-4A60-AB5D-BC32850A9088}";
const wchar_t kServerInterface[] = L"Software\\Classes\\Interface\\{23291788-C88F-4172-AB75-DAEE65AEC531}";

std::string Narrow(const std::wstring& text) { return Narrow(text.c_str(), static_cast<UINT>(text.size())); }

// The default value of an HKLM key, without surrounding quotes; empty when
// there is none.
std::wstring RegisteredText(const std::wstring& keyPath) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return {};
    UniqueKey key(opened);
    wchar_t text[MAX_PATH + 2] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    std::wstring value(text);
    if (value.size() >= 2 && value.front() == L'"' && value.back() == L'"') value = value.substr(1, value.size() - 2);
    return value;
}

bool SameFile(const std::wstring& registered, const std::wstring& path) {
    return _wcsicmp(registered.c_str(), path.c_str()) == 0;
}

// TarnRefClient.dll starts and registers the server files beside itself.
std::wstring ServerFolder() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(L"TarnRefClient.dll"), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L"\\/") + 1);
}

// Registers the reference server out of process (TarnProxy.dll, and
// TarnRefServer.exe as the local server of both classes) unless these very
// files are registered already.
void EnsureServerRegistered() {
    const std::wstring folder = ServerFolder();
    const std::wstring exe = folder + L"TarnRefServer.exe", proxy = folder + L"TarnProxy.dll";
    const bool registered =
        SameFile(RegisteredText(std::wstring(kTarnServerClass) + L"\\LocalServer32"), exe) &&
        SameFile(RegisteredText(std::wstring(kControlClass) + L"\\LocalServer32"), exe) &&
        SameFile(RegisteredText(std::wstring(L"Software\\Classes\\CLSID\\") + kProxyClassId + L"\\InProcServer32"),
                 proxy) &&
        SameFile(RegisteredText(std::wstring(kServerInterface) + L"\\ProxyStubClsid32"), kProxyClassId);
    if (registered) return;
    const HRESULT hr = TarnRef_RegisterServer();
    Print(
        "Registered the reference Tarn server out of process (TarnProxy.dll and TarnRefServer.exe in %s): "
        "hr 0x%08lx%s\n\n",
        Narrow(folder).c_str(), static_cast<unsigned long>(hr), SUCCEEDED(hr) ? "" : "  <-- UNEXPECTED");
    if (FAILED(hr)) ++g_unexpectedFailures;
}

// The file name of a running process's program, "?" when it cannot be read.
std::string ProgramOf(ULONG processId) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!process || !QueryFullProcessImageNameW(process.get(), 0, path, &length)) return "?";
    const std::wstring file(path, length);
    return Narrow(file.substr(file.find_last_of(L"\\/") + 1));
}

// The first line of the server's call record that starts with prefix.
std::string RecordedCall(const wchar_t* prefix) {
    const size_t prefixLength = wcslen(prefix);
    for (ULONG i = 0, count = TarnRef_CallCount(); i < count; ++i) {
        std::wstring line(TarnRef_GetCallLine(i, nullptr, 0) + 1, L'\0');
        line.resize(TarnRef_GetCallLine(i, &line[0], static_cast<ULONG>(line.size())));
        if (line.compare(0, prefixLength, prefix) == 0) return Narrow(line);
    }
    return "(none)";
}

// Starts TarnRefServer.exe and shows that it runs apart from the blade.
ULONG StartServer() {
    const ULONG server = TarnRef_StartServer(30000);
    if (!server) {
        Print("TarnRefServer.exe did not start  <-- UNEXPECTED\n");
        ++g_unexpectedFailures;
        return 0;
    }
    Print("The reference Tarn server runs in a process of its own:\n");
    Print("  the blade    process %5lu  %s\n", static_cast<unsigned long>(GetCurrentProcessId()),
          ProgramOf(GetCurrentProcessId()).c_str());
    Print("  the server   process %5lu  %s\n\n", static_cast<unsigned long>(server), ProgramOf(server).c_str());
    return server;
}

// The stub's registration reached the server process: what it recorded.
void ShowServerSide(ULONG server) {
    const ULONG serving = TarnRef_ServerProcessId();
    Print("     server process %lu recorded: %s\n", static_cast<unsigned long>(serving),
          RecordedCall(L"Register(").c_str());
    if (serving != server || TarnRef_RegistrationCount() != 1) {
        Print("     (expected one registration in process %lu)  <-- UNEXPECTED\n", static_cast<unsigned long>(server));
        ++g_unexpectedFailures;
    }
}

// Lets go of the server; with the stub finalised nothing holds it any more,
// and it ends by itself.
void LetGoOfServer(ULONG server) {
    TarnRef_Disconnect();
    if (TarnRef_WaitServerExit(10000)) {
        Print("The server process %lu ended by itself once the blade had let go of it.\n",
              static_cast<unsigned long>(server));
        return;
    }
    Print("The server process %lu still runs 10 seconds after the blade let go of it  <-- UNEXPECTED\n",
          static_cast<unsigned long>(server));
    ++g_unexpectedFailures;
    TarnRef_ExitServer(10000);  // leave nothing behind
}

void PrepareServer() {
    const char common[] = "<policy type=\"51\" pac=\"1\">common client settings</policy>";
    TarnRef_SetPolicyContent(51, 1, common, sizeof(common) - 1);
    const char blade[] = "<policy type=\"77\" pac=\"2\">url filtering: strict</policy>";
    TarnRef_SetPolicyContent(77, 2, blade, sizeof(blade) - 1);
    const LONG pacs[] = {3, 1, 2};
    TarnRef_SetActivations(pacs, 3);
    TarnRef_SetResult(L"CheckCompliance", 3);  // compliant, and changed since the last check
    TarnRef_SetDownloadFileName(L"C:\\ProgramData\\Tarn\\downloads\\update.cab");
    TarnRef_SetCaCertFingerPrint(L"9F:3A:77:C1:0B:5E", L"NINE-F THREE-A SEVEN-SEVEN C-ONE ZERO-B FIVE-E");
    TarnRef_SetPullOnTrigger(TRUE);
}

// ---- the log ---------------------------------------------------------------------

// The log folder a blade's installation configures. The sample sets one
// beside itself when none is configured, or when the configured one can
// neither be found nor created.
bool UsableDirectory(const wchar_t* dir) {
    return dir[0] != L'\0' && (CreateDirectoryW(dir, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
}

std::wstring EnsureLogDirectory() {
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvalis\\Quillon", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, &opened, nullptr) != ERROR_SUCCESS)
        return {};
    UniqueKey key(opened);
    wchar_t dir[MAX_PATH] = {};
    DWORD size = sizeof(dir) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), L"LOGDIR", nullptr, nullptr, reinterpret_cast<BYTE*>(dir), &size) !=
            ERROR_SUCCESS ||
        !UsableDirectory(dir)) {
        GetCurrentDirectoryW(MAX_PATH - 8, dir);
        wcscat(dir, L"\\logs");
        RegSetValueExW(key.get(), L"LOGDIR", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                       static_cast<DWORD>((wcslen(dir) + 1) * sizeof(wchar_t)));
    }
    return dir;
}

void PrintLogTail(const std::wstring& dir, size_t count) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\sample_blade*-adaptor.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        Print("\nNo adaptor log in %s\n", Narrow(dir).c_str());
        return;
    }
    const UniqueSearch searchOwner(search);
    const std::wstring path = dir + L"\\" + found.cFileName;
    Print("\nAdaptor log: %s (last %u lines)\n", Narrow(path).c_str(), static_cast<unsigned>(count));
    UniqueFile file(_wfsopen(path.c_str(), L"r", 0x40 /* _SH_DENYNO */));
    if (!file) return;
    std::vector<std::string> lines;
    char line[4096];
    while (std::fgets(line, sizeof(line), file.get())) lines.emplace_back(line);
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        Print("  %s", lines[i].c_str());
}

// ---- the session -------------------------------------------------------------------

void RegisterCallbacks(DWORD bladeType) {
    // Blade types without a notification peer (8, 11) cannot register these.
    const DWORD withPeer = (HasDefaultPeer(bladeType) || bladeType == 6) ? TARNSTUB_OK : TARNSTUB_NO_NOTIFICATION_PEER;
    Call("RegisterNewPolicyArrivalNotificationCallback", RegisterNewPolicyArrivalNotificationCallback(&OnNewPolicy),
         withPeer);
    Call("RegisterNewOperationArrivalNotificationCallback",
         RegisterNewOperationArrivalNotificationCallback(&OnNewOperation), withPeer);
    Call("RegisterActivationStatusChangedNotificationCallback",
         RegisterActivationStatusChangedNotificationCallback(&OnActivationStatus), withPeer);
    Call("RegisterOnPayloadResponseNotificationCallback",
         RegisterOnPayloadResponseNotificationCallback(&OnPayloadResponse), withPeer);
    Call("RegisterReportIncidentNotificationCallback", RegisterReportIncidentNotificationCallback(&OnIncident),
         withPeer);
    // Only the remote-access blade (6) has settings updates.
    const DWORD settings = withPeer != TARNSTUB_OK ? withPeer
                           : bladeType == 6        ? TARNSTUB_OK
                                                   : TARNSTUB_SETTINGS_CALLBACK_NOT_VPN;
    Call("RegisterSettingsUpdateCallback", RegisterSettingsUpdateCallback(&OnSettingsUpdate), settings);
}

void Requests() {
    Print("\n-- requests --\n");
    OwnedBstr text;
    if (Call("GetCommonClientPolicy", GetCommonClientPolicy(text.put())) == TARNSTUB_OK)
        Print("     content: \"%s\"\n", Narrow(text.get()).c_str());
    if (Call("GetPolicy(77, 2)", GetPolicy(77, 2, text.put())) == TARNSTUB_OK)
        Print("     content: \"%s\"\n", Narrow(text.get()).c_str());
    Call("GetPolicy(99, 9): a policy the server does not have", GetPolicy(99, 9, text.put()), TARNSTUB_POLICY_FAILED);

    DWORD compliant = 0, changed = 0;
    if (Call("QueryCompliance", QueryCompliance(&compliant, &changed)) == TARNSTUB_OK)
        Print("     compliant %lu, changed %lu\n", static_cast<unsigned long>(compliant),
              static_cast<unsigned long>(changed));

    LONG pacs[8] = {};
    LONG count = 8;
    if (Call("GetActivationStatus", GetActivationStatus(pacs, &count)) == TARNSTUB_OK) {
        std::string list;
        for (LONG i = 0; i < count; ++i) list += (i ? ", " : "") + std::to_string(pacs[i]);
        Print("     PAC priority list: { %s }\n", list.c_str());
    }

    OperationStatusData status = {};
    status.opGuid = {0x5a1e0001, 0x0002, 0x0003, {4, 5, 6, 7, 8, 9, 10, 11}};
    status.opStatus = 2;
    status.opText1 = L"scan finished";
    status.opValue = 100;
    Call("SetOperationStatus", SetOperationStatus(&status));

    const wchar_t* propertyNames[] = {L"version", L"engine"};
    const wchar_t* propertyValues[] = {L"1.0", L"sample"};
    const wchar_t* chunkNames[] = {L"state"};
    const wchar_t* chunkValues[] = {L"<state ok=\"1\"/>"};
    const wchar_t* messages[] = {L"sample blade ready"};
    ProviderInfoData provider = {
        L"SampleBlade", propertyNames, propertyValues, 2, chunkNames, chunkValues, 1, messages, 1};
    Call("CollectProviderInfo", CollectProviderInfo(&provider));

    const BYTE record[] = {0x01, 0x02, 'h', 'e', 'l', 'l', 'o'};
    Call("CollectLog", CollectLog(record, sizeof(record)));

    Call("ReportIncident", ReportIncident(L"INC-0001", 3, L"sample", L"blade", L"report", -1, 2, 3, L"done"));

    Call("CollectPayload (the server pulls it)", CollectPayload(L"SAMPLE_PAYLOAD", L"caf\u00e9 au lait"));
    const ULONG pull = TarnRef_LastPullCall();
    wchar_t pulledType[64] = {}, pulledData[256] = {};
    HRESULT pullResult = E_FAIL;
    if (pull && TarnRef_WaitCall(pull, 5000, &pullResult) &&
        TarnRef_GetPulledPayload(pull, pulledType, 64, pulledData, 256, nullptr))
        Print("     the server pulled type \"%s\", data \"%s\"\n",
              Narrow(pulledType, static_cast<UINT>(wcslen(pulledType))).c_str(),
              Narrow(pulledData, static_cast<UINT>(wcslen(pulledData))).c_str());

    OwnedBstr response;
    if (Call("SendBladePayload", SendBladePayload(L"SAMPLE_MESSAGE", L"ping", response.put())) == TARNSTUB_OK)
        Print("     response: \"%s\"\n", Narrow(response.get()).c_str());

    if (Call("DownloadFile", DownloadFile(L"https://updates.example/update.cab", text.put())) == TARNSTUB_OK)
        Print("     file: \"%s\"\n", Narrow(text.get()).c_str());
    OwnedBstr fingerprint, spoken;
    if (Call("GetCaCertFingerPrint", GetCaCertFingerPrint(fingerprint.put(), spoken.put())) == TARNSTUB_OK)
        Print("     fingerprint: \"%s\" / \"%s\"\n", Narrow(fingerprint.get()).c_str(), Narrow(spoken.get()).c_str());
}

// The remote-access blade hears only of its compliance engine, named in its
// type-60 policy.
void RemoteAccessNotifications() {
    Print("\n-- notifications from the server --\n");
    const char policy[] = "<policy type=\"60\"><vpn client_verification_engine=\"QLCompliance\"/></policy>";
    TarnRef_SetPolicyContent(60, 1, policy, sizeof(policy) - 1);
    TarnRef_CallPolicyArrival(0,
                              L"<policy type=\"60\" pac=\"1\" id=\"00000000-0000-0000-0000-000000000000\" "
                              L"modDate=\"1765000000000\"/>");
    Await(g_settingsUpdate, "settings update");
    Print("  (the remote-access blade's peer passes nothing else on)\n");
}

void Notifications(DWORD bladeType) {
    if (bladeType == 6) return RemoteAccessNotifications();
    if (!HasDefaultPeer(bladeType)) {
        Print(
            "\n-- notifications --\n  (blade type %lu has no notification peer: the stub logs and drops "
            "notifications)\n",
            static_cast<unsigned long>(bladeType));
        return;
    }
    Print("\n-- notifications from the server --\n");
    TarnRef_CallPolicyArrival(0,
                              L"<policy type=\"77\" pac=\"2\" id=\"6b1f0e2a-4c3d-4e5f-8a9b-0c1d2e3f4a5b\" "
                              L"modDate=\"1765000000000\"/>");
    Await(g_newPolicy, "new policy");
    const GUID operation = {0x0b5e0001, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
    TarnRef_CallOperationArrival(0, &operation, 4, L"rescan C:\\Users");
    Await(g_newOperation, "new operation");
    const LONG pacs[] = {2, 3};
    TarnRef_CallActivatePolicies(0, pacs, 2);
    Await(g_activation, "activation list");
    const char payload[] = "{\"answer\": 42}";
    TarnRef_CallPushData(0, payload, sizeof(payload) - 1, L"SAMPLE_RESPONSE");
    Await(g_payloadResponse, "payload response");
    if (bladeType == 13) {
        const ULONG call = TarnRef_CallReportIncident(0, L"SRV-77", 9, L"from", L"the", L"server", 1, 2, 3, L"end");
        Await(g_incident, "incident");
        HRESULT hr = E_FAIL;
        TarnRef_WaitCall(call, 5000, &hr);
    } else {
        Print("  (incidents reach only the Kestrel blade, type 13)\n");
    }
}

// The server process exits; the stub's monitor thread finds it gone at its
// next check and creates the server object anew, which starts a new server
// process. The sample steers nothing meanwhile: a control call would start
// that process itself.
ULONG Reconnection(ULONG server) {
    Print("\n-- the server process exits --\n");
    ResetEvent(g_connected.get());  // the first connection's signal is not the one awaited
    const bool ended = TarnRef_ExitServer(10000);
    Print("  TarnRefServer.exe, process %lu, exited (TarnRef_ExitServer)%s\n", static_cast<unsigned long>(server),
          ended ? "" : "  <-- UNEXPECTED: it still runs");
    if (!ended) ++g_unexpectedFailures;
    OwnedBstr text;
    Call("GetCommonClientPolicy while the server is gone", GetCommonClientPolicy(text.put()), TARNSTUB_POLICY_FAILED);

    Print("  waiting for the stub's monitor thread (it checks the server every 30 seconds)...\n");
    const DWORD waitStart = GetTickCount();
    Await(g_connected, "reconnection", 70);
    const ULONG fresh = TarnRef_ServerProcessId();
    Print("  after %lu s the stub runs against a new server process: %lu (%s); the old one, %lu, is gone\n",
          static_cast<unsigned long>((GetTickCount() - waitStart + 500) / 1000), static_cast<unsigned long>(fresh),
          ProgramOf(fresh).c_str(), static_cast<unsigned long>(server));
    if (fresh == 0 || fresh == server) {
        Print("  (no new server process)  <-- UNEXPECTED\n");
        ++g_unexpectedFailures;
    }
    ShowServerSide(fresh);

    // A new server process knows nothing of the old one's answers.
    PrepareServer();
    if (Call("GetCommonClientPolicy after the reconnection", GetCommonClientPolicy(text.put())) == TARNSTUB_OK)
        Print("     content: \"%s\"\n", Narrow(text.get()).c_str());
    return fresh;
}

}  // namespace

int main(int argc, char** argv) {
    for (UniqueHandle* event : {&g_connected, &g_newPolicy, &g_newOperation, &g_activation, &g_payloadResponse,
                                &g_incident, &g_settingsUpdate})
        event->reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    bool reconnect = false;
    DWORD bladeType = 12;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reconnect") == 0)
            reconnect = true;
        else
            bladeType = static_cast<DWORD>(std::strtoul(argv[i], nullptr, 10));
    }
    const std::wstring logDir = EnsureLogDirectory();
    Print("TarnStub sample blade: blade type %lu%s\n\n", static_cast<unsigned long>(bladeType),
          reconnect ? ", reconnection" : "");
    EnsureServerRegistered();
    ULONG server = StartServer();
    if (!server) return 1;
    TarnRef_Reset();
    PrepareServer();

    Print("-- before initialisation --\n");
    const wchar_t* responseTypes[] = {L"SAMPLE_RESPONSE"};
    Call("SetSupportedPayloadResponseTypes", SetSupportedPayloadResponseTypes(responseTypes, 1));
    Call("RegisterConnectToTarnNotificationCallback", RegisterConnectToTarnNotificationCallback(&OnConnected));
    Call("GetCommonClientPolicy before Initialize", GetCommonClientPolicy(nullptr), TARNSTUB_NULL_POINTER);
    OwnedBstr unused;
    Call("GetPolicy before Initialize", GetPolicy(51, 1, unused.put()), TARNSTUB_NOT_INITIALIZED);

    Print("\n-- initialisation --\n");
    if (Call("Initialize", Initialize(bladeType)) != TARNSTUB_OK) {
        LetGoOfServer(server);
        return 1;
    }
    ShowServerSide(server);
    RegisterCallbacks(bladeType);

    if (reconnect) {
        server = Reconnection(server);
    } else {
        Requests();
        Notifications(bladeType);
    }

    Print("\n-- end --\n");
    Call("Finalize", Finalize());
    Call("Finalize again", Finalize(), TARNSTUB_NOT_INITIALIZED);
    LetGoOfServer(server);
    PrintLogTail(logDir, 20);
    Print("\n%s\n", g_unexpectedFailures ? "The session had unexpected results." : "The session went as scripted.");
    return g_unexpectedFailures ? 1 : 0;
}
