#pragma once

// Clang's thread-safety analysis (-Wthread-safety) checks these: which mutex guards a field, which
// lock a function expects held or takes, and the order two mutexes are taken in. Other compilers
// see nothing.
//
// Clang 14 loses the mutex of a guarded field reached through a const reference bound to it
// (`const T& x = guarded;`), so code binds plain references to guarded fields instead.

#if defined(__clang__)
#define TESSVARK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TESSVARK_THREAD_ANNOTATION(x)
#endif

// A type that is a lock.
#define CAPABILITY(name) TESSVARK_THREAD_ANNOTATION(capability(name))
// An object that holds a lock for its lifetime.
#define SCOPED_CAPABILITY TESSVARK_THREAD_ANNOTATION(scoped_lockable)

// The field is read and written only with the mutex held.
#define GUARDED_BY(mutex) TESSVARK_THREAD_ANNOTATION(guarded_by(mutex))
// What the pointer points to is read and written only with the mutex held.
#define PT_GUARDED_BY(mutex) TESSVARK_THREAD_ANNOTATION(pt_guarded_by(mutex))

// The lock order: this mutex is taken before (after) the named ones. Clang checks it (with
// -Wthread-safety-beta) wherever one function holds both; an order between locks that are only
// ever taken in different functions stays prose beside the mutex.
#define ACQUIRED_BEFORE(...) TESSVARK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TESSVARK_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the mutex (exclusively, or at least shared).
#define REQUIRES(...) TESSVARK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TESSVARK_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes the mutex and returns with it held, or releases a held one.
#define ACQUIRE(...) TESSVARK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TESSVARK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the mutex itself, so the caller must not hold it.
#define EXCLUDES(...) TESSVARK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function returns the named mutex.
#define RETURN_CAPABILITY(x) TESSVARK_THREAD_ANNOTATION(lock_returned(x))
// Tells the analysis the mutex is held here, where it cannot see it.
#define ASSERT_CAPABILITY(x) TESSVARK_THREAD_ANNOTATION(assert_capability(x))
// For the rare function whose locking the analysis cannot follow; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS TESSVARK_THREAD_ANNOTATION(no_thread_safety_analysis)
