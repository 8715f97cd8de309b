// The one way a request export runs its adaptor method: on a fresh worker
// thread in the multithreaded apartment, while the export's caller waits
// (holding the module lock) without a time limit.
#pragma once

#include <windows.h>

#include <mutex>

#include "stub/ModuleState.h"

class TarnAdaptor;

namespace request_worker {

using Method = HRESULT (*)(TarnAdaptor& adaptor, void* block);

// Runs method(adaptor, block) on a worker thread. Returns 0 when the method
// succeeded, failureCode when it failed, or 9, 10, 11 when the worker could
// not be started, waited for or its exit code read.
DWORD Run(TarnAdaptor& adaptor, void* block, Method method, DWORD failureCode);

}  // namespace request_worker

// The frame of every request export: holds the module lock for the export's
// whole duration and runs its adaptor method with its argument block.
class RequestExport {
    template <typename T>
    struct Identity {
        using type = T;
    };
    template <typename T>
    using NonDeduced = typename Identity<T>::type;

public:
    RequestExport() : lock_(Module().moduleLock) {}

    TarnAdaptor* Adaptor() const { return Module().adaptor.load(); }

    // Runs method on the argument block; method is a plain function or a
    // lambda without captures taking (TarnAdaptor&, Block&).
    template <typename Block>
    DWORD Run(Block& block, HRESULT (*method)(TarnAdaptor&, NonDeduced<Block>&),
              DWORD failureCode) {
        struct Call {
            HRESULT (*method)(TarnAdaptor&, Block&);
            Block* block;
        } call{method, &block};
        auto invoke = [](TarnAdaptor& adaptor, void* data) {
            auto* c = static_cast<Call*>(data);
            return c->method(adaptor, *c->block);
        };
        return request_worker::Run(*Adaptor(), &call, invoke, failureCode);
    }

private:
    std::lock_guard<win::CriticalSection> lock_;
};
