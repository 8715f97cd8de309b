#include "stub/RequestWorker.h"

#include <process.h>

namespace request_worker {
namespace {

struct WorkerStart {
    TarnAdaptor* adaptor;
    void* block;
    Method method;
    DWORD failureCode;
};

unsigned __stdcall WorkerThread(void* argument) {
    const auto* start = static_cast<const WorkerStart*>(argument);
    win::MtaScope mta;
    const HRESULT hr = start->method(*start->adaptor, start->block);
    return SUCCEEDED(hr) ? 0u : start->failureCode;
}

}  // namespace

DWORD Run(TarnAdaptor& adaptor, void* block, Method method, DWORD failureCode) {
    WorkerStart start{&adaptor, block, method, failureCode};
    win::UniqueHandle worker(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &WorkerThread, &start, 0, nullptr)));
    if (!worker) return TARNSTUB_THREAD_START_FAILED;
    if (WaitForSingleObject(worker.get(), INFINITE) != WAIT_OBJECT_0)
        return TARNSTUB_THREAD_WAIT_FAILED;
    DWORD exitCode = 0;
    if (!GetExitCodeThread(worker.get(), &exitCode)) return TARNSTUB_THREAD_EXIT_CODE_FAILED;
    return exitCode;
}

}  // namespace request_worker
