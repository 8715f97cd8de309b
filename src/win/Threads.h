// Starting threads: one place for every thread the stub starts itself, so
// that each owns its closure, no C++ exception leaves a thread procedure,
// and a thread that may outlive the export that started it keeps the module
// loaded until it has left it.
#pragma once

#include <windows.h>

#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "win/raii.h"

namespace win {
namespace threads_detail {

// The thread procedure's view of a closure: it runs it, ends with its
// result as the thread's exit code, and deletes it.
struct Closure {
    virtual ~Closure() = default;
    virtual unsigned Run() noexcept = 0;
};

template <typename F>
struct ClosureOf final : Closure {
    explicit ClosureOf(F&& function) : function_(std::move(function)) {}
    unsigned Run() noexcept override {
        try {
            if constexpr (std::is_void_v<decltype(function_())>) {
                function_();
                return 0;
            } else {
                return static_cast<unsigned>(function_());
            }
        } catch (...) {
            // Nothing may leave a thread procedure; what a closure has to
            // report, it reports itself.
            return static_cast<unsigned>(-1);
        }
    }
    F function_;
};

// Starts closure on a new thread, which deletes it when it has run; on
// failure it is deleted here. With holdModule the thread takes a reference
// on this module and leaves through FreeLibraryAndExitThread.
UniqueHandle Start(std::unique_ptr<Closure> closure, unsigned* threadId, bool holdModule);

template <typename F>
std::unique_ptr<Closure> Wrap(F&& function) {
    return std::make_unique<ClosureOf<std::decay_t<F>>>(std::forward<F>(function));
}

}  // namespace threads_detail

// Runs function on a new thread and returns the thread's handle for the
// caller to wait on; the thread's exit code is what function returns (0 for
// a function without a result). Empty when the system refused the thread
// (the function is then destroyed without running); std::bad_alloc when
// there is no memory for the function's copy.
template <typename F>
UniqueHandle StartThread(F&& function, unsigned* threadId = nullptr) {
    return threads_detail::Start(threads_detail::Wrap(std::forward<F>(function)), threadId, false);
}

// The same for a thread that may still be running stub code after the
// export that started it has returned (a session's thread, a delivery
// thread): it keeps this module loaded until it has left it, so a blade may
// unload the stub while such a thread is finishing.
template <typename F>
UniqueHandle StartModuleThread(F&& function, unsigned* threadId = nullptr) {
    return threads_detail::Start(threads_detail::Wrap(std::forward<F>(function)), threadId, true);
}

// A reference on this module, taken from an address inside it: while it is
// held, FreeLibrary by the blade cannot unload the stub.
UniqueModule ReferenceThisModule() noexcept;
// Keeps this module loaded until the process ends.
void PinThisModule() noexcept;

}  // namespace win

// Hooks for the stub's own tests; a blade cannot reach them.
namespace threads_testing {
// The next count thread starts fail as if the system had refused them.
void FailNextThreadStarts(LONG count);
}  // namespace threads_testing
