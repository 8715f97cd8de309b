#include "notify/Delivery.h"

#include "log/Guarded.h"
#include "notify/TarnNotificationPeer.h"
#include "win/Threads.h"

// ---- one kind ---------------------------------------------------------------

DeliveryQueue::DeliveryQueue(TarnNotificationPeer& peer, const char* threadName)
    : peer_(peer), threadName_(threadName) {
    InitializeConditionVariable(&arrived_);
}

// The owner has closed and joined the queue; a thread still ending here
// holds the module, not the queue.
DeliveryQueue::~DeliveryQueue() = default;

HRESULT DeliveryQueue::Enqueue(Notification notification, const char* caller) {
    win::Lock lock(lock_);
    if (closed_) return S_OK;
    if (pending_.size() >= kPendingLimit) {
        WriteLog(LOG_ERROR, caller, L"Delivery queue full (%u notifications waiting), notification refused",
                 static_cast<unsigned>(pending_.size()));
        return E_FAIL;
    }
    pending_.push_back(std::move(notification));
    if (delivering_) {
        WakeConditionVariable(&arrived_);
    } else {
        StartDeliveryThread(caller);
    }
    return S_OK;
}

void DeliveryQueue::StartDeliveryThread(const char* caller) {
    unsigned threadId = 0;
    win::UniqueHandle thread;
    try {
        thread = win::StartModuleThread([this] { Drain(); }, &threadId);
    } catch (const std::bad_alloc&) {}
    if (!thread) {
        // Nothing is lost and nothing overtakes: the notifications wait, and
        // the next one of this kind tries again.
        WriteLog(LOG_ERROR, caller, L"Cannot start the delivery thread, %u notifications wait in the queue",
                 static_cast<unsigned>(pending_.size()));
        return;
    }
    // A thread that ended idle may still be on its way out: it holds the
    // module, so its handle can go.
    deliveryThread_ = std::move(thread);
    deliveryThreadId_ = threadId;
    delivering_ = true;
}

bool DeliveryQueue::TakeNext(Notification& next) {
    while (pending_.empty() && !closed_) {
        if (!SleepConditionVariableCS(&arrived_, lock_.native(), kIdleLingerMs) && pending_.empty()) break;
    }
    if (closed_ || pending_.empty()) {
        delivering_ = false;
        return false;
    }
    next = std::move(pending_.front());
    pending_.pop_front();
    return true;
}

void DeliveryQueue::Drain() {
    for (;;) {
        Notification next;
        {
            win::Lock lock(lock_);
            if (!TakeNext(next)) return;
        }
        WriteLog(LOG_VERBOSE, threadName_, L"in thread function");
        // A peer that runs out of memory loses this notification only.
        Guarded(threadName_, false, [&] {
            next(peer_);
            return true;
        });
        WriteLog(LOG_VERBOSE, threadName_, L"exit from thread function");
    }
}

size_t DeliveryQueue::Close() {
    win::Lock lock(lock_);
    closed_ = true;
    const size_t discarded = pending_.size();
    pending_.clear();
    WakeAllConditionVariable(&arrived_);
    return discarded;
}

void DeliveryQueue::Join(DWORD exemptThread) {
    HANDLE thread = nullptr;
    {
        win::Lock lock(lock_);
        if (deliveryThreadId_ == exemptThread && exemptThread != 0) return;
        thread = deliveryThread_.get();
    }
    // The handle stays open: after Close no new thread replaces it.
    if (thread) WaitForSingleObject(thread, INFINITE);
}

bool DeliveryQueue::IsDeliveryThread(DWORD threadId) const {
    win::Lock lock(lock_);
    return delivering_ && deliveryThreadId_ == threadId;
}

// ---- the four kinds ---------------------------------------------------------

NotificationDelivery::NotificationDelivery(TarnNotificationPeer& peer)
    : peer_(peer),
      queues_{{{peer, "TARNClientBridge::PolicyArrivalThread"},
               {peer, "TARNClientBridge::OperationArrivalThread"},
               {peer, "TARNClientBridge::OnPayloadResponseThread"},
               {peer, "TARNClientBridge::ActivatePoliciesThread"}}} {}

HRESULT NotificationDelivery::Enqueue(NotificationKind kind, Notification notification, const char* caller) {
    return Queue(kind).Enqueue(std::move(notification), caller);
}

void NotificationDelivery::Close(DWORD exemptThread) {
    size_t discarded = 0;
    for (DeliveryQueue& queue : queues_) discarded += queue.Close();
    if (discarded)
        WriteLog(LOG_INFO, "NotificationDelivery::Close", L"Finalize discarded %u notifications not yet delivered",
                 static_cast<unsigned>(discarded));
    Join(exemptThread);
}

void NotificationDelivery::Join(DWORD exemptThread) {
    for (DeliveryQueue& queue : queues_) queue.Join(exemptThread);
}

bool NotificationDelivery::IsDeliveryThread(DWORD threadId) const {
    for (const DeliveryQueue& queue : queues_)
        if (queue.IsDeliveryThread(threadId)) return true;
    return false;
}
