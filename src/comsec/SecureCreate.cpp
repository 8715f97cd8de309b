#include "comsec/SecureCreate.h"

#include "comsec/EventMonitor.h"
#include "comsec/GantryLoader.h"
#include "log/AdaptorLog.h"
#include "win/Registry.h"
#include "win/SafeArrayView.h"

#include <cstring>

namespace comsec {
namespace {

const wchar_t kClassKeyPrefix[] = L"Software\\Classes\\CLSID\\";

// What the validation demands of the server file: an image the linker
// finished (IMAGE_FILE_EXECUTABLE_IMAGE), built for x86 or x64.
constexpr ULONG kServerFileFlags = GANTRY_PE_REQUIRE_EXECUTABLE;                         // 1
constexpr ULONG kServerFileMachines = GANTRY_PE_MACHINE_I386 | GANTRY_PE_MACHINE_AMD64;  // 9
static_assert(kServerFileFlags == 1 && kServerFileMachines == 9, "the validation is called with 1 and 9");

constexpr LONG kReplyBytes = 16;
// How long a change made while the class object was obtained may take to be
// reported by the directory watch; paid in full only by creations without a
// change, once per connection.
constexpr DWORD kChangeGraceMs = 100;

// The two views of the per-user classes: the process's own, and the other
// one of a 64-bit system (a 32-bit blade on 64-bit Windows also finds
// classes registered for 64-bit programs there, and the other way round).
struct RegistryView {
    REGSAM flag;
    const wchar_t* name;
};
constexpr RegistryView kPerUserViews[] = {
    {0, L"native"},
    {sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY, L"WOW64"},
};

std::wstring StripEnclosingQuotes(const std::wstring& text) {
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') return text.substr(1, text.size() - 2);
    return text;
}

// The 16 bytes belong to the server's protocol; the stub only insists on the
// length. Any other shape, or no array at all, refuses the creation.
HRESULT CopyReply(SAFEARRAY* reply, BYTE (&buffer)[kReplyBytes]) {
    const win::SafeArrayView view(reply);
    if (view.Dimensions() != 1 || view.Count(1) != static_cast<ULONG>(kReplyBytes) || view.ElementSize() != 1)
        return E_ABORT;
    const auto bytes = view.LockBytes();
    if (!bytes) return E_UNEXPECTED;
    std::memcpy(buffer, bytes.data(), kReplyBytes);
    return S_OK;
}

// Steps from PrepareCreate on; the factory is released by the caller.
HRESULT CreateThroughFactory(ISecureFactory* factory, win::ComPtr<ITarnServer>& server, ULONG creationArg) {
    const DWORD processId = ::GetCurrentProcessId();
    BYTE replyBuffer[kReplyBytes] = {};
    // The server identifies the request by the buffer's address, given
    // sign-extended as a 32-bit stub passes it.
    const LONGLONG opaque = static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(&replyBuffer[0]));
    win::UniqueSafeArray reply;
    HRESULT hr = factory->PrepareCreate(processId, opaque, reply.put());
    if (FAILED(hr)) return hr;
    hr = CopyReply(reply.get(), replyBuffer);
    if (FAILED(hr)) return hr;
    hr = factory->CreateForProcess(processId, creationArg, IID_ITarnServer,
                                   reinterpret_cast<void**>(server.ReleaseAndGetAddressOf()));
    if (FAILED(hr)) {
        server.Reset();  // whatever a failing server left there is not ours to use
        return hr;
    }
    // A success without an object would reach the caller as a null server.
    return server ? S_OK : E_POINTER;
}

}  // namespace

std::wstring ClassKeyName(REFCLSID clsid) {
    wchar_t text[39] = {};
    if (::StringFromGUID2(clsid, text, 39) != 39) return std::wstring();
    return std::wstring(kClassKeyPrefix) + text;
}

ServerRegistration FindServer(REFCLSID clsid) {
    win::UniqueHKey classKey;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyName(clsid).c_str(), 0, KEY_READ, classKey.put()) != ERROR_SUCCESS)
        return {};
    const auto serverText = [&](const wchar_t* subkey) {
        return win::ReadRegistryText(classKey.get(), subkey, nullptr).value_or(L"");
    };
    std::wstring text = serverText(L"LocalServer32");
    if (!text.empty()) return {StripEnclosingQuotes(text), CLSCTX_LOCAL_SERVER};
    text = serverText(L"InProcServer32");
    if (!text.empty()) return {StripEnclosingQuotes(text), CLSCTX_INPROC_SERVER};
    return {};
}

std::wstring FindServerPath(REFCLSID clsid) { return FindServer(clsid).path; }

bool RefusePerUserRegistration(REFCLSID clsid) {
    const std::wstring keyName = ClassKeyName(clsid);
    for (const RegistryView& view : kPerUserViews) {
        win::UniqueHKey key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, keyName.c_str(), 0, KEY_QUERY_VALUE | view.flag, key.put()) !=
            ERROR_SUCCESS) {
            continue;
        }
        WriteLog(LOG_ERROR, "comsec::SecureCreateInstance",
                 L"Per-user registration of the server class found, key: HKCU\\%s (%s view), creation refused",
                 keyName.c_str(), view.name);
        return true;
    }
    return false;
}

bool IsValidServerFile(const std::wstring& path) {
    CGantry gantry;
    if (!gantry.Load()) return false;
    return gantry.IsPEFileValidExT(path, kServerFileFlags, kServerFileMachines);
}

bool ValidateServerFile(REFCLSID clsid) {
    const std::wstring path = FindServerPath(clsid);
    return !path.empty() && IsValidServerFile(path);
}

// The order matters: the watch is armed before the file is validated, so a
// file or registration swapped after the validation is noticed; the watch is
// read only after the class object exists, that is after COM has resolved
// the registration and loaded or started the server. The monitor is stopped
// and destroyed on every return by its destructor.
//
// COM looks for the class under HKEY_CURRENT_USER before the machine's
// registration (for a process that is not elevated): a registration there,
// which any program of the user can write, would have COM start a server
// nobody validated. Such a registration refuses the creation, before COM is
// asked and again once the class object exists (the watch covers only the
// machine's key).
HRESULT SecureCreateInstance(REFCLSID clsid, win::ComPtr<ITarnServer>& server, ULONG creationArg) {
    server.Reset();
    CEventMonitor monitor;
    if (!monitor.StartMonitor(clsid, IID_ITarnServer)) return E_ABORT;
    // COM is asked only for the kind of server whose file was validated:
    // with both subkeys present it would otherwise prefer the in-process one
    // and load a file nobody checked.
    const ServerRegistration registration = FindServer(clsid);
    if (registration.path.empty() || !IsValidServerFile(registration.path)) return E_ABORT;
    if (RefusePerUserRegistration(clsid)) return E_ABORT;
    win::ComPtr<ISecureFactory> factory;
    HRESULT hr = ::CoGetClassObject(clsid, registration.classContext, nullptr, IID_ISecureFactory,
                                    reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!factory) return E_NOINTERFACE;
    if (monitor.ChangedAfterSettling(kChangeGraceMs) || RefusePerUserRegistration(clsid)) return E_ABORT;
    return CreateThroughFactory(factory.Get(), server, creationArg);
}

}  // namespace comsec
