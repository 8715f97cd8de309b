// The one way a request export runs its adaptor method: on a fresh worker
// thread in the multithreaded apartment, while the export's caller waits
// (holding the module lock) without a time limit.
#pragma once

#include <windows.h>

#include "adaptor/TarnAdaptor.h"
#include "log/Guarded.h"
#include "stub/ModuleState.h"
#include "win/Threads.h"

namespace request_worker {

// Waits for a started worker: its exit code, or 9, 10, 11 when it could not
// be started, waited for or its exit code read.
DWORD Join(const win::UniqueHandle& worker);

}  // namespace request_worker

// The frame of every request export: holds the module lock for the export's
// whole duration and runs its adaptor method on a request worker.
class RequestExport {
public:
    explicit RequestExport(const char* exportName) : name_(exportName), lock_(Module().moduleLock) {}

    // The analysis does not follow a scoped lock held by a member (lock_)
    // into the member functions: the module lock is held for the object's
    // whole life.
    TarnAdaptor* Adaptor() const NO_THREAD_SAFETY_ANALYSIS { return Module().Adaptor(); }

    // Runs method(adaptor) on a worker in the multithreaded apartment: 0
    // when the method succeeded, failureCode when it failed (memory that
    // runs out on the worker included), or 9, 10, 11. The export waits for
    // the worker, so method may refer to the export's own locals.
    template <typename Method>
    DWORD Run(Method&& method, DWORD failureCode) {
        TarnAdaptor* adaptor = Adaptor();
        const char* name = name_;
        win::UniqueHandle worker = win::StartThread([adaptor, &method, failureCode, name]() -> DWORD {
            win::MtaScope mta;
            const HRESULT hr = Guarded(name, E_OUTOFMEMORY, [&]() -> HRESULT { return method(*adaptor); });
            return SUCCEEDED(hr) ? TARNSTUB_OK : failureCode;
        });
        return request_worker::Join(worker);
    }

private:
    const char* name_;
    win::Lock lock_;
};
