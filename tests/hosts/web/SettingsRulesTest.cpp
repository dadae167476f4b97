// The rules of the settings endpoints that do not need a camera: which peers
// and Host names may use them, the request bodies taken, and the status
// each of the service's messages gets.
#include "SettingsApi.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace {

using cvl::web::SettingsApi;

bool LoopbackPeer(const char* text) {
    sockaddr_storage storage;
    std::memset(&storage, 0, sizeof storage);
    auto* in4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, text, &in4->sin_addr) == 1)
        in4->sin_family = AF_INET;
    else if (inet_pton(AF_INET6, text, &in6->sin6_addr) == 1)
        in6->sin6_family = AF_INET6;
    else
        ADD_FAILURE() << text;
    return SettingsApi::IsLoopbackPeer(reinterpret_cast<sockaddr*>(&storage));
}

TEST(SettingsRules, OnlyLoopbackPeersAndHostsCount) {
    for (const char* peer : {"127.0.0.1", "127.0.0.2", "127.255.0.9", "::1", "::ffff:127.0.0.1"})
        EXPECT_TRUE(LoopbackPeer(peer)) << peer;
    for (const char* peer : {"192.0.2.2", "10.0.0.1", "0.0.0.0", "128.0.0.1", "::", "2001:db8::1",
                             "::ffff:192.0.2.2", "::127.0.0.1"})
        EXPECT_FALSE(LoopbackPeer(peer)) << peer;
    EXPECT_FALSE(SettingsApi::IsLoopbackPeer(nullptr));

    for (const char* host : {"127.0.0.1", "127.0.0.1:8080", "localhost:8080", "LocalHost",
                             "[::1]:8080", "[::1]", "127.1.2.3:1"})
        EXPECT_TRUE(SettingsApi::IsLoopbackHost(host)) << host;
    for (const char* host : {"", "example.org", "localhost.example.org:8080", "192.0.2.2:8080",
                             "[::2]:8080", "[::1", "127.0.0.1.example.org", "0x7f.1:80"})
        EXPECT_FALSE(SettingsApi::IsLoopbackHost(host)) << host;
}

TEST(SettingsRules, BodiesAreFlatJsonObjects) {
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(SettingsApi::ParseObject(" {\"value\" : \"+1.3\", \"n\": -2.5e1}\n", fields));
    EXPECT_EQ(fields["value"], "+1.3");
    EXPECT_EQ(fields["n"], "-2.5e1");
    ASSERT_TRUE(SettingsApi::ParseObject("{\"a\":\"q\\\"\\\\\\/\"}", fields));
    EXPECT_EQ(fields["a"], "q\"\\/");
    EXPECT_TRUE(SettingsApi::ParseObject("{}", fields));
    EXPECT_TRUE(fields.empty());
    for (const char* bad : {"", "{", "}", "[]", "{\"a\"}", "{\"a\":}", "{\"a\":\"b\",}",
                            "{\"a\":\"b\"} x", "{\"a\":true}", "{\"a\":{\"b\":1}}", "{\"a\":\"b",
                            "{\"a\":\"\\x\"}", "{\"a\":1.2.3}", "{\"a\":\"\\u12\"}", "{a:1}"})
        EXPECT_FALSE(SettingsApi::ParseObject(bad, fields)) << bad;
    EXPECT_FALSE(SettingsApi::ParseObject(std::string("{\"a\":\"b\0\"}", 10), fields));
}

TEST(SettingsRules, EachKindOfErrorHasItsStatus) {
    EXPECT_EQ(SettingsApi::StatusFor("unknown setting \"isoo\"; settings: iso"), 404u);
    EXPECT_EQ(SettingsApi::StatusFor("this camera has no setting aperture"), 404u);
    EXPECT_EQ(SettingsApi::StatusFor("no setting loudness on this camera; settings: iso"), 404u);
    EXPECT_EQ(SettingsApi::StatusFor("iso cannot be \"900\"; allowed: auto, 100"), 400u);
    EXPECT_EQ(SettingsApi::StatusFor("unknown action \"x\"; actions: autofocus"), 400u);
    EXPECT_EQ(SettingsApi::StatusFor("no camera connected; settings can be read"), 409u);
    EXPECT_EQ(SettingsApi::StatusFor("replaced by a newer value"), 409u);
    EXPECT_EQ(SettingsApi::StatusFor("too many camera actions waiting; try again"), 429u);
    EXPECT_EQ(SettingsApi::StatusFor("the camera is busy; try again"), 503u);
    EXPECT_EQ(SettingsApi::StatusFor("the service is starting; try again"), 503u);
    EXPECT_EQ(SettingsApi::StatusFor("the Corvalink service is not running or does not answer"),
              503u);
    EXPECT_EQ(SettingsApi::StatusFor("something else went wrong"), 502u);
}

} // namespace
