// Any bytes as a name: the escaped string must parse as JSON and give the bytes back, and a
// writer that stops after any whole unit must never hold half a character or half an escape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../json_test_util.h"
#include "shred_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A name ends at its first NUL, as the C strings the library is given do.
  const std::string name(reinterpret_cast<const char*>(data), size);
  const std::string text(name.c_str());
  std::string escaped;
  std::string units;  // each unit on its own, to check that every prefix of whole units parses
  shred_json_escape(text.c_str(), [&](const char* bytes, size_t length) {
    if (length == 0) std::abort();
    escaped.append(bytes, length);
    units.push_back(static_cast<char>(length));
  });

  json_test::Json doc;
  if (!json_test::parse_object("{\"name\":\"" + escaped + "\"}", &doc) ||
      doc["name"].text != text) {
    std::abort();
  }
  size_t at = 0;
  for (const char length : units) {
    at += static_cast<unsigned char>(length);
    json_test::Json cut;
    if (!json_test::parse_object("{\"name\":\"" + escaped.substr(0, at) + "\"}", &cut) ||
        text.compare(0, cut["name"].text.size(), cut["name"].text) != 0) {
      std::abort();
    }
  }
  return 0;
}
