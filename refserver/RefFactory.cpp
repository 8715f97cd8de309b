#include "RefFactory.h"

#include "RefServerObject.h"
#include "RefState.h"

#include <new>
#include <vector>

namespace tarnref {
namespace {

using Guard = win::Lock;

// The reply's content means nothing to the client, which checks only its
// length; it is derived from the request so that it is not constant.
std::vector<BYTE> ReplyBytes(ULONG processId, LONGLONG opaque, ULONG size) {
    std::vector<BYTE> bytes(size);
    const ULONGLONG mix = static_cast<ULONGLONG>(opaque) ^ (static_cast<ULONGLONG>(processId) << 17);
    for (ULONG i = 0; i < size; ++i) {
        bytes[i] = static_cast<BYTE>((mix >> (8 * (i % 8))) ^ (i * 0x9Du));
    }
    return bytes;
}

}  // namespace

HRESULT ServerDownResult() {
    RefState& state = RefState::Instance();
    Guard guard(state.Lock());
    return state.dead ? CO_E_SERVER_EXEC_FAILURE : S_OK;
}

RefSecureFactory::RefSecureFactory() { ++g_liveObjects; }

RefSecureFactory::~RefSecureFactory() { --g_liveObjects; }

HRESULT STDMETHODCALLTYPE RefSecureFactory::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_ISecureFactory)) {
        return E_NOINTERFACE;
    }
    if (IsEqualIID(iid, IID_ISecureFactory) && g_frontEnd.outOfProcess) {
        const HRESULT refused = ClassObjectRequest();
        if (refused != S_OK) return refused;
    }
    *object = static_cast<ISecureFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE RefSecureFactory::AddRef() { return ++references_; }

ULONG STDMETHODCALLTYPE RefSecureFactory::Release() {
    const ULONG remaining = --references_;
    if (remaining == 0) delete this;
    return remaining;
}

HRESULT RefSecureFactory::ClassObjectRequest() {
    NoteClassObjectRequest();
    const HRESULT down = ServerDownResult();
    if (down != S_OK) return down;
    const std::optional<HRESULT> injected = RefState::Instance().InjectedFailure(L"DllGetClassObject");
    return injected ? *injected : S_OK;
}

HRESULT STDMETHODCALLTYPE RefSecureFactory::PrepareCreate(ULONG processId, LONGLONG opaque, SAFEARRAY** reply) {
    const std::wstring args =
        L"processId=" + FormatUnsigned(processId) + L", opaque=" + FormatHex64(static_cast<ULONGLONG>(opaque));
    return ServeCall(L"PrepareCreate", args, ServerDownResult(), [&] { return MakeReply(processId, opaque, reply); });
}

HRESULT RefSecureFactory::MakeReply(ULONG processId, LONGLONG opaque, SAFEARRAY** reply) {
    if (!reply) return E_POINTER;
    *reply = nullptr;
    RefState& state = RefState::Instance();
    Guard guard(state.Lock());
    const std::vector<BYTE> bytes = ReplyBytes(processId, opaque, state.config.prepareReplySize);
    win::UniqueSafeArray array = MakeByteArray(bytes.data(), static_cast<ULONG>(bytes.size()));
    if (!array) return E_OUTOFMEMORY;
    preparedProcesses_.insert(processId);
    *reply = array.release();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE RefSecureFactory::CreateForProcess(ULONG processId, ULONG creationArg, REFIID iid,
                                                             void** object) {
    const std::wstring args = L"processId=" + FormatUnsigned(processId) + L", creationArg=" +
                              FormatUnsigned(creationArg) + L", iid=" + FormatGuid(iid);
    return ServeCall(L"CreateForProcess", args, ServerDownResult(),
                     [&] { return CreateServerObject(processId, iid, object); });
}

HRESULT RefSecureFactory::CreateServerObject(ULONG processId, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    RefState& state = RefState::Instance();
    ULONG generation = 0;
    {
        Guard guard(state.Lock());
        // Only the process that prepared the creation, and only when it is
        // the one calling, gets an object.
        if (processId != g_frontEnd.callerProcessId() || !preparedProcesses_.count(processId)) {
            return E_ACCESSDENIED;
        }
        generation = state.generation;
    }
    win::ComPtr<ITarnServer> server;
    server.Attach(new (std::nothrow) RefServerObject(generation));
    if (!server) return E_OUTOFMEMORY;
    return server->QueryInterface(iid, object);
}

}  // namespace tarnref
