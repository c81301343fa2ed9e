// How a text goes into a JSON string, for every document the library writes and for the
// command's --json lines alike. Names are bytes, not always UTF-8, and a document must stay
// valid JSON whatever they hold. Header-only and free of the library's state, so that the
// command, which links only the public interface, writes its strings the same way.
#ifndef KELVARIN_SHRED_SHRED_JSON_H
#define KELVARIN_SHRED_SHRED_JSON_H

#include <cstddef>

// The length (1 to 4) of the well-formed UTF-8 character that starts at `p`, or 0 when the byte
// at `p` starts none: a stray continuation byte, an overlong form, a UTF-16 surrogate, a value
// past U+10FFFF or a sequence cut short. `p` points into a NUL-terminated text; a NUL is never
// part of a character here, so nothing past the terminator is read.
inline size_t shred_utf8_length(const unsigned char* p) noexcept {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte (Unicode table 3-7)
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // U+D800 to U+DFFF are surrogates, not characters
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return length;
}

// Hands the NUL-terminated `text` to `unit(const char* bytes, size_t length)` as the contents of
// a JSON string (without its quotes), one whole unit per call: a well-formed UTF-8 character as
// it is; '"', '\\' and control characters as their escapes; and each byte that belongs to no
// well-formed character as \udcXX, XX being the byte. That last form is the surrogateescape
// convention of Python's os.fsdecode: a reader that maps U+DC80..U+DCFF back to the bytes 0x80
// to 0xFF (os.fsencode does) recovers the name exactly. A writer that stops between two units
// never cuts a character or an escape.
template <typename Unit>
void shred_json_escape(const char* text, Unit&& unit) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0';) {
    const unsigned char c = *p;
    char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
    if (c == '"' || c == '\\') {
      escaped[1] = static_cast<char>(c);
      unit(escaped, 2);
    } else if (c < 0x20) {
      static constexpr char kShort[] = "\b\f\n\r\t", kLetters[] = "bfnrt";
      const char* found = nullptr;
      for (const char* s = kShort; *s != '\0'; ++s) {
        if (*s == static_cast<char>(c)) found = s;
      }
      if (found != nullptr) escaped[1] = kLetters[found - kShort];
      unit(escaped, found != nullptr ? 2 : 6);
    } else {
      const size_t length = shred_utf8_length(p);
      if (length > 0) {
        unit(reinterpret_cast<const char*>(p), length);
        p += length;
        continue;
      }
      escaped[2] = 'd';
      escaped[3] = 'c';
      unit(escaped, 6);
    }
    ++p;
  }
}

#endif  // KELVARIN_SHRED_SHRED_JSON_H
