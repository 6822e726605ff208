#pragma once
// The --json output of quellon-cli: one object per line on stdout, keys in a
// fixed order (the manual lists them; scripts depend on them).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli
{

// `s` as a JSON string, quotes included.
std::string jsonText(const std::string &s);

class JsonObject
{
public:
    JsonObject &text(const std::string &key, const std::string &value);
    // null when there is no value.
    JsonObject &textOrNull(const std::string &key, const std::optional<std::string> &value);
    JsonObject &number(const std::string &key, int64_t value);
    JsonObject &flag(const std::string &key, bool value);
    JsonObject &null(const std::string &key);
    // `json` as it is: an object or array made by the caller.
    JsonObject &raw(const std::string &key, const std::string &json);
    JsonObject &texts(const std::string &key, const std::vector<std::string> &values);
    std::string str() const { return body_ + "}"; }

private:
    JsonObject &add(const std::string &key, const std::string &json);
    std::string body_ = "{";
};

// Now, as ISO 8601 with the local zone's offset: 2026-12-09T01:24:06+01:00.
std::string isoNow();
// The record's save time (written in the system locale's short date and long
// time) as ISO 8601; nothing when it does not parse.
std::optional<std::string> isoFromRecordTime(const std::string &text);
// A zip member's DOS date and time (local time, no zone) as ISO 8601 with
// this machine's offset.
std::string isoFromDosTime(uint32_t dosDateTime);

} // namespace cli
