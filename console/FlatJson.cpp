#include "console/FlatJson.h"

#include <charconv>
#include <cstdio>

namespace veltor {

namespace {

unsigned char Byte(std::string_view text, size_t at) { return static_cast<unsigned char>(text[at]); }

// The length of the valid UTF-8 sequence at `at`, or 0: no overlong forms,
// no surrogates, nothing past U+10FFFF.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const unsigned char lead = Byte(text, at);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  const unsigned char second = Byte(text, at + 1);
  if (second < low || second > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((Byte(text, at + i) & 0xC0) != 0x80) return 0;
  }
  return length;
}

void AppendEscapedByte(std::string& out, unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
  out += escaped;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
  auto put = [&out](uint32_t bits) { out += static_cast<char>(static_cast<unsigned char>(bits)); };
  if (codePoint < 0x80) {
    put(codePoint);
  } else if (codePoint < 0x800) {
    put(0xC0 | codePoint >> 6);
    put(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    put(0xE0 | codePoint >> 12);
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  } else {
    put(0xF0 | codePoint >> 18);
    put(0x80 | (codePoint >> 12 & 0x3F));
    put(0x80 | (codePoint >> 6 & 0x3F));
    put(0x80 | (codePoint & 0x3F));
  }
}

// A reader over one line; each step leaves `at` after what it read.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  void SkipSpace() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n')) {
      ++at_;
    }
  }
  bool Take(char wanted) {
    SkipSpace();
    if (at_ >= text_.size() || text_[at_] != wanted) return false;
    ++at_;
    return true;
  }
  bool AtEnd() {
    SkipSpace();
    return at_ == text_.size();
  }
  bool Peek(char wanted) {
    SkipSpace();
    return at_ < text_.size() && text_[at_] == wanted;
  }

  bool String(std::string& out) {
    if (!Take('"')) return false;
    out.clear();
    while (at_ < text_.size()) {
      const unsigned char c = Byte(text_, at_++);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (at_ >= text_.size() || !Escape(text_[at_++], out)) return false;
    }
    return false;
  }

  // A number (an integer: the writer makes no others) or a flag, as its text.
  bool Literal(JsonValue& value) {
    SkipSpace();
    for (const char* flag : {"true", "false"}) {
      if (text_.substr(at_).starts_with(flag)) {
        value = {JsonValue::Kind::Flag, flag};
        at_ += value.text.size();
        return true;
      }
    }
    const size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    const size_t digits = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    if (at_ == digits || (text_[digits] == '0' && at_ - digits > 1)) return false;
    value = {JsonValue::Kind::Number, std::string(text_.substr(start, at_ - start))};
    return true;
  }

 private:
  bool Escape(char kind, std::string& out) {
    switch (kind) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    uint32_t unit = 0;
    if (!Hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = 0;
      if (!text_.substr(at_).starts_with("\\u")) return false;
      at_ += 2;
      if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(out, unit);
    return true;
  }

  bool Hex4(uint32_t& value) {
    if (at_ + 4 > text_.size()) return false;
    const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, value, 16);
    if (error != std::errc() || end != text_.data() + at_ + 4) return false;
    at_ += 4;
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
};

const JsonValue* Find(const JsonObject& object, std::string_view key, JsonValue::Kind kind) {
  const auto found = object.find(key);
  return found != object.end() && found->second.kind == kind ? &found->second : nullptr;
}

template <class Integer>
bool ReadInteger(const JsonObject& object, std::string_view key, Integer& value) {
  const JsonValue* found = Find(object, key, JsonValue::Kind::Number);
  if (found == nullptr) return false;
  const char* end = found->text.data() + found->text.size();
  const auto [stop, error] = std::from_chars(found->text.data(), end, value);
  return error == std::errc() && stop == end;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = Byte(text, at);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, at);
      if (length == 0) {
        AppendEscapedByte(out, c);
        ++at;
      } else {
        out.append(text.substr(at, length));
        at += length;
      }
      continue;
    }
    ++at;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        // DEL is valid JSON, but escaped it cannot reach a terminal raw.
        if (c < 0x20 || c == 0x7F) {
          AppendEscapedByte(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void JsonLineWriter::Key(std::string_view key) {
  body_ += body_.empty() ? "{" : ",";
  AppendJsonString(body_, key);
  body_ += ':';
}

JsonLineWriter& JsonLineWriter::Text(std::string_view key, std::string_view value) {
  Key(key);
  AppendJsonString(body_, value);
  return *this;
}

JsonLineWriter& JsonLineWriter::Number(std::string_view key, int64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLineWriter& JsonLineWriter::Count(std::string_view key, uint64_t value) {
  Key(key);
  body_ += std::to_string(value);
  return *this;
}

JsonLineWriter& JsonLineWriter::Flag(std::string_view key, bool value) {
  Key(key);
  body_ += value ? "true" : "false";
  return *this;
}

std::string JsonLineWriter::Line() const { return (body_.empty() ? "{" : body_) + "}\n"; }

bool ParseJsonObject(std::string_view line, JsonObject& object) {
  object.clear();
  Reader reader(line);
  if (!reader.Take('{')) return false;
  if (reader.Take('}')) return reader.AtEnd();
  do {
    std::string key;
    JsonValue value;
    if (!reader.String(key) || !reader.Take(':')) return false;
    if (reader.Peek('"')) {
      value.kind = JsonValue::Kind::String;
      if (!reader.String(value.text)) return false;
    } else if (!reader.Literal(value)) {
      return false;
    }
    object[key] = std::move(value);
  } while (reader.Take(','));
  return reader.Take('}') && reader.AtEnd();
}

bool JsonText(const JsonObject& object, std::string_view key, std::string& value) {
  const JsonValue* found = Find(object, key, JsonValue::Kind::String);
  if (found != nullptr) value = found->text;
  return found != nullptr;
}

bool JsonNumber(const JsonObject& object, std::string_view key, int64_t& value) {
  return ReadInteger(object, key, value);
}

bool JsonCount(const JsonObject& object, std::string_view key, uint64_t& value) {
  return ReadInteger(object, key, value);
}

bool JsonFlag(const JsonObject& object, std::string_view key, bool& value) {
  const JsonValue* found = Find(object, key, JsonValue::Kind::Flag);
  if (found != nullptr) value = found->text == "true";
  return found != nullptr;
}

}  // namespace veltor
