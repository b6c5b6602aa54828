#include "control/Control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/SilentDelegate_test.h"

namespace mirelo {
namespace loopback {
namespace control {
namespace {

// Notes the custom messages it receives, on the cloud's event thread.
class MessageDelegate : public SilentDelegate {
public:
    void OnReceiveCustomCmdMsg(const char* user_id, int32_t cmd_id, uint32_t seq, const char* message,
                               size_t length) override {
        received.push_back(std::string(user_id) + "/" + std::to_string(cmd_id) + "/" + std::to_string(seq) + "/" +
                           std::string(message, length));
    }
    std::vector<std::string> received;  // read after Flush
};

// A cloud of the loopback, destroyed at the end of the test.
struct LiveCloud {
    LiveCloud() : cloud(QOLTCloud::Create(&delegate)), handle(Clouds().back()) {}
    ~LiveCloud() { QOLTCloud::Destroy(cloud); }
    MessageDelegate delegate;
    QOLTCloud* cloud;
    uint64_t handle;
};

const auto& CustomMessage() {
    const auto& event = std::get<20>(kEvents);
    EXPECT_STREQ(event.name, "OnReceiveCustomCmdMsg");
    return event;
}

TEST(Control, AnEventKeepsCopiesOfItsArgumentsUntilItRuns) {
    LiveCloud live;
    {
        std::string user = "alice";
        std::string payload("a\0b", 3);
        Delivery delivery = CustomMessage().Bind(user, 7, 9, payload);
        user.assign("overwritten");
        payload.assign("gone");
        Emit(live.handle, "OnReceiveCustomCmdMsg", delivery, 3, 10.0);
    }
    Flush(10.0);
    EXPECT_EQ(live.delegate.received, std::vector<std::string>(3, std::string("alice/7/9/a\0b", 13)));
}

TEST(Control, EmitsFromManyThreadsAreEachDeliveredInTheirOwnOrder) {
    LiveCloud live;
    constexpr int kThreads = 4;
    constexpr uint32_t kEach = 500;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            try {
                for (uint32_t seq = 0; seq < kEach; ++seq) {
                    Emit(live.handle, "OnReceiveCustomCmdMsg", CustomMessage().Bind("u", t, seq, "x"), 1, 10.0);
                }
            } catch (...) {
                failures.fetch_add(1);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Flush(10.0);
    ASSERT_EQ(failures.load(), 0);
    ASSERT_EQ(live.delegate.received.size(), size_t{kThreads} * kEach);
    std::vector<uint32_t> next(kThreads, 0);
    for (const std::string& entry : live.delegate.received) {
        const int t = entry[2] - '0';
        EXPECT_EQ(entry, "u/" + std::to_string(t) + "/" + std::to_string(next[t]) + "/x");
        ++next[t];
    }
}

TEST(Control, AnUnknownCloudIsRefusedAndNothingRuns) {
    EXPECT_THROW(Emit(~uint64_t{0}, "OnReceiveCustomCmdMsg", CustomMessage().Bind("u", 1, 1, "x"), 1, 1.0), Refused);
    EXPECT_THROW(Inject(~uint64_t{0}, "EnterRoom", -1, 1), Refused);
}

TEST(Control, AnOperationWithoutAResultCannotBeInjected) {
    LiveCloud live;
    EXPECT_FALSE(Injectable("SetVideoEncodeParam"));
    EXPECT_THROW(Inject(live.handle, "SetVideoEncodeParam", -1, 1), Refused);
    EXPECT_TRUE(Injectable("EnterRoom"));
}

TEST(Control, ARefusedConfigurationChangesNothing) {
    const Value before = Tunables();
    const std::string snapshot = before.Field("custom_message_loss") != nullptr ? "present" : "absent";
    ASSERT_EQ(snapshot, "present");
    Value changes = Value::Dict();
    changes.Add("custom_message_loss", Value::Real(0.5)).Add("custom_message_loss_typo", Value::Real(0.5));
    EXPECT_THROW(Configure(changes), Refused);
    EXPECT_EQ(Tunables().Field("custom_message_loss")->as_real(), before.Field("custom_message_loss")->as_real());
    Value out_of_range = Value::Dict();
    out_of_range.Add("custom_message_loss", Value::Real(2.0));
    EXPECT_THROW(Configure(out_of_range), Refused);
    Reset(true);
}

}  // namespace
}  // namespace control
}  // namespace loopback
}  // namespace mirelo
