// Topic escaping, broker URLs and /set payloads of the MQTT gateway, without a broker.
#include "tools/talvekctl/mqtt_topics.h"

#include <gtest/gtest.h>

namespace talvekctl {
namespace {

TEST(MqttTopicsTest, EscapedNamesAreOneSafeLevelAndComeBackUnchanged) {
  const std::string names[] = {"",        "%",       "a/b",       "+",
                               "#",       "$status", "x$y",       std::string("n\0ul", 4),
                               "泵站PLC", "%2F",     "tab\there", "a%25b"};
  for (const std::string& name : names) {
    const std::string level = EscapeLevel(name);
    SCOPED_TRACE(level);
    EXPECT_EQ(level.find_first_of(std::string("/+#\0", 4)), std::string::npos);
    EXPECT_NE(level.front(), '$');
    EXPECT_EQ(UnescapeLevel(level), name);
    for (const std::string& other : names) {
      if (other != name)
        EXPECT_NE(EscapeLevel(other), level) << other;
    }
  }
  EXPECT_EQ(EscapeLevel("a/b+c#d%"), "a%2Fb%2Bc%23d%25");
  // Levels the escaping never gives are not taken for a name.
  for (const char* bad : {"", "%2", "%zz", "a/b", "$x", "a+b"})
    EXPECT_FALSE(UnescapeLevel(bad)) << bad;
  const auto target = ParseSetTopic("%24dev/a%2Fb/set");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->device, "$dev");
  EXPECT_EQ(target->tag, "a/b");
  EXPECT_FALSE(ParseSetTopic("dev/tag/set/result"));
  EXPECT_FALSE(ParseSetTopic("dev/$status"));
}

TEST(MqttTopicsTest, BrokerUrlsAndPrefixes) {
  std::string why;
  auto url = ParseBrokerUrl("mqtt://broker.local", &why);
  ASSERT_TRUE(url);
  EXPECT_FALSE(url->tls);
  EXPECT_EQ(url->port, 1883);
  url = ParseBrokerUrl("mqtts://[::1]:8884/", &why);
  ASSERT_TRUE(url);
  EXPECT_TRUE(url->tls);
  EXPECT_EQ(url->host, "::1");
  EXPECT_EQ(url->port, 8884);
  for (const char* bad : {"tcp://h", "mqtt://", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:1x",
                          "mqtt://h:", "mqtt://h/path", "mqtt://[::1", "mqtt://user:pw9@h"}) {
    why.clear();
    EXPECT_FALSE(ParseBrokerUrl(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
    EXPECT_EQ(why.find("pw9"), std::string::npos) << why;
  }
  EXPECT_FALSE(PrefixRefusal("talvek/水厂"));
  for (const char* bad : {"", "a/+", "#", "/a", "a/", "a//b"})
    EXPECT_TRUE(PrefixRefusal(bad)) << bad;
}

TEST(MqttTopicsTest, SetPayloadsAndJsonValues) {
  std::string why;
  EXPECT_EQ(SetPayloadText(" 12.5\n", &why), "12.5");
  EXPECT_EQ(SetPayloadText("{\"value\": -3e2}", &why), "-3e2");
  EXPECT_EQ(SetPayloadText("{\"id\":7, \"value\":\"A\\u6C34\\\"\"}", &why), "A水\"");
  EXPECT_EQ(SetPayloadText("{\"value\":true}", &why), "1");
  EXPECT_EQ(SetPayloadText("\"text\"", &why), "text");
  for (const char* bad : {"{}", "{\"value\":null}", "{\"value\":[1]}", "{\"value\":1",
                          "{\"value\":1}x", "{\"value\":\"\\ud800\"}"})
    EXPECT_FALSE(SetPayloadText(bad, &why)) << bad;
  // A float that is not a JSON number must not corrupt the object it goes into.
  EXPECT_EQ(JsonValue("nan", false, true), "\"nan\"");
  EXPECT_EQ(JsonValue("-inf", false, true), "\"-inf\"");
  EXPECT_EQ(JsonValue("1.5e+10", false, true), "1.5e+10");
  EXPECT_EQ(JsonValue("12", false, false), "null");
}

}  // namespace
}  // namespace talvekctl
