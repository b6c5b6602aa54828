#ifndef MIRELO_SDK_EVENT_POOL_H
#define MIRELO_SDK_EVENT_POOL_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <vector>

#include "runtime/EventQueue.h"
#include "runtime/Mutex.h"
#include "runtime/ThreadWaits.h"

namespace mirelo {
namespace loopback {

// The threads that deliver the events of every cloud served by a pool (EventQueue::ServeFrom), so
// that hundreds of clouds do not need hundreds of threads taking turns at the interpreter lock.
//
// A queue that receives an event while it is not scheduled goes on the ready list. A pool thread
// takes the ready queue at the front and delivers its events for one turn (kTurnEvents events or
// kTurnTime, whichever ends first), then puts it back at the end of the list if events still wait,
// so that a busy cloud cannot starve the others. A queue is never on the list twice nor in two
// turns at once: each cloud's events are delivered one at a time, in order, though not always on
// the same thread.
//
// A handler that blocks holds its pool thread, and with it every cloud behind it. Two things keep
// the others going: a pool thread that waits in the loopback (Blocking: a wait for events, a
// Destroy's wait) no longer counts, so another thread takes the ready work at once; and a
// supervisor thread, asleep while nothing is ready, counts a thread whose turn has lasted longer
// than the stall bound as stalled, so that another thread takes the ready work too. The pool thus
// keeps `size` threads running, plus up to kMaxExtraThreads more that stand in for blocked and
// stalled ones; a handler that waits for another cloud's event never deadlocks, even with one
// thread. Threads start on demand; those beyond the size retire after kIdleRetirement idle, and
// every one (the supervisor too) once idle while the pool serves no cloud.
//
// Pool threads are never joined: they wait for work for the process's life. In a child made by
// fork() they do not exist: ForgetInChild forgets them, and the child starts its own on demand.
class EventPool {
public:
    using Clock = std::chrono::steady_clock;

private:
    // A pool thread's record, read and written under the pool's lock.
    struct Worker {
        EventPool* pool = nullptr;
        uint64_t generation = 0;
        bool delivering = false;  // in a turn
        Clock::time_point turn_started;
        int blocking = 0;      // depth of Blocking scopes in the turn
        bool stalled = false;  // the supervisor found the turn longer than the stall bound
        bool idle = false;     // on the idle list, waiting on `wake`
        CondVar wake;          // on the pool's lock
    };

public:
    // A turn's bounds: enough events to make taking the queue worth its lock handoffs, short
    // enough that the other ready clouds wait about a millisecond per cloud ahead of them.
    static constexpr size_t kTurnEvents = 32;
    static constexpr std::chrono::microseconds kTurnTime{1000};
    // How long a thread beyond the pool's size waits idle before it ends.
    static constexpr std::chrono::milliseconds kIdleRetirement{2000};
    // Threads beyond the size, standing in for blocked and stalled ones: generous, since each
    // handler that waits for another cloud's event may need one.
    static constexpr size_t kMaxExtraThreads = 1024;

    EventPool(size_t size, std::chrono::milliseconds stall_bound);
    EventPool(const EventPool&) = delete;
    EventPool& operator=(const EventPool&) = delete;

    // Takes effect at once: more threads start if work waits, surplus ones retire when idle.
    // A size of 0 counts as 1.
    void Configure(size_t size, std::chrono::milliseconds stall_bound);

    // Counts the clouds the pool serves, from their creation to their destruction: with none left,
    // its threads end as soon as they are idle, so that a process without clouds runs none.
    void Attach();
    void Detach();

    // Puts a queue that has just been scheduled (EventQueue::Post) on the ready list.
    void Schedule(std::shared_ptr<EventQueue> queue);

    // Destroy's wait, once `queue` is stopped: returns when the event in flight, if any, has
    // finished; at once when it is in flight on the calling thread (a handler destroying its own
    // cloud) or when the wait would close a cycle of waits (see ThreadWaits; the event then ends
    // by itself, and its thread touches only the queue afterwards).
    static void AwaitDelivery(EventQueue& queue, ThreadWaits& waits);

