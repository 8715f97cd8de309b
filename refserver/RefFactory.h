// The server's class object: the two-step creation that identifies the
// calling process before it hands out a server object.
#pragma once

#include "server/TarnServer.h"

#include <atomic>
#include <set>

namespace tarnref {

class RefSecureFactory final : public ISecureFactory {
public:
    RefSecureFactory();
    ~RefSecureFactory();
    RefSecureFactory(const RefSecureFactory&) = delete;
    RefSecureFactory& operator=(const RefSecureFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    ULONG References() const { return references_; }

    HRESULT STDMETHODCALLTYPE PrepareCreate(ULONG processId, LONGLONG opaque, SAFEARRAY** reply) override;
    HRESULT STDMETHODCALLTYPE CreateForProcess(ULONG processId, ULONG creationArg, REFIID iid, void** object) override;

private:
    HRESULT MakeReply(ULONG processId, LONGLONG opaque, SAFEARRAY** reply);
    HRESULT CreateServerObject(ULONG processId, REFIID iid, void** object);

    // Out of process, a client's request for the class object reaches the
    // factory as a query for ISecureFactory: it counts as one (and may be
    // refused) as DllGetClassObject does in process.
    HRESULT ClassObjectRequest();

    std::atomic<ULONG> references_{1};
    std::set<ULONG> preparedProcesses_;  // guarded by the state's lock
};

// The HRESULT every class-object call answers while the server is dead.
HRESULT ServerDownResult();

}  // namespace tarnref
