#include "runtime/EventQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <iterator>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace mirelo {
namespace loopback {
namespace {

using Clock = std::chrono::steady_clock;
using Subject = EventQueue::Subject;
using Topic = Subject::Topic;
using Role = Subject::Role;

constexpr auto kPatience = std::chrono::seconds(20);

EventQueue::Delivery Nothing() {
    return [](QOLTCloudDelegate&) {};
}

Subject About(Topic topic, Role role, std::string user = std::string(), int stream = 0) {
    Subject subject;
    subject.topic = topic;
    subject.role = role;
    subject.user = std::move(user);
    subject.stream = stream;
    return subject;
}

// Plays the event thread for what waits now: takes each event and reports it done.
std::vector<std::string> Deliver(EventQueue& queue) {
    std::vector<std::string> delivered;
    for (uint64_t waiting = queue.counters().queued; waiting > 0; --waiting) {
        const EventQueue::Event event = queue.Next();
        delivered.emplace_back(event.operation);
        queue.Finish(event.sequence);
    }
    return delivered;
}

TEST(EventQueue, NumbersEventsFromOneAndDeliversThemInOrder) {
    EventQueue queue(false, 4);
    for (uint64_t expected = 1; expected <= 5; ++expected) {
        EXPECT_EQ(queue.Post(expected % 2 ? "Odd" : "Even", false, Nothing()), expected);
    }
    EXPECT_EQ(queue.last_raised(), 5u);
    EXPECT_EQ(Deliver(queue), (std::vector<std::string>{"Odd", "Even", "Odd", "Even", "Odd"}));
    const EventQueue::Counters counters = queue.counters();
    EXPECT_EQ(counters.raised, 5u);
    EXPECT_EQ(counters.delivered, 5u);
    EXPECT_EQ(counters.queued, 0u);
    EXPECT_TRUE(queue.WaitDone(5, Clock::now()));
}

TEST(EventQueue, ADiscardingQueueCountsButQueuesNothing) {
    EventQueue queue(true, 4);
    EXPECT_EQ(queue.Post("OnEnterRoom", false, Nothing()), 0u);
    const EventQueue::Counters counters = queue.counters();
    EXPECT_EQ(counters.raised, 1u);
    EXPECT_EQ(counters.discarded, 1u);
    EXPECT_EQ(counters.queued, 0u);
    EXPECT_TRUE(queue.WaitDone(0, Clock::now()));
}

TEST(EventQueue, StopCancelsWhatWaitsQueuesTheSentinelOnceAndRefusesLaterPosts) {
    EventQueue queue(false, 4);
    queue.Post("First", false, Nothing());
    queue.Post("Second", false, Nothing());
    const uint64_t third = queue.Post("Third", false, Nothing());
    const EventQueue::Event first = queue.Next();
    queue.Stop();
    queue.Stop();
    EXPECT_EQ(queue.Post("Late", false, Nothing()), 0u);
    EXPECT_EQ(queue.counters().raised, 3u);
    EXPECT_EQ(queue.counters().queued, 0u);
    // The cancelled events are done only once the one in flight is.
    EXPECT_FALSE(queue.WaitDone(third, Clock::now()));
    queue.Finish(first.sequence);
    EXPECT_TRUE(queue.WaitDone(third, Clock::now()));
    EXPECT_FALSE(queue.Next().deliver);
    EXPECT_EQ(queue.counters().delivered, 1u);
}

// Media beyond the bound are dropped oldest first; every other event stays.
class EventQueueMediaBound : public ::testing::TestWithParam<size_t> {};

TEST_P(EventQueueMediaBound, DropsTheOldestMediaAndKeepsEveryOtherEvent) {
    const size_t bound = GetParam();
    EventQueue queue(false, bound);
    static const char* const kMedia[] = {"M0", "M1", "M2", "M3", "M4", "M5", "M6", "M7", "M8", "M9", "M10", "M11"};
    const size_t media = 2 * bound + 1;
    ASSERT_LE(media, std::size(kMedia));
    for (size_t i = 0; i < media; ++i) {
        queue.Post("State", false, Nothing());
        queue.Post(kMedia[i], true, Nothing());
    }
    std::vector<std::string> expected(media, "State");
    for (size_t i = media - bound; i < media; ++i) {
        expected.push_back(kMedia[i]);
    }
    std::vector<std::string> delivered = Deliver(queue);
    std::stable_partition(delivered.begin(), delivered.end(), [](const std::string& name) { return name == "State"; });
    EXPECT_EQ(delivered, expected);
    const EventQueue::Counters counters = queue.counters();
    EXPECT_EQ(counters.dropped, media - bound);
    EXPECT_EQ(counters.dropped_by_event.size(), media - bound);
    EXPECT_EQ(counters.coalesced, 0u);
}

INSTANTIATE_TEST_SUITE_P(Bounds, EventQueueMediaBound, ::testing::Values(1, 2, 5));

TEST(EventQueue, LoweringTheMediaBoundDropsTheOldestMediaAtOnce) {
    EventQueue queue(false, 8);
    queue.Post("A", true, Nothing());
    queue.Post("B", true, Nothing());
    queue.Post("C", true, Nothing());
    queue.set_media_bound(0);  // taken as 1
    EXPECT_EQ(queue.counters().dropped, 2u);
    EXPECT_EQ(Deliver(queue), std::vector<std::string>{"C"});
}

struct Posted {
    const char* operation;
    bool droppable;
    Subject subject;
};

struct CoalescingCase {
    const char* name;
    size_t bound;
    std::vector<Posted> posts;
    std::vector<std::string> delivered;
    uint64_t coalesced;
};

void PrintTo(const CoalescingCase& c, std::ostream* os) { *os << c.name; }

class EventQueueCoalescing : public ::testing::TestWithParam<CoalescingCase> {};

TEST_P(EventQueueCoalescing, KeepsOnlyWhatTheHandlerMustSee) {
    const CoalescingCase& c = GetParam();
    EventQueue queue(false, c.bound);
    for (const Posted& post : c.posts) {
        ASSERT_NE(queue.Post(post.operation, post.droppable, Nothing(), post.subject), 0u);
    }
    EXPECT_EQ(Deliver(queue), c.delivered);
    EXPECT_EQ(queue.counters().coalesced, c.coalesced);
    EXPECT_EQ(queue.counters().delivered + queue.counters().coalesced, c.posts.size());
}

const Posted kFiller{"Filler", false, Subject()};
Posted Entered(const char* user) { return {"Entered", false, About(Topic::kRemoteUser, Role::kOpens, user)}; }
Posted Exited(const char* user) { return {"Exited", false, About(Topic::kRemoteUser, Role::kCloses, user)}; }
Posted AudioOn(const char* user) { return {"AudioOn", false, About(Topic::kRemoteAudio, Role::kOpens, user)}; }
Posted AudioOff(const char* user) { return {"AudioOff", false, About(Topic::kRemoteAudio, Role::kCloses, user)}; }
Posted Audio(const char* user) { return {"Audio", true, About(Topic::kRemoteAudio, Role::kWithin, user)}; }
Posted Message(const char* user) { return {"Message", false, About(Topic::kRemoteUser, Role::kMentions, user)}; }
Posted Report() { return {"Report", true, About(Topic::kRoomReport, Role::kWithin)}; }
Posted KeyFrame(int stream) { return {"KeyFrame", false, About(Topic::kLocalVideo, Role::kRepeat, "", stream)}; }
Posted VideoOn(int stream) { return {"VideoOn", false, About(Topic::kLocalVideo, Role::kOpens, "", stream)}; }
Posted VideoOff(int stream) { return {"VideoOff", false, About(Topic::kLocalVideo, Role::kCloses, "", stream)}; }

INSTANTIATE_TEST_SUITE_P(
    Cases, EventQueueCoalescing,
    ::testing::Values(CoalescingCase{"PairCancelsWithTheMediaBetweenWhenBehind",
                                     3,
                                     {kFiller, kFiller, AudioOn("u"), Audio("u"), Audio("v"), AudioOff("u")},
                                     {"Filler", "Filler", "Audio"},
                                     3},
                      CoalescingCase{"PairIsKeptByAHandlerThatKeepsUp",
                                     8,
                                     {AudioOn("u"), Audio("u"), AudioOff("u")},
                                     {"AudioOn", "Audio", "AudioOff"},
                                     0},
                      CoalescingCase{"ClosingAnotherUsersStreamCancelsNothing",
                                     1,
                                     {kFiller, AudioOn("u"), AudioOff("v")},
                                     {"Filler", "AudioOn", "AudioOff"},
                                     0},
                      CoalescingCase{"AMessageFromTheUserKeepsTheirEntryAndExit",
                                     1,
                                     {kFiller, Entered("u"), Message("u"), Exited("u")},
                                     {"Filler", "Entered", "Message", "Exited"},
                                     0},
                      CoalescingCase{"AnExitTakesTheUsersMediaAndTheReportsListingThem",
                                     3,
                                     {Entered("u"), Audio("u"), Report(), Audio("v"), Message("v"), Exited("u")},
                                     {"Audio", "Message"},
                                     4},
                      CoalescingCase{"AKeyFrameRequestWhileTheSameWaitsIsDropped",
                                     1,
                                     {kFiller, KeyFrame(1), KeyFrame(1), KeyFrame(2)},
                                     {"Filler", "KeyFrame", "KeyFrame"},
                                     1},
                      CoalescingCase{"AKeyFrameRequestAfterTheChannelReopenedIsKept",
                                     1,
                                     {kFiller, KeyFrame(1), VideoOn(1), KeyFrame(1)},
                                     {"Filler", "KeyFrame", "VideoOn", "KeyFrame"},
                                     0},
                      CoalescingCase{"AChannelCreatedAndDestroyedTakesItsRequestsWithIt",
                                     1,
                                     {kFiller, VideoOn(1), KeyFrame(1), VideoOff(1), KeyFrame(1)},
                                     {"Filler", "KeyFrame"},
                                     3}),
    [](const ::testing::TestParamInfo<CoalescingCase>& info) { return std::string(info.param.name); });

TEST(EventQueue, AClosingEventIsKeptWhenTheHandlerIsSeeingTheOpeningOne) {
    EventQueue queue(false, 1);
    queue.Post("AudioOn", false, Nothing(), About(Topic::kRemoteAudio, Role::kOpens, "u"));
    queue.Post("Filler", false, Nothing());
    const EventQueue::Event opening = queue.Next();  // in flight, no longer waiting
    queue.Post("AudioOff", false, Nothing(), About(Topic::kRemoteAudio, Role::kCloses, "u"));
    queue.Finish(opening.sequence);
    EXPECT_EQ(Deliver(queue), (std::vector<std::string>{"Filler", "AudioOff"}));
    EXPECT_EQ(queue.counters().coalesced, 0u);
}

// Random traffic from a room (users entering and leaving, their audio opening and closing, frames,
// messages, reports) against a handler that falls behind at random: whatever is coalesced or
// dropped, the handler never sees a stream close, a frame or a message that it did not see open,
// no report lists a user it did not see enter, and it ends in the state the room is in.
class EventQueueUnderLoad : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EventQueueUnderLoad, TheHandlerEndsInTheRoomsStateAndNeverSeesAnUnopenedTopic) {
    std::mt19937 random(GetParam());
    EventQueue queue(false, 1 + random() % 4);
    const std::vector<std::string> users = {"a", "b", "c"};
    std::map<std::string, std::pair<bool, bool>> room;  // present, audio on
    std::map<uint64_t, std::set<std::string>> listed;   // a report's users, by event number

