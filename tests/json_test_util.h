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
// duplicate keys, missing separators, trailing text. Of the \u escapes it takes \u00XX only,
// the one form the command writes.
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
      const char c = s[i++];
      const char* escape = i < s.size() && s[i] != '\0' ? std::strchr(kEscapes, s[i]) : nullptr;
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
      } else if (escape != nullptr) {
        out += kMeanings[escape - kEscapes];
        ++i;
      } else if (s.compare(i, 3, "u00") == 0 && i + 5 <= s.size() &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 3])) &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 4]))) {
        out += static_cast<char>(std::stoi(s.substr(i + 3, 2), nullptr, 16));
        i += 5;
      } else {
        return false;
      }
    }
    return false;
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
