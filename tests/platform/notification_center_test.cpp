#include "platform/notification_center.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace strombel::platform {
namespace {

TEST(NotificationCenter, DeliversByNameAndSender) {
    NotificationCenter center;
    int senderA = 0, senderB = 0;
    std::vector<std::string> seen;
    center.addObserver("Changed", nullptr, [&](const Notification& n) {
        seen.push_back("any:" + std::any_cast<std::string>(n.userInfo));
    });
    center.addObserver("Changed", &senderA, [&](const Notification&) { seen.push_back("fromA"); });
    center.addObserver("Other", nullptr, [&](const Notification&) { seen.push_back("other"); });
    center.post("Changed", &senderB, std::string("b"));
    center.post("Changed", &senderA, std::string("a"));
    EXPECT_EQ(seen, (std::vector<std::string>{"any:b", "any:a", "fromA"}));
}

TEST(NotificationCenter, ObserverRemovedDuringDeliveryIsNotCalled) {
    NotificationCenter center;
    std::vector<int> calls;
    NotificationCenter::ObserverId second = 0;
    center.addObserver("Tick", nullptr, [&](const Notification&) {
        calls.push_back(1);
        center.removeObserver(second);
    });
    second = center.addObserver("Tick", nullptr, [&](const Notification&) { calls.push_back(2); });
    NotificationCenter::ObserverId self = 0;
    self = center.addObserver("Tick", nullptr, [&](const Notification&) {
        calls.push_back(3);
        center.removeObserver(self);
    });
    center.post("Tick");
    center.post("Tick");
    EXPECT_EQ(calls, (std::vector<int>{1, 3, 1}));
}

}  // namespace
}  // namespace strombel::platform
