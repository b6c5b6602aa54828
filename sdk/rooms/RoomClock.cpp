#include "rooms/RoomClock.h"

#include <cerrno>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace mirelo {
namespace loopback {

RoomClock::RoomClock(Tick tick) : tick_(std::move(tick)) {}

bool RoomClock::EnsureRunning() {
    MutexLock lock(mutex_);
    if (ended_) {
        return false;
    }
    if (running_) {
        return true;
    }
    if (std::exchange(fail_next_start_, false)) {
        throw std::system_error(EAGAIN, std::generic_category(), "clock thread not started (injected)");
    }
    std::thread(&RoomClock::Run, this).detach();
    running_ = true;
    return true;
}

void RoomClock::Wake() {
    MutexLock lock(mutex_);
    woken_ = true;
    wake_.NotifyAll();
}

bool RoomClock::FailNextStart() {
    MutexLock lock(mutex_);
    if (running_) {
        return false;
    }
    fail_next_start_ = true;
    return true;
}

void RoomClock::ForgetInChild() {
    MutexLock lock(mutex_);
    running_ = false;
    new (&wake_) CondVar();  // see the member
}

void RoomClock::End() {
    MutexLock lock(mutex_);
    ended_ = true;
    wake_.NotifyAll();
}

void RoomClock::Run() {
    for (;;) {
        {
            MutexLock lock(mutex_);
            if (ended_) {
                return;
            }
            woken_ = false;  // a wake from here on moves a deadline that this run may not see
        }
        const Clock::time_point next = tick_();
        MutexLock lock(mutex_);
        while (!woken_ && !ended_) {
            if (!wake_.WaitUntil(mutex_, next)) {
                break;
            }
        }
    }
}

}  // namespace loopback
}  // namespace mirelo
