// A client process that dies holding a server object: it creates one through
// the secure factory of the out-of-process reference server, registers a
// callback object, and ends without releasing anything, as a crashed blade
// would. Exit code 0: it held the object when it ended.
#include "server/TarnServer.h"
#include "win/raii.h"

namespace {

// A callback object that outlives nothing: the process ends holding it.
class DyingClient final : public ITARNClient {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        const bool known = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITARNClient);
        *object = known ? static_cast<ITARNClient*>(this) : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY*, BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY**, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ServerClosing() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAvailability() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PropertyChange(LONG, LONG, BSTR, BSTR, VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID, ULONG, BSTR) override { return S_OK; }
};

DyingClient g_client;

int TakeObjectAndDie() {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    ISecureFactory* factory = nullptr;
    if (FAILED(::CoGetClassObject(CLSID_TarnServer, CLSCTX_LOCAL_SERVER, nullptr, IID_ISecureFactory,
                                  reinterpret_cast<void**>(&factory)))) {
        return 3;
    }
    win::UniqueSafeArray reply;
    const ULONG self = ::GetCurrentProcessId();
    ITarnServer* server = nullptr;
    if (FAILED(factory->PrepareCreate(self, 1, reply.put())) ||
        FAILED(factory->CreateForProcess(self, 0, IID_ITarnServer, reinterpret_cast<void**>(&server)))) {
        return 4;
    }
    factory->Release();  // only the server object is left behind
    win::UniqueSafeArray types(::SafeArrayCreateVector(VT_UI4, 0, 0));
    ULONG cookie = 0;
    if (FAILED(server->Register(&g_client, &cookie, 12, types.get()))) return 5;
    // Ends without releasing the object or leaving the apartment.
    ::ExitProcess(0);
}

}  // namespace

int main() { return TakeObjectAndDie(); }
