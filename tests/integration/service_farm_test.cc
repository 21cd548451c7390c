// qztest::Farm with every part it can run on one broker: the control service sees the scan
// service the farm started as a live worker, and the event sink records what is sent to it.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>

#include "connection/nats_handles.h"
#include "support/farm.h"
#include "support/nats_test_helpers.h"

namespace {

std::string request(natsConnection* nc, const char* subject, const std::string& text) {
    natsMsg* raw = nullptr;
    if (natsConnection_Request(&raw, nc, subject, text.data(), static_cast<int>(text.size()),
                               5000) != NATS_OK) {
        return "";
    }
    qz::nats::MsgPtr reply(raw);
    return std::string(natsMsg_GetData(raw), static_cast<size_t>(natsMsg_GetDataLength(raw)));
}

TEST(ServiceFarm, ControlEventSinkAndScanServiceShareOneBroker) {
    qztest::Farm farm;
    qztest::EventSink& sink = farm.start_event_sink();
    farm.start_service("qz-av-dummy");

    natsConnection* raw = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&raw, farm.url().c_str()), NATS_OK);
    qz::nats::ConnectionPtr nc(raw);

    auto reply = qztest::parse(request(
        nc.get(), "qz-av-control", R"({"Command":6,"Services":["qz-av-dummy","qz-av-clamav"]})"));
    ASSERT_TRUE(reply);
    json_object* services = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(reply.get(), "Services", &services));
    ASSERT_EQ(json_object_array_length(services), 2u);
    const char* expected[] = {"true", "false"};
    for (size_t i = 0; i < 2; ++i) {
        json_object* info = nullptr;
        json_object* present = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(json_object_array_get_idx(services, i), "Driverinfo",
                                              &info));
        ASSERT_TRUE(json_object_object_get_ex(info, "Present", &present));
        EXPECT_STREQ(json_object_to_json_string(present), expected[i]) << i;
    }

    EXPECT_FALSE(request(nc.get(), "qz-av-log", R"({"Command":501,"SID":"PRD"})").empty());
    ASSERT_TRUE(sink.wait_for(1, 5000));
    EXPECT_EQ(qztest::member(sink.lines().front().get(), "subject"), "qz-av-log");
}

}  // namespace
