#ifndef MIRELO_SDK_FORK_GUARD_H
#define MIRELO_SDK_FORK_GUARD_H

#include "runtime/Mutex.h"

namespace mirelo {
namespace loopback {

// Keeps the loopback usable in a child made by fork(), and lets the child end.
//
// Only the forking thread exists in the child, so a lock that another thread held at the fork
// would stay locked there for good: every Mutex registers itself here when it is made and leaves
// when it goes, and all of them are taken before the fork, in their rank's order (LockRank), and
// released on both sides after it. The clouds the child inherits have
// no event thread there: their queues are abandoned (their events are dropped, nothing waits for
// them) and destroying them joins nothing (EventThread). The parent's clock thread, which paces
// SendContinuousAudioFrame and raises network-quality reports, is not there either: the child
// starts its own when a room needs it (RoomService). So a child may destroy inherited clouds, exit
// and exec, and create clouds of its own, which work as usual.
//
// A process ends when its main function returns (exit() ends every thread) or when its last thread
// ends. A child forked on the thread that runs main ends like any program. A child forked on any
// other thread (inside a handler, on an event thread; or on a thread of the program) has no main
// function: it ends when its last thread does, and the threads the loopback started in it (the
// event threads of its own clouds, its clock) never end by themselves. So when the forking thread
// ends (for a child forked inside a handler: when the handler returns and the event thread's loop
// ends), the loopback ends its threads in that child and starts none again (LoopbackService::
// EndThreads): every cloud there stops delivering events as if destroyed, though its methods
// still return, and the clock stops. The child then ends with status 0 as soon as the threads
// that the program itself started in it have ended, at once when there are none.
class ForkGuard {
public:
    // Registers the fork handlers; called once, by the service's constructor.
    static void Install();

    // Called by Mutex's constructor and destructor; a lock of rank kForkGuard is never listed. A
    // lock is made and destroyed with no other lock held, as a fork waits for both.
    static void Register(Mutex& mutex);
    static void Unregister(Mutex& mutex) noexcept;

private:
    static void Prepare();
    static void InParent();
    static void InChild();
    static void ReleaseAll();
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_FORK_GUARD_H
