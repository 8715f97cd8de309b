
#include "adaptor/TarnAdaptor.h"
#include "notify/TARNClientBridge.h"

TarnAdaptor::AdaptorContext::AdaptorContext() : callbackObject_(TARNClientBridge::Create()) {}

TarnAdaptor::AdaptorContext::~AdaptorContext() {
    callbackObject_.Reset();
    ReleaseServer();
}

win::ComPtr<ITarnServer> TarnAdaptor::AdaptorContext::GetServer() {
    win::Lock lock(contextLock_);
    return server_;
}

void TarnAdaptor::AdaptorContext::SetServer(ITarnServer* server) {
    win::Lock lock(contextLock_);
    if (server_.Get() != server) server_ = server;
}

void TarnAdaptor::AdaptorContext::ReleaseServer() {
    win::ComPtr<ITarnServer> released;
    {
        win::Lock lock(contextLock_);
        released.Swap(server_);
    }
    // Released outside the lock: the server's last release may take time.
}
