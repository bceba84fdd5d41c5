#include "module/RuntimeRelease.h"

#include <windows.h>

#include <cstddef> // names the C++ run-time (__GLIBCXX__, _GLIBCXX_HAS_GTHREADS)

#if defined(__GLIBCXX__)
// libstdc++ allocates its emergency exception buffer (about 19 KB in a 32-bit
// image, 73 KB in a 64-bit one) from the C run-time's heap when the image
// starts, and only this function, meant for leak checkers, gives it back. In an
// executable that is harmless; in a DLL each load and unload loses one buffer.
namespace __gnu_cxx {
void __freeres() noexcept;
}
#endif

void ReleaseRuntimeAtUnload() {
#if defined(__GLIBCXX__)
    __gnu_cxx::__freeres();
#endif
}

#if defined(__MINGW32__) && defined(_GLIBCXX_HAS_GTHREADS)
#include <pthread.h>

// The module links with --wrap=pthread_once, so every one-time initialisation of
// the run-time inside it comes here instead of to winpthreads. winpthreads'
// pthread_once keeps a cancellation record for the calling thread, and making
// that record allocates a TLS slot, an event and a duplicate of the thread's
// handle that winpthreads never frees in a DLL. The 32-bit unwinder registers the
// module's frame tables under such a once at every load, so without this each
// load cost the host one of its 1088 slots and two handles. Nothing here cancels
// threads, so the record's only purpose is moot.
//
// Other ways into winpthreads still build that record, and the slot is lost
// again at each unload once one of them runs in the module:
// - a guarded static (a function-local static with a dynamic initialiser) that
//   two threads reach at once: the waiting one sleeps on the run-time's
//   condition variable, a cancellation point;
// - a thrown exception: the run-time finds the thread's exception globals
//   through a thread-local variable, kept under a winpthreads key;
// - thread_local variables, std::thread, std::this_thread (get_id, sleep_for),
//   std::condition_variable waits.
// Nothing of the module does any of these in normal running; look here before
// adding one.
//
// States of the once word: 0 not run, 1 done (winpthreads' own values), 2 running.
extern "C" int __wrap_pthread_once(pthread_once_t* once, void (*init)(void)) {
    static_assert(sizeof(pthread_once_t) == sizeof(LONG), "the once word is a LONG");
    auto* state = reinterpret_cast<volatile LONG*>(once);
    for (;;) {
        const LONG seen = InterlockedCompareExchange(state, 2, 0);
        if (seen == 1)
            return 0;
        if (seen == 0) {
            try {
                init();
            } catch (...) {
                // std::call_once's callable may throw: the next caller runs it again.
                InterlockedExchange(state, 0);
                throw;
            }
            InterlockedExchange(state, 1);
            return 0;
        }
        // Another thread is running the initialisation: wait for it to end.
        Sleep(0);
    }
}
#endif
