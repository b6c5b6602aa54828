#include "runtime/EventPool.h"

#include <algorithm>
#include <exception>
#include <new>
#include <thread>
#include <utility>

#include "runtime/EventDelivery.h"

namespace mirelo {
namespace loopback {
namespace {

// Names the queue being delivered for EventQueue::Current(), and forgets it however the turn ends.
class CurrentQueue {
public:
    explicit CurrentQueue(EventQueue& queue) { EventQueue::SetCurrent(&queue); }
    ~CurrentQueue() { EventQueue::SetCurrent(nullptr); }
    CurrentQueue(const CurrentQueue&) = delete;
    CurrentQueue& operator=(const CurrentQueue&) = delete;
};

}  // namespace

thread_local EventPool::Worker* EventPool::current_ = nullptr;

EventPool::EventPool(size_t size, std::chrono::milliseconds stall_bound)
    : size_(std::max<size_t>(size, 1)), stall_bound_(stall_bound) {}

void EventPool::Configure(size_t size, std::chrono::milliseconds stall_bound) {
    MutexLock lock(mutex_);
    size_ = std::max<size_t>(size, 1);
    stall_bound_ = stall_bound;
    supervise_.NotifyAll();  // its next check uses the new bound
    WakeLocked();
}

void EventPool::Attach() {
    MutexLock lock(mutex_);
    ++served_;
}

void EventPool::Detach() {
    MutexLock lock(mutex_);
    if (--served_ == 0) {
        for (Worker* worker : idle_) {
            worker->wake.NotifyOne();  // to end: see TakeWorkLocked
        }
    }
}

void EventPool::Schedule(std::shared_ptr<EventQueue> queue) {
    // The caller holds the queue too, so it is never freed here, under the lock.
    MutexLock lock(mutex_);
    if (ended_) {
        return;
    }
    ready_.push_back(Ready{std::move(queue)});
    WakeLocked();
}

void EventPool::WakeLocked() {
    if (ready_.empty() || ended_) {
        return;
    }
    if (RunningLocked() >= size_) {
        // Every thread is busy: the supervisor watches for one that stalls.
        if (supervisor_asleep_) {
            supervisor_asleep_ = false;
            supervise_.NotifyOne();
        }
        return;
    }
    if (!idle_.empty()) {
        Worker* worker = idle_.back();
        idle_.pop_back();
        worker->idle = false;
        worker->wake.NotifyOne();
    } else if (workers_.size() == delivering_) {
        StartWorkerLocked();
    }
}

void EventPool::StartWorkerLocked() {
    if (workers_.size() >= size_ + kMaxExtraThreads) {
        return;
    }
    workers_.emplace_back();
    Worker* worker = &workers_.back();
    worker->pool = this;
    worker->generation = generation_;
    try {
        std::thread(&EventPool::Run, this, worker).detach();
    } catch (const std::exception&) {
        workers_.pop_back();  // no thread now: the next event or the supervisor tries again
        return;
    }
    StartSupervisorLocked();
}

void EventPool::StartSupervisorLocked() {
    if (supervisor_running_) {
        return;
    }
    try {
        std::thread(&EventPool::Supervise, this, generation_).detach();
        supervisor_running_ = true;
    } catch (const std::exception&) {
        // tried again when the next thread starts
    }
}

void EventPool::Run(Worker* worker) {
    current_ = worker;
    for (;;) {
        std::shared_ptr<EventQueue> queue;  // dropped with no lock held: its lock may go with it
        {
            MutexLock lock(mutex_);
            if (!TakeWorkLocked(*worker, queue)) {
                current_ = nullptr;
                return;
            }
        }
        TurnEnds turn_ends(*this, *worker, queue);
        turn_ends.more = DeliverTurn(*queue);
        turn_ends.finished = true;
    }
}

EventPool::TurnEnds::~TurnEnds() {
    // A turn that ends by forced unwinding (the thread being ended in a handler) still hands its
    // queue on, so that the cloud's later events are delivered, and the thread leaves the pool.
    const bool unwinding = !finished;
    if (unwinding) {
        more = queue.get() != nullptr && queue->EndTurn();
    }
    MutexLock lock(pool.mutex_);
    if (worker.generation != pool.generation_) {
        return;  // forked during the turn, and this is the child: the pool is no longer ours
    }
    pool.MarkLocked(worker, -worker.blocking, false);
    worker.delivering = false;
    --pool.delivering_;
    if (more) {
        pool.ready_.push_back(Ready{std::move(queue)});  // behind the others that wait
        pool.WakeLocked();
    }
    if (unwinding) {
        pool.RetireLocked(worker);
        current_ = nullptr;
    }
}

bool EventPool::TakeWorkLocked(Worker& worker, std::shared_ptr<EventQueue>& queue) {
    for (;;) {
        if (worker.generation != generation_) {
            return false;
        }
        if (ended_ || (served_ == 0 && ready_.empty())) {
            RetireLocked(worker);
            return false;
        }
        if (!ready_.empty() && RunningLocked() < size_) {
            queue = std::move(ready_.front().queue);
            ready_.pop_front();
            worker.delivering = true;
            worker.turn_started = Clock::now();
            ++delivering_;
            WakeLocked();  // for what still waits: another idle thread, or the supervisor's watch
            return true;
        }
        worker.idle = true;
        idle_.push_back(&worker);
        worker.wake.WaitUntil(mutex_, Clock::now() + kIdleRetirement);
        if (worker.generation != generation_) {
            return false;
        }
        if (worker.idle) {  // not handed work: timed out, or woken spuriously or for the end
            worker.idle = false;
            idle_.erase(std::find(idle_.begin(), idle_.end(), &worker));
            if (workers_.size() - unavailable_ > size_) {
                RetireLocked(worker);
                return false;
            }
        }
    }
}

void EventPool::RetireLocked(Worker& worker) {
    for (auto record = workers_.begin(); record != workers_.end(); ++record) {
        if (&*record == &worker) {
            workers_.erase(record);
            break;
        }
    }
    if (workers_.empty() && supervisor_asleep_) {
        supervisor_asleep_ = false;
        supervise_.NotifyOne();  // to end: no thread left to watch
    }
}

bool EventPool::DeliverTurn(EventQueue& queue) {
    CurrentQueue current(queue);
    const Clock::time_point ends = Clock::now() + kTurnTime;
    for (size_t delivered = 0; delivered < kTurnEvents && (delivered == 0 || Clock::now() < ends); ++delivered) {
        EventQueue::Event event;
        if (!queue.TakeNext(event)) {
            return false;  // nothing waits: the queue is no longer scheduled
        }
        // Taken from the queue after a stop only when the event was in flight before it: the
        // delegate is alive until that event ends (AwaitDelivery).
        DeliverEvent(queue, event, *queue.delegate(), queue.cloud());
    }
    return queue.EndTurn();
}

void EventPool::MarkLocked(Worker& worker, int blocking_change, bool stalled) {
    const bool was_unavailable = worker.delivering && (worker.blocking > 0 || worker.stalled);
    worker.blocking += blocking_change;
    worker.stalled = stalled;
    const bool unavailable = worker.delivering && (worker.blocking > 0 || worker.stalled);
    if (unavailable && !was_unavailable) {
        ++unavailable_;
    } else if (was_unavailable && !unavailable) {
        --unavailable_;
    }
}

void EventPool::Supervise(uint64_t generation) {
    MutexLock lock(mutex_);
    for (;;) {
        if (generation != generation_) {
            return;  // a parent's supervisor, in a child: not there
        }
        if (ended_ || (workers_.empty() && ready_.empty())) {
            supervisor_running_ = false;
            return;
        }
        if (ready_.empty()) {
            supervisor_asleep_ = true;
            supervise_.Wait(mutex_);
            supervisor_asleep_ = false;
            continue;
        }
        const Clock::time_point now = Clock::now();
        Clock::time_point next_check = now + stall_bound_;
        for (Worker& worker : workers_) {
            if (!worker.delivering || worker.stalled) {
                continue;
            }
            const Clock::time_point due = worker.turn_started + stall_bound_;
            if (due <= now) {
                MarkLocked(worker, 0, true);  // stands aside until its turn ends
            } else {
                next_check = std::min(next_check, due);
            }
        }
        WakeLocked();
        supervise_.WaitUntil(mutex_, next_check);
    }
}

EventPool::Blocking::Blocking() {
    Worker* worker = current_;
    if (worker == nullptr) {
        return;
    }
    EventPool& pool = *worker->pool;
    MutexLock lock(pool.mutex_);
    if (worker->generation != pool.generation_ || !worker->delivering) {
        return;
    }
    pool.MarkLocked(*worker, 1, worker->stalled);
    pool.WakeLocked();
    worker_ = worker;
}

EventPool::Blocking::~Blocking() {
    if (worker_ == nullptr) {
        return;
    }
    EventPool& pool = *worker_->pool;
    MutexLock lock(pool.mutex_);
    if (worker_->generation == pool.generation_) {
        pool.MarkLocked(*worker_, -1, worker_->stalled);
    }
}

void EventPool::AwaitDelivery(EventQueue& queue, ThreadWaits& waits) {
    std::thread::id deliverer;
    if (!queue.Delivering(deliverer) || deliverer == std::this_thread::get_id()) {
        return;
    }
    if (!waits.Begin(deliverer)) {
        return;  // that thread waits, maybe through others, for this one
    }
    WaitEnds recorded(waits);
    Blocking blocking;
    queue.WaitDelivered();
}

EventPool::Census EventPool::census() const {
    MutexLock lock(mutex_);
    Census census;
    census.threads = workers_.size();
    census.delivering = delivering_;
    census.unavailable = unavailable_;
    census.ready = ready_.size();
    return census;
}

void EventPool::ForgetInChild() {
    std::deque<Ready> dropped;  // freed after the lock is released
    MutexLock lock(mutex_);
    ++generation_;
    forgotten_.splice(forgotten_.end(), workers_);
    dropped.swap(ready_);
    idle_.clear();
    delivering_ = 0;
    unavailable_ = 0;
    supervisor_running_ = false;
    supervisor_asleep_ = false;
    // Its waiter was the parent's supervisor: made anew, as the child has none. (The forgotten
    // workers' own are never used again.)
    new (&supervise_) CondVar();
}

void EventPool::End() {
    MutexLock lock(mutex_);
    ended_ = true;
    for (Worker* worker : idle_) {
        worker->wake.NotifyOne();
    }
    supervise_.NotifyAll();
}

}  // namespace loopback
}  // namespace mirelo