    // Held across a wait that may last: on a pool thread in a turn, the thread stops counting as
    // running until the wait ends, and another takes the ready work. Elsewhere it does nothing.
    class Blocking {
    public:
        Blocking();
        ~Blocking();
        Blocking(const Blocking&) = delete;
        Blocking& operator=(const Blocking&) = delete;

    private:
        Worker* worker_ = nullptr;
    };

    // What the pool runs now: for tests and statistics.
    struct Census {
        size_t threads = 0;      // pool threads alive, the supervisor aside
        size_t delivering = 0;   // in a turn
        size_t unavailable = 0;  // in a turn, but blocked or stalled
        size_t ready = 0;        // queues waiting for a thread
    };
    Census census() const;

    // In a child made by fork(): the threads stayed in the parent. Forgets them (a forking pool
    // thread ends once its current turn is over) and the ready list; threads start on demand.
    void ForgetInChild();
    // Ends every pool thread once its current turn is over and starts none again.
    void End();

private:
    struct Ready {
        std::shared_ptr<EventQueue> queue;
    };

    static thread_local Worker* current_;  // the calling pool thread's record, or null

    // Ends a pool thread's turn however it ends: back to the ready list when `more` events wait.
    struct TurnEnds {
        TurnEnds(EventPool& pool, Worker& worker, std::shared_ptr<EventQueue>& queue)
            : pool(pool), worker(worker), queue(queue) {}
        ~TurnEnds();
        TurnEnds(const TurnEnds&) = delete;
        TurnEnds& operator=(const TurnEnds&) = delete;
        EventPool& pool;
        Worker& worker;
        std::shared_ptr<EventQueue>& queue;
        bool more = false;
        bool finished = false;  // DeliverTurn returned: otherwise the thread is being ended
    };

    void Run(Worker* worker);
    void Supervise(uint64_t generation);
    static bool DeliverTurn(EventQueue& queue);

    bool TakeWorkLocked(Worker& worker, std::shared_ptr<EventQueue>& queue) REQUIRES(mutex_);
    void RetireLocked(Worker& worker) REQUIRES(mutex_);
    // Gets the ready work taken: wakes an idle thread or starts one while fewer than `size` run.
    void WakeLocked() REQUIRES(mutex_);
    void StartWorkerLocked() REQUIRES(mutex_);
    void StartSupervisorLocked() REQUIRES(mutex_);
    size_t RunningLocked() const REQUIRES(mutex_) { return delivering_ - unavailable_; }
    // Changes a worker's blocked depth or stalled mark, keeping unavailable_ in step.
    void MarkLocked(Worker& worker, int blocking_change, bool stalled) REQUIRES(mutex_);

    mutable Mutex mutex_{LockRank::kPool};
    CondVar supervise_;  // on mutex_: ready work while the supervisor sleeps, a new bound, an end
    std::deque<Ready> ready_ GUARDED_BY(mutex_);
    std::list<Worker> workers_ GUARDED_BY(mutex_);  // one per live thread, in a stable place
    // Idle threads, the latest last: work goes to the one idle the shortest time, so that a busy
    // pool keeps its cache-warm threads busy and the others time out and retire.
    std::vector<Worker*> idle_ GUARDED_BY(mutex_);
    std::list<Worker> forgotten_ GUARDED_BY(mutex_);  // a parent's, kept: a forking thread may use its own
    size_t size_ GUARDED_BY(mutex_);
    Clock::duration stall_bound_ GUARDED_BY(mutex_);
    size_t served_ GUARDED_BY(mutex_) = 0;  // clouds attached
    size_t delivering_ GUARDED_BY(mutex_) = 0;
    size_t unavailable_ GUARDED_BY(mutex_) = 0;
    bool supervisor_running_ GUARDED_BY(mutex_) = false;
    bool supervisor_asleep_ GUARDED_BY(mutex_) = false;  // until woken: nothing was ready
    bool ended_ GUARDED_BY(mutex_) = false;
    // Counts the processes this pool has lived in: a thread of an earlier one (the forking thread,
    // in a child) no longer belongs to the pool.
    uint64_t generation_ GUARDED_BY(mutex_) = 0;
};

}  // namespace loopback
}  // namespace mirelo

#endif  // MIRELO_SDK_EVENT_POOL_H
