#include "runtime/Mutex.h"

#include "runtime/ForkGuard.h"

namespace mirelo {
namespace loopback {

Mutex::Mutex(LockRank rank) : rank_(rank) {
    if (rank_ != LockRank::kForkGuard) {
        ForkGuard::Register(*this);
    }
}

Mutex::~Mutex() {
    if (rank_ != LockRank::kForkGuard) {
        ForkGuard::Unregister(*this);
    }
}

}  // namespace loopback
}  // namespace mirelo
