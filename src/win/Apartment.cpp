#include "win/raii.h"

#include <atomic>

namespace {
// Set by tests that play an ole32 without the usage count.
std::atomic<bool> g_usageCountHidden{false};
}  // namespace

namespace apartment_testing {
void HideMtaUsageCount(bool hidden) { g_usageCountHidden = hidden; }
}  // namespace apartment_testing

namespace win {
namespace {

using IncrementFn = HRESULT(WINAPI*)(HANDLE*);
using DecrementFn = HRESULT(WINAPI*)(HANDLE);

template <typename Fn>
Fn Ole32Entry(const char* name) noexcept {
    HMODULE ole32 = ::GetModuleHandleW(L"ole32.dll");
    return ole32 ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(ole32, name))) : nullptr;
}

}  // namespace

UniqueMtaUsage UniqueMtaUsage::Acquire() noexcept {
    UniqueMtaUsage usage;
    if (g_usageCountHidden) return usage;
    if (auto increment = Ole32Entry<IncrementFn>("CoIncrementMTAUsage")) {
        if (FAILED(increment(&usage.cookie_))) usage.cookie_ = nullptr;
    }
    return usage;
}

void UniqueMtaUsage::reset() noexcept {
    const HANDLE cookie = std::exchange(cookie_, nullptr);
    if (!cookie) return;
    if (auto decrement = Ole32Entry<DecrementFn>("CoDecrementMTAUsage")) decrement(cookie);
}

}  // namespace win