    std::map<std::string, std::pair<bool, bool>> seen;
    auto check = [&](const EventQueue::Event& event) {
        const std::string operation = event.operation;
        const std::string& user = event.subject.user;
        SCOPED_TRACE(operation + " " + user + " #" + std::to_string(event.sequence));
        if (operation == "Entered") {
            ASSERT_FALSE(seen[user].first);
            seen[user].first = true;
        } else if (operation == "Exited") {
            ASSERT_TRUE(seen[user].first);
            ASSERT_FALSE(seen[user].second);
            seen[user].first = false;
        } else if (operation == "AudioOn") {
            ASSERT_TRUE(seen[user].first);
            seen[user].second = true;
        } else if (operation == "AudioOff") {
            ASSERT_TRUE(seen[user].second);
            seen[user].second = false;
        } else if (operation == "Audio") {
            ASSERT_TRUE(seen[user].second);
        } else if (operation == "Message") {
            ASSERT_TRUE(seen[user].first);
        } else if (operation == "Report") {
            for (const std::string& present : listed[event.sequence]) {
                ASSERT_TRUE(seen[present].first) << present;
            }
        }
    };

    for (int step = 0; step < 3000; ++step) {
        const std::string& user = users[random() % users.size()];
        auto& [present, audio] = room[user];
        switch (random() % 6) {
            case 0:
                if (!present) {
                    queue.Post("Entered", false, Nothing(), Entered(user.c_str()).subject);
                } else {
                    if (audio) {
                        queue.Post("AudioOff", false, Nothing(), AudioOff(user.c_str()).subject);
                        audio = false;
                    }
                    queue.Post("Exited", false, Nothing(), Exited(user.c_str()).subject);
                }
                present = !present;
                break;
            case 1:
                if (present) {
                    queue.Post(audio ? "AudioOff" : "AudioOn", false, Nothing(),
                               (audio ? AudioOff(user.c_str()) : AudioOn(user.c_str())).subject);
                    audio = !audio;
                }
                break;
            case 2:
                if (audio) {
                    queue.Post("Audio", true, Nothing(), Audio(user.c_str()).subject);
                }
                break;
            case 3:
                if (present) {
                    queue.Post("Message", false, Nothing(), Message(user.c_str()).subject);
                }
                break;
            case 4: {
                std::set<std::string> everyone;
                for (const auto& entry : room) {
                    if (entry.second.first) {
                        everyone.insert(entry.first);
                    }
                }
                listed[queue.Post("Report", true, Nothing(), Report().subject)] = everyone;
                break;
            }
            default:
                // The handler takes an event now and then, and sometimes catches up.
                for (uint64_t n = random() % 8 == 0 ? queue.counters().queued : random() % 2;
                     n > 0 && queue.counters().queued > 0; --n) {
                    const EventQueue::Event event = queue.Next();
                    check(event);
                    queue.Finish(event.sequence);
                }
                if (HasFatalFailure()) {
                    return;
                }
        }
    }
    while (queue.counters().queued > 0) {
        const EventQueue::Event event = queue.Next();
        check(event);
        queue.Finish(event.sequence);
        ASSERT_FALSE(HasFatalFailure());
    }
    EXPECT_EQ(seen, room);
    const EventQueue::Counters counters = queue.counters();
    EXPECT_EQ(counters.delivered + counters.dropped + counters.coalesced, counters.raised);
}

INSTANTIATE_TEST_SUITE_P(Seeds, EventQueueUnderLoad, ::testing::Range(1u, 13u));

// Starts a waiter for the event and gives it time to block, so that only a wake-up can end its wait.
std::future<bool> Awaiting(EventQueue& queue, uint64_t sequence) {
    std::future<bool> done = std::async(
        std::launch::async, [&queue, sequence] { return queue.WaitDone(sequence, Clock::now() + kPatience); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return done;
}

TEST(EventQueue, WaitDoneWakesWhenTheAwaitedEventIsDroppedOrCoalesced) {
    EventQueue dropping(false, 1);
    std::future<bool> dropped = Awaiting(dropping, dropping.Post("Audio", true, Nothing()));
    dropping.Post("Audio", true, Nothing());  // drops the first
    ASSERT_EQ(dropped.wait_for(kPatience / 2), std::future_status::ready);
    EXPECT_TRUE(dropped.get());

    EventQueue coalescing(false, 1);
    std::future<bool> coalesced =
        Awaiting(coalescing, coalescing.Post("AudioOn", false, Nothing(), AudioOn("u").subject));
    EXPECT_NE(coalescing.Post("AudioOff", false, Nothing(), AudioOff("u").subject), 0u);
    ASSERT_EQ(coalesced.wait_for(kPatience / 2), std::future_status::ready);
    EXPECT_TRUE(coalesced.get());
}

TEST(EventQueue, WaitDoneGivesUpAtItsDeadline) {
    EventQueue queue(false, 4);
    const uint64_t sequence = queue.Post("Waiting", false, Nothing());
    EXPECT_FALSE(queue.WaitDone(sequence, Clock::now() + std::chrono::milliseconds(20)));
    EXPECT_TRUE(queue.WaitDone(sequence - 1, Clock::now()));
}

TEST(EventQueue, AbandonedQueueRefusesPostsAndNobodyWaitsForIt) {
    EventQueue queue(false, 4);
    queue.Post("Waiting", false, Nothing());
    queue.Post("InFlight", false, Nothing());
    const EventQueue::Event in_flight = queue.Next();
    queue.Abandon();
    EXPECT_EQ(queue.Post("Late", false, Nothing()), 0u);
    EXPECT_TRUE(queue.WaitDone(in_flight.sequence + 1, Clock::now()));
    EXPECT_EQ(queue.counters().queued, 0u);
}

// Producers on several threads, one consumer, waiters: each producer's events arrive in the
// order it raised them, and every event is accounted for once.
TEST(EventQueue, ConcurrentProducersKeepTheirOrderAndEveryEventIsCounted) {
    constexpr int kProducers = 4;
    constexpr int kEach = 3000;
    EventQueue queue(false, 16);
    static const char* const kNames[] = {"P0", "P1", "P2", "P3"};
    std::vector<std::thread> producers;
    std::atomic<int> finished{0};
    std::thread consumer([&] {
        std::map<std::string, uint64_t> last;
        for (;;) {
            const EventQueue::Event event = queue.Next();
            if (!event.deliver) {
                return;
            }
            uint64_t& previous = last[event.operation];
            EXPECT_GT(event.sequence, previous);
            previous = event.sequence;
            queue.Finish(event.sequence);
        }
    });
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                const uint64_t sequence = queue.Post(kNames[p], i % 3 == 0, Nothing());
                if (i % 500 == 0) {
                    EXPECT_TRUE(queue.WaitDone(sequence, Clock::now() + kPatience));
                }
            }
            ++finished;
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    EXPECT_TRUE(queue.WaitDone(queue.last_raised(), Clock::now() + kPatience));
    queue.Stop();
    consumer.join();
    const EventQueue::Counters counters = queue.counters();
    EXPECT_EQ(counters.raised, uint64_t{kProducers} * kEach);
    EXPECT_EQ(counters.delivered + counters.dropped, counters.raised);
}

}  // namespace
}  // namespace loopback
}  // namespace mirelo
