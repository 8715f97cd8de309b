// Annotations for clang's thread safety analysis (-Wthread-safety): which
// lock guards which field, which functions expect a lock to be held, and the
// types that take and leave a lock. Under other compilers they expand to
// nothing.
//
//   win::CriticalSection lock_;
//   int count_ GUARDED_BY(lock_);            // read or written only under lock_
//   void Bump() REQUIRES(lock_);             // called with lock_ held
//   void Publish() EXCLUDES(lock_);          // takes lock_ itself
//
//   win::Lock guard(lock_);                  // the scoped lock the analysis knows
//
// The analysis does not look inside constructors and destructors, and it
// knows nothing of std::lock_guard (libstdc++ carries no annotations): take
// locks through win::Lock where the analysis is to check them.
#pragma once

#if defined(__clang__)
#define TARN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARN_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) TARN_THREAD_ANNOTATION(capability(name))
// A type whose objects hold a lock from construction to destruction.
#define SCOPED_CAPABILITY TARN_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the lock held.
#define GUARDED_BY(lock) TARN_THREAD_ANNOTATION(guarded_by(lock))
// A pointer whose target is read or written only with the lock held.
#define PT_GUARDED_BY(lock) TARN_THREAD_ANNOTATION(pt_guarded_by(lock))
// Locks taken in this order (on the lock declared first).
#define ACQUIRED_BEFORE(...) TARN_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TARN_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// A function called with the lock held (and that returns with it held).
#define REQUIRES(...) TARN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TARN_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// A function that takes the lock and returns with it held, or leaves a lock
// held on entry. With no argument: the object's own lock (on a lock type's
// members).
#define ACQUIRE(...) TARN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TARN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TARN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// A function that must not be called with the lock held (it takes it).
#define EXCLUDES(...) TARN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// Tells the analysis that the lock is held here (checked at run time, or
// known by other means).
#define ASSERT_CAPABILITY(lock) TARN_THREAD_ANNOTATION(assert_capability(lock))
// A function that returns a reference to the lock (an accessor of a private
// lock member).
#define RETURN_CAPABILITY(lock) TARN_THREAD_ANNOTATION(lock_returned(lock))
// A function the analysis leaves out: say in a comment why it is right.
#define NO_THREAD_SAFETY_ANALYSIS TARN_THREAD_ANNOTATION(no_thread_safety_analysis)
