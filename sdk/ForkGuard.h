#ifndef MIRELO_SDK_FORK_GUARD_H
#define MIRELO_SDK_FORK_GUARD_H

namespace mirelo {
namespace qolt {

// Keeps the loopback usable in a child made by fork().
//
// Only the forking thread exists in the child, so a lock that another thread held at the fork
// would stay locked there for good: every lock of the service and of the live clouds' queues is
// taken before the fork and released on both sides after it. The clouds the child inherits have
// no event thread there: their queues are abandoned (their events are dropped, nothing waits for
// them) and destroying them joins nothing (EventThread). So a child may destroy inherited clouds,
// exit and exec, and may create clouds of its own, whose events are delivered as usual; but the
// clock that paces SendContinuousAudioFrame and raises network-quality reports stayed with the
// parent, so in the child those do not happen. A child forked inside a handler ends when the
// handler returns, the event thread being its only thread.
class ForkGuard {
public:
    // Registers the fork handlers; called once, by the service's constructor.
    static void Install();

private:
    static void Prepare();
    static void InParent();
    static void InChild();
};

}  // namespace qolt
}  // namespace mirelo

#endif  // MIRELO_SDK_FORK_GUARD_H
