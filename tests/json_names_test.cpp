// The library's JSON documents under names chosen to break them: bytes that are not UTF-8,
// quotes, backslashes, control characters and characters of every UTF-8 length. Each document
// must parse as strict JSON and give the name's bytes back, and one cut to fit a small buffer
// must be the longest start of the whole document that ends between two whole characters or
// escapes, with nothing stored past its terminator. Where /usr/bin/python3 exists, Python's own
// reader checks the same documents, as the header's recipe for getting the bytes back says.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "json_test_util.h"
#include "kelvarin_shred.h"
#include "test_util.h"

namespace {

using json_test::Json;
using test_util::TempDir;

// Names a Linux directory can hold, each breaking a naive writer in its own way.
const std::vector<std::string> kHostileNames = {
    "stray\x80 continuation",     // a continuation byte with no lead
    "lead\xc3",                   // a lead byte at the end of the name
    "cut\xe2\x82short",           // a three-byte character missing its last byte
    "overlong\xc0\xaf",           // '/' spelled in two bytes
    "surrogate\xed\xa0\x80",      // U+D800 encoded as if it were a character
    "past\xf4\x90\x80\x80max",    // above U+10FFFF
    "latin1 caf\xe9",             // a name from a Latin-1 system
    "\xff\xfe",                   // nothing but invalid bytes
    "quote\"back\\slash",         // JSON's own delimiters
    "ctl\x01\x1f\t\n\r\b\f\x7f",  // control characters, short and long escapes, DEL
    "lock \xf0\x9f\x94\x92 caf\xc3\xa9 \xe6\x97\xa5",  // four-, two- and three-byte characters
    "\",\"in_place\":\"yes\",\"x\":\"",                // a name that tries to add members
};

std::string AssessExactly(const std::string& path) {
  const int32_t length = shred_assess(path.c_str(), nullptr, 0);
  EXPECT_GT(length, 0) << shred_last_error();
  if (length <= 0) return "";
  std::string text(static_cast<size_t>(length) + 1, '\x80');
  EXPECT_EQ(length, shred_assess(path.c_str(), &text[0], length + 1));
  EXPECT_EQ('\0', text.back());
  text.pop_back();
  return text;
}

// What Python's json.loads makes of `document`'s "path", encoded back with surrogateescape;
// "(python3 refused the document)" when it does not parse. Empty when there is no python3.
std::string PathThroughPython(const std::string& document) {
  if (access("/usr/bin/python3", X_OK) != 0) return "";
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) return "";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    execl("/usr/bin/python3", "python3", "-c",
          "import json, sys\n"
          "d = json.loads(sys.stdin.buffer.read())\n"
          "sys.stdout.buffer.write(d['path'].encode('utf-8', 'surrogateescape'))\n",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  EXPECT_EQ(static_cast<ssize_t>(document.size()), write(in[1], document.data(), document.size()));
  close(in[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
    result.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? result : "(python3 refused the document)";
}

TEST(JsonNames, HostileNamesParseBackToTheirBytes) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  for (const std::string& name : kHostileNames) {
    SCOPED_TRACE(testing::PrintToString(name));
    const std::string path = dir / name;
    test_util::write_file(path, "the contents of a file with an awkward name\n");
    const std::string document = AssessExactly(path);
    Json doc;
    ASSERT_TRUE(json_test::parse_object(document, &doc)) << "not strict JSON: " << document;
    EXPECT_EQ(path, doc["path"].text) << document;
    EXPECT_EQ(Json::kArray, doc["reasons"].kind) << document;
    EXPECT_EQ(5u, doc.members.size()) << "a name added or replaced members: " << document;
    const std::string from_python = PathThroughPython(document);
    if (!from_python.empty()) {
      EXPECT_EQ(path, from_python) << document;
    }

    // The statistics of the shred carry numbers only, whatever the name.
    ASSERT_EQ(0, shred_file(path.c_str(), SHRED_METHOD_QUICK)) << shred_last_error();
    Json stats;
    EXPECT_TRUE(json_test::parse_object(shred_stats_json(), &stats)) << shred_stats_json();
    EXPECT_EQ("1", stats["files_shredded"].text);
  }
}

// Where a document may be cut: after a whole character or a whole escape, never inside one.
std::vector<bool> UnitEnds(const std::string& document) {
  std::vector<bool> ends(document.size() + 1, false);
  ends[0] = true;
  for (size_t at = 0; at < document.size();) {
    const unsigned char c = static_cast<unsigned char>(document[at]);
    size_t length = 1;
    if (c == '\\') {
      length = document[at + 1] == 'u' ? 6 : 2;
    } else if (c >= 0xF0) {
      length = 4;
    } else if (c >= 0xE0) {
      length = 3;
    } else if (c >= 0xC0) {
      length = 2;
    }
    at += length;
    if (at <= document.size()) ends[at] = true;
  }
  return ends;
}

TEST(JsonNames, ACutDocumentEndsBetweenWholeCharactersAndEscapes) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  // Every kind of unit, each next to the others, so that each buffer size ends in a different
  // place inside or after one.
  for (const std::string& name :
       {std::string("\"\\\x01\n\xc3\xa9\xe6\x97\xa5\xf0\x9f\x94\x92\"\x1f\\"),
        std::string("x\xff\xc3\xf0\x9f\x94\x92\x80\t")}) {
    SCOPED_TRACE(testing::PrintToString(name));
    const std::string path = dir / name;
    test_util::write_file(path, "cut me\n");
    const std::string full = AssessExactly(path);
    Json doc;
    ASSERT_TRUE(json_test::parse_object(full, &doc)) << full;
    const std::vector<bool> ends = UnitEnds(full);
    const int32_t length = static_cast<int32_t>(full.size());
    for (int32_t size = 1; size <= length + 1; ++size) {
      // 0x80 is a continuation byte: a cut that looked at a byte it never stored would take it
      // for part of a character.
      constexpr size_t kGuard = 8;
      std::string buffer(static_cast<size_t>(size) + kGuard, '\x80');
      ASSERT_EQ(length, shred_assess(path.c_str(), &buffer[0], size)) << "size " << size;
      size_t expected = static_cast<size_t>(size) - 1;
      while (!ends[expected]) --expected;
      const size_t stored = buffer.find('\0');
      ASSERT_EQ(expected, stored) << "size " << size << ": " << buffer.substr(0, stored);
      EXPECT_EQ(full.substr(0, stored), buffer.substr(0, stored)) << "size " << size;
      EXPECT_EQ(std::string(buffer.size() - stored - 1, '\x80'), buffer.substr(stored + 1))
          << "size " << size << ": bytes were stored after the terminator";
    }
    std::string untouched(4, '\x80');
    EXPECT_EQ(length, shred_assess(path.c_str(), &untouched[0], 0));
    EXPECT_EQ(std::string(4, '\x80'), untouched);
  }
}

}  // namespace
