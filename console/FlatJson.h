// Flat JSON objects, one to a line: what the control socket's status answer
// is made of, and what veltor-ctl reads back. Values are strings, integers
// and true/false only, never nested; both sides keep to the same rules.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace veltor {

// Appends `text` as a JSON string with its quotes: quote, backslash and
// control characters escaped, valid UTF-8 kept as it is, and every byte of an
// invalid sequence written as \u00XX (its Latin-1 reading).
void AppendJsonString(std::string& out, std::string_view text);

// Builds one object, keys in the order added; Line() closes it with "}\n".
class JsonLineWriter {
 public:
  JsonLineWriter& Text(std::string_view key, std::string_view value);
  JsonLineWriter& Number(std::string_view key, int64_t value);
  JsonLineWriter& Count(std::string_view key, uint64_t value);
  JsonLineWriter& Flag(std::string_view key, bool value);
  std::string Line() const;

 private:
  void Key(std::string_view key);
  std::string body_;
};

// One value as read: a string's decoded text, or a number's or a flag's
// literal text ("-12", "true").
struct JsonValue {
  enum class Kind { String, Number, Flag };
  Kind kind = Kind::String;
  std::string text;
};
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

// Reads one flat object (white space around it and its tokens allowed);
// false for anything else, `object` then in an unknown state.
bool ParseJsonObject(std::string_view line, JsonObject& object);

// Typed look-ups; false when the key is missing or holds another kind.
bool JsonText(const JsonObject& object, std::string_view key, std::string& value);
bool JsonNumber(const JsonObject& object, std::string_view key, int64_t& value);
bool JsonCount(const JsonObject& object, std::string_view key, uint64_t& value);
bool JsonFlag(const JsonObject& object, std::string_view key, bool& value);

}  // namespace veltor
