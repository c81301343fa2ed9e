// A strict JSON reader for the suites that check what the library and the command write: it
// refuses what a hand-written writer gets wrong (raw control characters, unknown escapes,
// duplicate keys, missing separators, trailing text), so a malformed document cannot pass as a
// substring match.
#ifndef KELVARIN_SHRED_TESTS_JSON_TEST_UTIL_H
#define KELVARIN_SHRED_TESTS_JSON_TEST_UTIL_H

#include <cctype>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace json_test {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kObject, kArray } kind = kNull;
  bool boolean = false;
  std::string text;  // a string's value, or a number as written
  std::map<std::string, Json> members;
  std::vector<Json> items;

  bool integral() const {
    return kind == kNumber && text.find_first_of(".eE") == std::string::npos;
  }
  const Json& operator[](const std::string& key) const {
    static const Json absent;
    const auto it = members.find(key);
    return it == members.end() ? absent : it->second;
  }
};

// Refuses what a hand-written printf gets wrong: raw control characters, unknown escapes,
// duplicate keys, missing separators, trailing text, and bytes inside a string that are not
// well-formed UTF-8 (a JSON text is UTF-8). A \uXXXX escape becomes the character's UTF-8
// bytes, a surrogate pair one character; a lone \udc80 to \udcff becomes the byte 0x80 to 0xff
// it stands for (the surrogateescape convention of the library's names), and any other lone
// surrogate is refused.
struct JsonParser {
  const std::string& s;
  size_t i = 0;

  void space() {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) ++i;
  }
  bool eat(char c) {
    space();
    return i < s.size() && s[i] == c && (++i, true);
  }
  bool word(const char* w) {
    space();
    return s.compare(i, std::strlen(w), w) == 0 && (i += std::strlen(w), true);
  }
  bool value(Json& v) {
    if (eat('{')) return object(v);
    if (eat('[')) return array(v);
    if (eat('"')) return v.kind = Json::kString, string(v.text);
    if (word("true")) return v.kind = Json::kBool, v.boolean = true;
    if (word("false")) return v.kind = Json::kBool, true;
    if (word("null")) return true;
    static const std::regex number("-?(0|[1-9][0-9]*)(\\.[0-9]+)?([eE][+-]?[0-9]+)?");
    std::smatch m;
    if (!std::regex_search(s.begin() + static_cast<std::ptrdiff_t>(i), s.end(), m, number,
                           std::regex_constants::match_continuous)) {
      return false;
    }
    v.kind = Json::kNumber;
    v.text = m.str();
    return i += v.text.size(), true;
  }
  bool object(Json& v) {
    v.kind = Json::kObject;
    if (eat('}')) return true;
    do {
      std::string key;
      Json member;
      if (!eat('"') || !string(key) || !eat(':') || !value(member)) return false;
      if (!v.members.emplace(key, std::move(member)).second) return false;
    } while (eat(','));
    return eat('}');
  }
  bool array(Json& v) {
    v.kind = Json::kArray;
    if (eat(']')) return true;
    do {
      Json item;
      if (!value(item)) return false;
      v.items.push_back(std::move(item));
    } while (eat(','));
    return eat(']');
  }
  bool string(std::string& out) {  // from just after the opening quote
    static const char kEscapes[] = "\"\\/bfnrt", kMeanings[] = "\"\\/\b\f\n\r\t";
    while (i < s.size()) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '"') return ++i, true;
      if (c < 0x20) return false;
      if (c >= 0x80) {
        const size_t length = utf8_character(i);
        if (length == 0) return false;
        out.append(s, i, length);
        i += length;
        continue;
      }
      ++i;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      const char* escape = i < s.size() && s[i] != '\0' ? std::strchr(kEscapes, s[i]) : nullptr;
      if (escape != nullptr) {
        out += kMeanings[escape - kEscapes];
        ++i;
        continue;
      }
      long unit = hex_escape();
      if (unit < 0) return false;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        const long low = hex_escape();
        if (low < 0xDC00 || low > 0xDFFF) return false;
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      } else if (unit >= 0xDC80 && unit <= 0xDCFF) {
        out += static_cast<char>(unit - 0xDC00);
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        return false;
      } else {
        append_utf8(out, unit);
      }
    }
    return false;
  }
  // The value of the escape "uXXXX" at i (the backslash already read), or -1.
  long hex_escape() {
    if (i < s.size() && s[i] == '\\' && s.compare(i + 1, 1, "u") == 0) ++i;  // a pair's second
    if (s.compare(i, 1, "u") != 0 || i + 5 > s.size()) return -1;
    for (size_t k = 1; k < 5; ++k) {
      if (!std::isxdigit(static_cast<unsigned char>(s[i + k]))) return -1;
    }
    const long value = std::stol(s.substr(i + 1, 4), nullptr, 16);
    return i += 5, value;
  }
  // The length of the well-formed UTF-8 character at i, or 0: decoded first, then the value
  // checked against the shortest form, the surrogates and U+10FFFF.
  size_t utf8_character(size_t at) const {
    const unsigned char lead = static_cast<unsigned char>(s[at]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead >= 0xF8 || at + length > s.size()) return 0;
    long value = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(s[at + k]);
      if ((next & 0xC0) != 0x80) return 0;
      value = (value << 6) | (next & 0x3F);
    }
    static const long kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kShortest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return 0;
    }
    return length;
  }
  static void append_utf8(std::string& out, long value) {
    if (value < 0x80) {
      out += static_cast<char>(value);
    } else if (value < 0x800) {
      out += static_cast<char>(0xC0 | (value >> 6));
      out += static_cast<char>(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
      out += static_cast<char>(0xE0 | (value >> 12));
      out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (value & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (value >> 18));
      out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (value & 0x3F));
    }
  }
};

// Parses `text` as exactly one object; false when it is anything else.
inline bool parse_object(const std::string& text, Json* object) {
  JsonParser parser{text};
  return parser.eat('{') && parser.object(*object) && (parser.space(), true) &&
         parser.i == text.size();
}

}  // namespace json_test

#endif  // KELVARIN_SHRED_TESTS_JSON_TEST_UTIL_H
