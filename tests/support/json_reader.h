#pragma once

// A strict reader of one JSON text, for tests that check what quarn writes: anything that is not
// JSON (a raw control character in a string, a bad escape, a trailing comma, text behind the
// value) makes parse() return false. Strings come back as bytes: UTF-8 for every code point, and
// for a lone escape "\udc80".."\udcff" the one byte it stands for, so that a name that is not
// valid UTF-8 can be compared with the bytes on disk.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quarn::test {

struct Json {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> fields;
  std::vector<std::string> order;   // the fields' names as they came
  bool has_lone_surrogate = false;  // a string held a "\udcXX" (of any depth below)

  bool has(const std::string& name) const { return kind == Kind::Object && fields.count(name) == 1; }
  const Json& operator[](const std::string& name) const {
    static const Json none;
    auto it = fields.find(name);
    return it == fields.end() ? none : it->second;
  }
  const Json& operator[](std::size_t i) const {
    static const Json none;
    return i < items.size() ? items[i] : none;
  }
  std::int64_t integer() const { return static_cast<std::int64_t>(number); }
};

// Whether `s` is valid UTF-8: no stray or missing continuation bytes, no overlong forms, no
// surrogates, nothing beyond U+10FFFF.
inline bool valid_utf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    unsigned cp = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      n = 1;
      cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      n = 2;
      cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      n = 3;
      cp = b & 0x07u;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const unsigned char c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : s_(text) {}

  // False when the whole text is not exactly one JSON value (white space around it allowed), or
  // is not valid UTF-8.
  bool parse(Json& out) {
    if (!valid_utf8(s_)) return false;
    i_ = 0;
    skip_space();
    if (!value(out, 0)) return false;
    skip_space();
    return i_ == s_.size();
  }

 private:
  void skip_space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool literal(const char* word) {
    std::string w(word);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }
  bool value(Json& out, int depth) {
    if (depth > 64 || i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
      out.kind = Json::Kind::String;
      return string(out.text, out.has_lone_surrogate);
    }
    if (c == 't' || c == 'f') {
      out.kind = Json::Kind::Bool;
      out.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return literal("null");
    return number(out);
  }
  bool number(Json& out) {
    const std::size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    auto digits = [this] {
      std::size_t from = i_;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
      return i_ > from;
    };
    if (i_ < s_.size() && s_[i_] == '0') {
      ++i_;
    } else if (!digits()) {
      return false;
    }
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    out.kind = Json::Kind::Number;
    out.number = std::stod(s_.substr(start, i_ - start));
    return true;
  }
  bool hex4(unsigned& v) {
    if (i_ + 4 > s_.size()) return false;
    v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      v <<= 4;
      if (h >= '0' && h <= '9') {
        v |= static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        v |= static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        v |= static_cast<unsigned>(h - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }
  static void put_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool string(std::string& out, bool& lone) {
    ++i_;  // the opening quote
    out.clear();
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = 0;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF && s_.compare(i_, 2, "\\u") == 0) {
            const std::size_t back = i_;
            i_ += 2;
            unsigned low = 0;
            if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
              put_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
              break;
            }
            i_ = back;
          }
          if (cp >= 0xDC80 && cp <= 0xDCFF) {
            out += static_cast<char>(cp - 0xDC00);
            lone = true;
          } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            return false;  // no byte stands behind any other lone surrogate
          } else {
            put_utf8(out, cp);
          }
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool array(Json& out, int depth) {
    out.kind = Json::Kind::Array;
    ++i_;
    skip_space();
    if (i_ < s_.size() && s_[i_] == ']') {
      ++i_;
      return true;
    }
    for (;;) {
      skip_space();
      Json item;
      if (!value(item, depth + 1)) return false;
      out.has_lone_surrogate = out.has_lone_surrogate || item.has_lone_surrogate;
      out.items.push_back(std::move(item));
      skip_space();
      if (i_ >= s_.size()) return false;
      const char c = s_[i_++];
      if (c == ']') return true;
      if (c != ',') return false;
    }
  }
  bool object(Json& out, int depth) {
    out.kind = Json::Kind::Object;
    ++i_;
    skip_space();
    if (i_ < s_.size() && s_[i_] == '}') {
      ++i_;
      return true;
    }
    for (;;) {
      skip_space();
      std::string name;
      if (i_ >= s_.size() || s_[i_] != '"' || !string(name, out.has_lone_surrogate)) return false;
      skip_space();
      if (i_ >= s_.size() || s_[i_++] != ':') return false;
      skip_space();
      Json item;
      if (!value(item, depth + 1)) return false;
      if (out.fields.count(name) != 0) return false;  // a name twice is no record a reader can trust
      out.has_lone_surrogate = out.has_lone_surrogate || item.has_lone_surrogate;
      out.order.push_back(name);
      out.fields.emplace(name, std::move(item));
      skip_space();
      if (i_ >= s_.size()) return false;
      const char c = s_[i_++];
      if (c == '}') return true;
      if (c != ',') return false;
    }
  }

  const std::string& s_;
  std::size_t i_ = 0;
};

// Reads a JSON Lines text: one value per line. False when a line is no JSON value, or the text
// does not end in a line break.
inline bool read_json_lines(const std::string& text, std::vector<Json>& out) {
  out.clear();
  if (!text.empty() && text.back() != '\n') return false;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    Json value;
    if (!JsonReader(line).parse(value)) return false;
    out.push_back(std::move(value));
    at = end + 1;
  }
  return true;
}

}  // namespace quarn::test
