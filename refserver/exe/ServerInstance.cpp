#include "ServerInstance.h"

#include "RefServerNames.h"

namespace tarnref {
namespace {

constexpr DWORD kPreviousServerWaitMs = 5000;

}  // namespace

bool ServerInstance::Claim() {
    mutex_.reset(::CreateMutexW(nullptr, FALSE, kInstanceMutexName));
    if (!mutex_) return false;
    const DWORD waited = ::WaitForSingleObject(mutex_.get(), kPreviousServerWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) return false;
    mapping_.reset(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), kProcessIdMappingName));
    if (!mapping_) return false;
    void* view = ::MapViewOfFile(mapping_.get(), FILE_MAP_WRITE, 0, 0, sizeof(DWORD));
    if (!view) return false;
    *static_cast<volatile DWORD*>(view) = ::GetCurrentProcessId();
    ::UnmapViewOfFile(view);
    return true;
}

void ServerInstance::AnnounceReady() {
    ready_.reset(::CreateEventW(nullptr, TRUE, FALSE, ReadyEventName(::GetCurrentProcessId()).c_str()));
    if (ready_) ::SetEvent(ready_.get());
}

}  // namespace tarnref
