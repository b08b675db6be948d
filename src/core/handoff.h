#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <QThreadPool>
#include <utility>

// Work handed from one thread to another through Qt: a queued call into another thread, a job
// for a thread pool. Qt orders the two sides with its own locks (the receiving thread's event
// queue, the pool's queue), futexes inside the system's Qt, which is not built with
// ThreadSanitizer: to the sanitizer, what the giving thread wrote before the hand-over and the
// taking thread reads in the call would look like a race. These helpers tell it what Qt
// guarantees: everything before the hand-over happens before the call runs, as if each queue
// were one lock that both sides take. Qt's own handling of the call (the copy of the functor
// into its call object, its event) is Qt's business and is not watched. In a build without the
// sanitizer they are the plain Qt calls.

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace handoff_detail {
inline void Give([[maybe_unused]] const void* queue) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(const_cast<void*>(queue));
  __tsan_ignore_thread_begin();
#endif
}
inline void Given() {
#if defined(__SANITIZE_THREAD__)
  __tsan_ignore_thread_end();
#endif
}
inline void Take([[maybe_unused]] const void* queue) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(const_cast<void*>(queue));
#endif
}
// Where a pool's finished jobs are said to be done: one byte past the pool object, an address
// apart from the one its starts use.
inline const void* Finished(const QThreadPool& pool) {
  return reinterpret_cast<const char*>(&pool) + 1;
}
}  // namespace handoff_detail

// Runs call on receiver's thread through that thread's event queue (Qt::QueuedConnection).
template <typename Call>
void PostToThreadOf(QObject* receiver, Call&& call) {
  handoff_detail::Give(receiver->thread());
  QMetaObject::invokeMethod(
      receiver,
      [call = std::forward<Call>(call)]() mutable {
        handoff_detail::Take(QThread::currentThread());
        call();
      },
      Qt::QueuedConnection);
  handoff_detail::Given();
}

// Runs work on one of pool's threads.
template <typename Work>
void StartInPool(QThreadPool& pool, Work&& work) {
  handoff_detail::Give(&pool);
  pool.start([&pool, work = std::forward<Work>(work)]() mutable {
    handoff_detail::Take(&pool);
    work();
#if defined(__SANITIZE_THREAD__)
    __tsan_release(const_cast<void*>(handoff_detail::Finished(pool)));
#endif
  });
  handoff_detail::Given();
}

// Waits until every job started with StartInPool has finished: what they wrote happens before
// what follows (QThreadPool::waitForDone guarantees it, through locks the sanitizer cannot see).
inline void WaitForPool(QThreadPool& pool) {
  pool.waitForDone();
  handoff_detail::Take(handoff_detail::Finished(pool));
}
