// The frame of every entry into the stub from outside (an export, a method
// the server calls, a thread procedure): no C++ exception leaves it. Memory
// that runs out is logged and answered with the entry's own failure value.
#pragma once

#include <new>

#include "log/AdaptorLog.h"

template <typename Result, typename Body>
Result Guarded(const char* name, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        WriteLog(LOG_ERROR, name, L"Out of memory, call abandoned");
    } catch (...) {
        WriteLog(LOG_ERROR, name, L"Unexpected exception, call abandoned");
    }
    return failure;
}
