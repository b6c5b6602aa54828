#include "ForkGuard.h"

#include <pthread.h>

#include <memory>
#include <mutex>
#include <vector>

#include "EventQueue.h"
#include "LoopbackService.h"

namespace mirelo {
namespace qolt {
namespace {

// The locks held from Prepare until the fork returns. Never destroyed, so that a fork during
// the process's exit still finds it.
std::vector<std::unique_lock<std::mutex>>& Held() {
    static auto& held = *std::make_unique<std::vector<std::unique_lock<std::mutex>>>().release();
    return held;
}

}  // namespace

void ForkGuard::Install() { pthread_atfork(&ForkGuard::Prepare, &ForkGuard::InParent, &ForkGuard::InChild); }

void ForkGuard::Prepare() {
    LoopbackService& service = LoopbackService::Instance();
    // Listed before the registry is locked: no cloud can be created meanwhile, since creating one
    // takes the interpreter lock that the forking thread holds, and a cloud destroyed meanwhile
    // keeps its queue alive through the list.
    const auto queues = service.clouds().Queues();
    auto& held = Held();
    held.reserve(8 + queues.size());
    // The order in which the service nests its locks: registry, rooms and configuration before
    // any queue; the journal, failures, log, network settings and waits never hold another lock.
    held.push_back(service.clouds().LockForFork());
    held.push_back(service.rooms().LockForFork());
    held.push_back(service.configuration().LockForFork());
    for (const auto& entry : queues) {
        held.push_back(entry.second->LockForFork());
    }
    held.push_back(service.journal().LockForFork());
    held.push_back(service.failures().LockForFork());
    held.push_back(service.logger().LockForFork());
    held.push_back(service.network().LockForFork());
    held.push_back(service.waits().LockForFork());
}

void ForkGuard::InParent() { Held().clear(); }

void ForkGuard::InChild() {
    Held().clear();
    LoopbackService::Instance().waits().ForgetInChild();
    for (const auto& entry : LoopbackService::Instance().clouds().Queues()) {
        if (entry.second.get() == EventQueue::Current()) {
            entry.second->Stop();  // forked inside a handler: this thread's loop ends after it
        } else {
            entry.second->Abandon();
        }
    }
}

}  // namespace qolt
}  // namespace mirelo
