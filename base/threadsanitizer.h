#pragma once

// Orderings that the thread sanitizer cannot see for itself. Our code is instrumented, Qt's
// libraries are not, and the sanitizer treats them as a black box: an ordering that Qt
// makes inside them (a queued signal's event, QThread::wait() on a finished thread, the
// unlock and relock of a QMutex inside QWaitCondition::wait()) is invisible, so code that
// relies on one states it here. Every call is empty outside a thread-sanitizer build.

#if defined(__SANITIZE_THREAD__)
#define TARNWICK_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARNWICK_THREAD_SANITIZER 1
#endif
#endif

#ifdef TARNWICK_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace ThreadSanitizer {

// What the calling thread did so far happens before whatever follows a later
// happensAfter() with the same key on any thread.
inline void happensBefore([[maybe_unused]] const void *key)
{
#ifdef TARNWICK_THREAD_SANITIZER
    __tsan_release(const_cast<void *>(key));
#endif
}

inline void happensAfter([[maybe_unused]] const void *key)
{
#ifdef TARNWICK_THREAD_SANITIZER
    __tsan_acquire(const_cast<void *>(key));
#endif
}

// QWaitCondition::wait(mutex) unlocks the QMutex and locks it again inside Qt, where the
// sanitizer's lock hooks (which QMutex's inline lock() and unlock() call in our code) do
// not run. A waiter says so on both sides of the wait.
inline void mutexUnlockedInside([[maybe_unused]] void *mutex)
{
#ifdef TARNWICK_THREAD_SANITIZER
    __tsan_mutex_pre_unlock(mutex, 0);
    __tsan_mutex_post_unlock(mutex, 0);
#endif
}

inline void mutexLockedInside([[maybe_unused]] void *mutex)
{
#ifdef TARNWICK_THREAD_SANITIZER
    __tsan_mutex_pre_lock(mutex, 0);
    __tsan_mutex_post_lock(mutex, 0, 0);
#endif
}

} // namespace ThreadSanitizer
