#include "stub/RequestWorker.h"

namespace request_worker {

DWORD Join(const win::UniqueHandle& worker) {
    if (!worker) return TARNSTUB_THREAD_START_FAILED;
    if (WaitForSingleObject(worker.get(), INFINITE) != WAIT_OBJECT_0) return TARNSTUB_THREAD_WAIT_FAILED;
    DWORD exitCode = 0;
    if (!GetExitCodeThread(worker.get(), &exitCode)) return TARNSTUB_THREAD_EXIT_CODE_FAILED;
    return exitCode;
}

}  // namespace request_worker
