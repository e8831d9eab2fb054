// The topics and payloads of `talvekctl run --mqtt`: pure functions, no client and no broker.
//
//   PREFIX/<device>/<tag>              {"value":12.5,"raw":3456,"quality":192,"time":"...Z"}
//   PREFIX/<device>/$status            {"status":"online","state":"good","requests":...}
//   PREFIX/$status                     {"status":"online"} / {"status":"offline"}
//   PREFIX/<device>/<tag>/set          12.5  or  {"value":12.5}      (to the gateway)
//   PREFIX/<device>/<tag>/set/result   {"ok":true} / {"ok":false,"error":"..."}
//
// Device and tag names are one topic level each, UTF-8, escaped by EscapeLevel (see
// docs/talvekctl-mqtt.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "workbench/project/driver_host_interface.h"

namespace talvekctl {

struct Row;

// One name as one topic level: '%', '/', '+', '#', the control characters (bytes below 0x20 and
// 0x7F) and a leading '$' become "%XX" (two upper-case hex digits); every other byte stays. An
// empty name becomes "%" alone, which no other name gives. The result never holds a wildcard, a
// separator or NUL, never starts with '$', and UnescapeLevel gives the name back.
std::string EscapeLevel(std::string_view name);
// The name a level escaped by EscapeLevel stands for; nullopt for a level EscapeLevel never gives
// (a '%' not followed by two hex digits, an escapable byte left as it is).
std::optional<std::string> UnescapeLevel(std::string_view level);

// Checks a topic prefix given by the user: not empty, no wildcard ('+', '#'), no NUL, no empty
// level (no leading, trailing or doubled '/'). The refusal (UTF-8) when it cannot be used.
std::optional<std::string> PrefixRefusal(std::string_view prefix);

// The broker a URL names: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); HOST may be a
// bracketed IPv6 address. A user or password inside the URL is refused: they come from options or
// the environment, so that they never show in a process list or a message.
struct BrokerUrl {
  bool tls = false;
  std::string host;
  int port = 0;
};
// The broker, or nullopt with *refusal (UTF-8) saying why. The refusal never repeats the URL.
std::optional<BrokerUrl> ParseBrokerUrl(std::string_view url, std::string* refusal);

// {"value":...,"raw":...,"quality":Q,"time":"..."}: the value and raw value as `talvekctl run
// --json` prints them (strings quoted, null before the first read), the time null when never
// updated.
std::string TagPayload(const Row& row);
// A device's status from its statistics: "status" online (answers), failing (its last cycle had
// none, or its port is down), demoted (set aside or given up), waiting (not polled yet); "state"
// the precise state; then the counters.
std::string DeviceStatusPayload(const talvek::DeviceStatistics& stats);
// The status text of DeviceStatusPayload.
const char* DeviceStatusText(talvek::DeviceState state);
// {"ok":true} or {"ok":false,"error":"<refusal>"}.
std::string WriteResultPayload(bool ok, std::string_view error);

// The value text of a /set message: a JSON object {"value":V} (V a number, a string, true or
// false) gives V's text; anything else is the plain text itself, blanks around it removed.
// nullopt (with *refusal) for a JSON object without a usable "value".
std::optional<std::string> SetPayloadText(std::string_view payload, std::string* refusal);

// Where a message received under PREFIX/ goes: `rest` is the topic after "PREFIX/". Gives the
// device and tag names of "<device>/<tag>/set"; nullopt for anything else.
struct SetTarget {
  std::string device;  // UTF-8
  std::string tag;     // UTF-8
};
std::optional<SetTarget> ParseSetTopic(std::string_view rest);

// A JSON string literal of a UTF-8 text.
std::string JsonString(std::string_view text);
// A value as JSON: null when !hasValue, quoted when `text` or when the number is not a JSON
// number ("nan", "inf"), else as it is.
std::string JsonValue(const std::string& value, bool text, bool hasValue);

}  // namespace talvekctl
