// Known-answer tests from RFC 8439 plus a cross-check of both keystream entry points against the
// scalar block function, over lengths and counters that straddle the 4-, 8- and 16-block SIMD
// steps. Nothing here assumes AVX2 or AVX-512: without them the dispatched path is the portable
// one.
#include "platform/chacha20.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using KeystreamFn = void (*)(const uint8_t*, const uint8_t*, uint32_t, uint8_t*, size_t);

struct Path {
  const char* name;
  KeystreamFn fn;
};
const Path kPaths[] = {{"dispatched", chacha20_keystream},
                       {"portable", chacha20_keystream_portable}};

Bytes hex_bytes(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes keystream_of(KeystreamFn fn, const Bytes& key, const Bytes& nonce, uint32_t counter,
                   size_t len) {
  Bytes out(len);
  fn(key.data(), nonce.data(), counter, out.data(), len);
  return out;
}

const Bytes kSeqKey = hex_bytes("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

TEST(ChaCha20Rfc8439, BlockFunctionVector) {
  const Bytes nonce = hex_bytes("000000090000004a00000000");
  const Bytes expected = hex_bytes(
      "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
      "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e");
  Bytes block(64);
  chacha20_block(kSeqKey.data(), nonce.data(), 1, block.data());
  EXPECT_EQ(block, expected);
  for (const Path& p : kPaths)
    EXPECT_EQ(keystream_of(p.fn, kSeqKey, nonce, 1, 64), expected) << p.name;
}

TEST(ChaCha20Rfc8439, EncryptionVector) {
  const Bytes nonce = hex_bytes("000000000000004a00000000");
  const std::string plaintext =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the "
      "future, sunscreen would be it.";
  const Bytes expected = hex_bytes(
      "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0b"
      "f91b65c5524733ab8f593dabcd62b3571639d624e65152ab8f530c359f0861d8"
      "07ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
      "5af90bbf74a35be6b40b8eedf2785e42874d");
  ASSERT_EQ(plaintext.size(), 114u);
  for (const Path& p : kPaths) {
    Bytes ct = keystream_of(p.fn, kSeqKey, nonce, 1, plaintext.size());
    for (size_t i = 0; i < ct.size(); ++i) ct[i] ^= static_cast<uint8_t>(plaintext[i]);
    EXPECT_EQ(ct, expected) << p.name;
  }
}

TEST(ChaCha20Rfc8439, AppendixA1KeystreamVectors) {
  const std::string zero_key(64, '0');
  const struct {
    std::string key, nonce;
    uint32_t counter;
    const char* block;
  } kVectors[] = {
      {zero_key, "000000000000000000000000", 0,
       "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
       "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
      {zero_key, "000000000000000000000000", 1,
       "9f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
       "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f"},
      {zero_key.substr(0, 62) + "01", "000000000000000000000000", 1,
       "3aeb5224ecf849929b9d828db1ced4dd832025e8018b8160b82284f3c949aa5a"
       "8eca00bbb4a73bdad192b5c42f73f2fd4e273644c8b36125a64addeb006c13a0"},
      {"00ff" + zero_key.substr(4), "000000000000000000000000", 2,
       "72d54dfbf12ec44b362692df94137f328fea8da73990265ec1bbbea1ae9af0ca"
       "13b25aa26cb4a648cb9b9d1be65b2c0924a66c54d545ec1b7374f4872e99f096"},
      {zero_key, "000000000000000000000002", 0,
       "c2c64d378cd536374ae204b9ef933fcd1a8b2288b3dfa49672ab765b54ee27c7"
       "8a970e0e955c14f3a88e741b97c286f75f8fc299e8148362fa198a39531bed6d"},
  };
  for (const auto& v : kVectors) {
    const Bytes key = hex_bytes(v.key), nonce = hex_bytes(v.nonce), expected = hex_bytes(v.block);
    Bytes block(64);
    chacha20_block(key.data(), nonce.data(), v.counter, block.data());
    EXPECT_EQ(block, expected) << v.block;
    for (const Path& p : kPaths) {
      EXPECT_EQ(keystream_of(p.fn, key, nonce, v.counter, 64), expected)
          << p.name << " " << v.block;
    }
  }
}

// Every SIMD step boundary, partial tails, and start counters that wrap past 2^32 mid-step: the
// last one inside the 8-block step that follows a 16-block one.
TEST(ChaCha20Keystream, MatchesConcatenatedBlocks) {
  const Bytes nonce = hex_bytes("0a1b2c3d4e5f60718293a4b5");
  const size_t kLengths[] = {0,   1,   63,   64,   65,   255,  256,       257,      511,  512,
                             513, 839, 1023, 1024, 1025, 2047, 3072 + 17, 4096 + 7, 65536};
  const uint32_t kCounters[] = {7, 0xFFFFFFFDu, 0xFFFFFFEEu};
  const size_t kGuard = 16;  // Catches writes past len; the +1 offset catches aligned stores.
  for (uint32_t counter : kCounters) {
    for (size_t len : kLengths) {
      Bytes expected(len + 64);
      for (size_t off = 0; off < len; off += 64) {
        chacha20_block(kSeqKey.data(), nonce.data(), static_cast<uint32_t>(counter + off / 64),
                       expected.data() + off);
      }
      expected.resize(len);
      for (const Path& p : kPaths) {
        Bytes buf(1 + len + kGuard, 0xA5);
        p.fn(kSeqKey.data(), nonce.data(), counter, buf.data() + 1, len);
        EXPECT_EQ(Bytes(buf.begin() + 1, buf.begin() + 1 + len), expected)
            << p.name << " len=" << len << " counter=" << counter;
        EXPECT_EQ(buf[0], 0xA5) << p.name << " len=" << len;
        EXPECT_EQ(Bytes(buf.end() - kGuard, buf.end()), Bytes(kGuard, 0xA5))
            << p.name << " len=" << len;
      }
    }
  }
}

TEST(ChaCha20Wipe, ZeroesExactlyTheRange) {
  uint8_t buf[40];
  std::memset(buf, 0xFF, sizeof buf);
  chacha20_wipe(buf + 4, 32);
  for (size_t i = 0; i < sizeof buf; ++i) {
    EXPECT_EQ(buf[i], (i >= 4 && i < 36) ? 0x00 : 0xFF) << i;
  }
  chacha20_wipe(nullptr, 0);
}

}  // namespace
