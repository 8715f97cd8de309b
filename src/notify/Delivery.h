// Delivery of the server's notifications to the notification peer. Each kind
// has a serial queue: the server's call copies what it brought, appends it
// and returns; one thread of that kind takes the notifications out in the
// order the calls were made and hands each to the peer. A callback that
// blocks holds up only the later notifications of its own kind, and however
// long it blocks, each kind has at most one thread.
#pragma once

#include <windows.h>

#include <array>
#include <deque>
#include <functional>

#include "win/raii.h"

class TarnNotificationPeer;

enum class NotificationKind { Policy, Operation, PayloadResponse, Activation, Count };

// One notification, copied out of the server's call: it runs once, with the
// peer, on the delivery thread of its kind.
using Notification = std::function<void(TarnNotificationPeer&)>;

class DeliveryQueue {
public:
    // Pending notifications a kind may have at most; beyond it the server's
    // call is refused (E_FAIL), never dropped silently.
    static constexpr size_t kPendingLimit = 10000;
    // How long an idle delivery thread waits for the next notification of
    // its kind before it ends: a steady stream keeps its one thread.
    static constexpr DWORD kIdleLingerMs = 500;

    // threadName is the delivery thread's name in the log, as in
    // "TARNClientBridge::PolicyArrivalThread".
    DeliveryQueue(TarnNotificationPeer& peer, const char* threadName);
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // Appends notification; caller names the server's call in the log. S_OK
    // once queued, also when no delivery thread could be started (logged: the
    // next notification of the kind starts one); E_FAIL (logged) when the
    // queue is full. After Close nothing is taken any more (S_OK, dropped).
    HRESULT Enqueue(Notification notification, const char* caller);

    // Stops taking notifications and discards those that have not begun;
    // returns how many. A notification being delivered goes on.
    size_t Close();
    // Waits until the delivery thread has ended, unless it is exempt (the
    // thread that asks for the stop from inside its own delivery).
    void Join(DWORD exemptThread);
    bool IsDeliveryThread(DWORD threadId) const;

private:
    void Drain();
    // Takes the next notification, waiting for one while idle; false when
    // the thread is to end. The lock is held on entry and on return.
    bool TakeNext(Notification& next) REQUIRES(lock_);
    void StartDeliveryThread(const char* caller) REQUIRES(lock_);

    TarnNotificationPeer& peer_;
    const char* const threadName_;

    mutable win::CriticalSection lock_;
    CONDITION_VARIABLE arrived_;  // waited on with lock_
    std::deque<Notification> pending_ GUARDED_BY(lock_);
    bool closed_ GUARDED_BY(lock_) = false;
    // A delivery thread runs (or is starting) for this queue.
    bool delivering_ GUARDED_BY(lock_) = false;
    DWORD deliveryThreadId_ GUARDED_BY(lock_) = 0;
    win::UniqueHandle deliveryThread_ GUARDED_BY(lock_);
};

// The four queues of one session, all delivering to its peer.
class NotificationDelivery {
public:
    explicit NotificationDelivery(TarnNotificationPeer& peer);
    NotificationDelivery(const NotificationDelivery&) = delete;
    NotificationDelivery& operator=(const NotificationDelivery&) = delete;

    TarnNotificationPeer& Peer() const { return peer_; }
    HRESULT Enqueue(NotificationKind kind, Notification notification, const char* caller);

    // Stops every queue, logs how many notifications were discarded, and
    // waits for the delivery threads except exemptThread.
    void Close(DWORD exemptThread);
    // Waits for every delivery thread (after Close).
    void JoinAll() { Join(0); }
    bool IsDeliveryThread(DWORD threadId) const;

private:
    void Join(DWORD exemptThread);
    DeliveryQueue& Queue(NotificationKind kind) { return queues_[static_cast<size_t>(kind)]; }

    TarnNotificationPeer& peer_;
    std::array<DeliveryQueue, static_cast<size_t>(NotificationKind::Count)> queues_;
};
