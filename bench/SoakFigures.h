// What the soak watches of its own process: open handles, threads and
// private bytes, read when the process is quiet.
#pragma once

#include <windows.h>
#include <malloc.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "win/raii.h"

namespace soak {

struct Figures {
    int64_t handles = 0;
    int64_t threads = 0;
    int64_t privateBytes = 0;
    // Bytes in blocks allocated from the heaps the stub allocates from: the
    // C runtime's (C++ objects, strings) and the process heap (BSTRs, arrays,
    // COM task memory). Finer than private bytes, which move in pages. The
    // other heaps belong to the system's own libraries.
    int64_t heapBytes = 0;
};

// One row of the system's handle table (SystemHandleInformation).
struct SystemHandleEntry {
    ULONG ownerProcessId;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    void* object;
    ACCESS_MASK access;
};

// This process's rows of the system's handle table.
inline int64_t HandlesInSystemTable() {
    constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
    std::vector<BYTE> table(256 * 1024);
    for (;;) {
        ULONG length = 0;
        const NTSTATUS status =
            NtQuerySystemInformation(kSystemHandleInformation, table.data(), static_cast<ULONG>(table.size()), &length);
        if (status == kLengthMismatch && table.size() < (64u << 20)) {
            table.resize(std::max<size_t>(table.size() * 2, length));
            continue;
        }
        if (status != 0) return -1;
        break;
    }
    const ULONG rows = *reinterpret_cast<const ULONG*>(table.data());
    const auto* entry = reinterpret_cast<const SystemHandleEntry*>(table.data() + sizeof(ULONG_PTR));
    const DWORD self = GetCurrentProcessId();
    int64_t count = 0;
    for (ULONG i = 0; i < rows; ++i)
        if (entry[i].ownerProcessId == self) ++count;
    return count;
}

// Wine answers GetProcessHandleCount with 0; its system handle table is
// exact.
inline int64_t HandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    return HandlesInSystemTable();
}

inline int64_t ThreadCount() {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return -1;
    const DWORD self = GetCurrentProcessId();
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    int64_t count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == self) ++count;
    return count;
}

inline int64_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters)))
        return -1;
    // Wine leaves PrivateUsage at 0 and reports the process's anonymous
    // memory as its page file usage.
    return static_cast<int64_t>(counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage);
}

inline int64_t BusyBytes(HANDLE heap) {
    if (!HeapLock(heap)) return -1;
    int64_t busy = 0;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    HeapUnlock(heap);
    return busy;
}

inline int64_t HeapBytes() {
    const HANDLE processHeap = GetProcessHeap();
    const auto runtimeHeap = reinterpret_cast<HANDLE>(_get_heap_handle());
    const int64_t process = BusyBytes(processHeap);
    const int64_t runtime = runtimeHeap == processHeap ? 0 : BusyBytes(runtimeHeap);
    return process < 0 || runtime < 0 ? -1 : process + runtime;
}

inline Figures Now() { return {HandleCount(), ThreadCount(), PrivateBytes(), HeapBytes()}; }

// The quiet level: the lowest of a few readings a moment apart. Detached
// delivery threads and the runtime's RPC threads take a little while to
// leave after their work is done; what is still there at the lowest
// reading has stayed.
inline Figures Settled(int readings = 8, DWORD apartMs = 100) {
    Figures low = Now();
    for (int i = 1; i < readings; ++i) {
        Sleep(apartMs);
        const Figures now = Now();
        low.handles = std::min(low.handles, now.handles);
        low.threads = std::min(low.threads, now.threads);
        low.privateBytes = std::min(low.privateBytes, now.privateBytes);
        low.heapBytes = std::min(low.heapBytes, now.heapBytes);
    }
    return low;
}

}  // namespace soak
