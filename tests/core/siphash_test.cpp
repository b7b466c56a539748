// Tests of SipHash-2-4 and SipHash-1-3 against published vectors, name hashing and registry keys.
#include "support/siphash.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vellora {
namespace {

// The published vectors' key: bytes 00..0f read as two little-endian words.
constexpr SipKey kReferenceKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

// Outputs for message bytes 00..(i-1), i = 0..63, from the reference implementation's vectors.h
// (also in Rust's core hash tests), as little-endian words.
constexpr std::uint64_t kSipHash24[64] = {
    0x726fdb47dd0e0e31ULL, 0x74f839c593dc67fdULL, 0x0d6c8009d9a94f5aULL, 0x85676696d7fb7e2dULL,
    0xcf2794e0277187b7ULL, 0x18765564cd99a68dULL, 0xcbc9466e58fee3ceULL, 0xab0200f58b01d137ULL,
    0x93f5f5799a932462ULL, 0x9e0082df0ba9e4b0ULL, 0x7a5dbbc594ddb9f3ULL, 0xf4b32f46226bada7ULL,
    0x751e8fbc860ee5fbULL, 0x14ea5627c0843d90ULL, 0xf723ca908e7af2eeULL, 0xa129ca6149be45e5ULL,
    0x3f2acc7f57c29bdbULL, 0x699ae9f52cbe4794ULL, 0x4bc1b3f0968dd39cULL, 0xbb6dc91da77961bdULL,
    0xbed65cf21aa2ee98ULL, 0xd0f2cbb02e3b67c7ULL, 0x93536795e3a33e88ULL, 0xa80c038ccd5ccec8ULL,
    0xb8ad50c6f649af94ULL, 0xbce192de8a85b8eaULL, 0x17d835b85bbb15f3ULL, 0x2f2e6163076bcfadULL,
    0xde4daaaca71dc9a5ULL, 0xa6a2506687956571ULL, 0xad87a3535c49ef28ULL, 0x32d892fad841c342ULL,
    0x7127512f72f27cceULL, 0xa7f32346f95978e3ULL, 0x12e0b01abb051238ULL, 0x15e034d40fa197aeULL,
    0x314dffbe0815a3b4ULL, 0x027990f029623981ULL, 0xcadcd4e59ef40c4dULL, 0x9abfd8766a33735cULL,
    0x0e3ea96b5304a7d0ULL, 0xad0c42d6fc585992ULL, 0x187306c89bc215a9ULL, 0xd4a60abcf3792b95ULL,
    0xf935451de4f21df2ULL, 0xa9538f0419755787ULL, 0xdb9acddff56ca510ULL, 0xd06c98cd5c0975ebULL,
    0xe612a3cb9ecba951ULL, 0xc766e62cfcadaf96ULL, 0xee64435a9752fe72ULL, 0xa192d576b245165aULL,
    0x0a8787bf8ecb74b2ULL, 0x81b3e73d20b49b6fULL, 0x7fa8220ba3b2eceaULL, 0x245731c13ca42499ULL,
    0xb78dbfaf3a8d83bdULL, 0xea1ad565322a1a0bULL, 0x60e61c23a3795013ULL, 0x6606d7e446282b93ULL,
    0x6ca4ecb15c5f91e1ULL, 0x9f626da15c9625f3ULL, 0xe51b38608ef25f57ULL, 0x958a324ceb064572ULL,
};

// The same scheme for SipHash-1-3, from Rust's core hash tests.
constexpr std::uint64_t kSipHash13[64] = {
    0xabac0158050fc4dcULL, 0xc9f49bf37d57ca93ULL, 0x82cb9b024dc7d44dULL, 0x8bf80ab8e7ddf7fbULL,
    0xcf75576088d38328ULL, 0xdef9d52f49533b67ULL, 0xc50d2b50c59f22a7ULL, 0xd3927d989bb11140ULL,
    0x369095118d299a8eULL, 0x25a48eb36c063de4ULL, 0x79de85ee92ff097fULL, 0x70c118c1f94dc352ULL,
    0x78a384b157b4d9a2ULL, 0x306f760c1229ffa7ULL, 0x605aa111c0f95d34ULL, 0xd320d86d2a519956ULL,
    0xcc4fdd1a7d908b66ULL, 0x9cf2689063dbd80cULL, 0x8ffc389cb473e63eULL, 0xf21f9de58d297d1cULL,
    0xc0dc2f46a6cce040ULL, 0xb992abfe2b45f844ULL, 0x7ffe7b9ba320872eULL, 0x525a0e7fdae6c123ULL,
    0xf464aeb267349c8cULL, 0x45cd5928705b0979ULL, 0x3a3e35e3ca9913a5ULL, 0xa91dc74e4ade3b35ULL,
    0xfb0bed02ef6cd00dULL, 0x88d93cb44ab1e1f4ULL, 0x540f11d643c5e663ULL, 0x2370dd1f8c21d1bcULL,
    0x81157b6c16a7b60dULL, 0x4d54b9e57a8ff9bfULL, 0x759f12781f2a753eULL, 0xcea1a3bebf186b91ULL,
    0x2cf508d3ada26206ULL, 0xb6101c2da3c33057ULL, 0xb3f47496ae3a36a1ULL, 0x626b57547b108392ULL,
    0xc1d2363299e41531ULL, 0x667cc1923f1ad944ULL, 0x65704ffec8138825ULL, 0x24f280d1c28949a6ULL,
    0xc2ca1cedfaf8876bULL, 0xc2164bfc9f042196ULL, 0xa16e9c9368b1d623ULL, 0x49fb169c8b5114fdULL,
    0x9f3143f8df074c46ULL, 0xc6fdaf2412cc86b3ULL, 0x7eaf49d10a52098fULL, 0x1cf313559d292f9aULL,
    0xc44a30dda2f41f12ULL, 0x36fae98943a71ed0ULL, 0x318fb34c73f0bce6ULL, 0xa27abf3670a7e980ULL,
    0xb4bcc0db243c6d75ULL, 0x23f8d852fdb71513ULL, 0x8f035f4da67d8a08ULL, 0xd89cd0e5b7e8f148ULL,
    0xf6f4e6bcf7a644eeULL, 0xaec59ad80f1837f2ULL, 0xc3b2f6154b6694e0ULL, 0x9d199062b7bbb3a8ULL,
};

// SipHash-c-d of a byte string, written from the paper as plainly as possible: the reference that
// the published vectors check, and then the oracle for hash_name.
template <int CompressionRounds, int FinalizationRounds>
std::uint64_t sip_hash(SipKey key, const unsigned char* data, std::size_t size) {
  std::uint64_t v[4] = {key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
                        key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const auto rounds = [&v](int count) {
    for (int i = 0; i < count; ++i) {
      v[0] += v[1], v[1] = std::rotl(v[1], 13), v[1] ^= v[0], v[0] = std::rotl(v[0], 32);
      v[2] += v[3], v[3] = std::rotl(v[3], 16), v[3] ^= v[2];
      v[0] += v[3], v[3] = std::rotl(v[3], 21), v[3] ^= v[0];
      v[2] += v[1], v[1] = std::rotl(v[1], 17), v[1] ^= v[2], v[2] = std::rotl(v[2], 32);
    }
  };
  const auto compress = [&](std::uint64_t word) {
    v[3] ^= word;
    rounds(CompressionRounds);
    v[0] ^= word;
  };
  // Whole words of eight bytes, little-endian, then one of the bytes left with the length's low byte on top.
  const std::size_t whole = size / 8 * 8;
  for (std::size_t start = 0; start < whole; start += 8) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) word |= std::uint64_t{data[start + i]} << (8 * i);
    compress(word);
  }
  std::uint64_t last = std::uint64_t{size & 0xff} << 56;
  for (std::size_t i = whole; i < size; ++i) last |= std::uint64_t{data[i]} << (8 * (i - whole));
  compress(last);
  v[2] ^= 0xff;
  rounds(FinalizationRounds);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::vector<unsigned char> counting_bytes(std::size_t length) {
  std::vector<unsigned char> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(i);
  return bytes;
}

class SipHashVectors : public ::testing::TestWithParam<int> {};

TEST_P(SipHashVectors, SipHash24MatchesReference) {
  const auto length = static_cast<std::size_t>(GetParam());
  const std::vector<unsigned char> message = counting_bytes(length);
  EXPECT_EQ((sip_hash<2, 4>(kReferenceKey, message.data(), length)), kSipHash24[length]);
}

TEST_P(SipHashVectors, SipHash13MatchesReference) {
  const auto length = static_cast<std::size_t>(GetParam());
  const std::vector<unsigned char> message = counting_bytes(length);
  EXPECT_EQ((sip_hash<1, 3>(kReferenceKey, message.data(), length)), kSipHash13[length]);
}

// hash_name reads whole words from arbitrary addresses: an odd offset must not change the result.
TEST_P(SipHashVectors, HashNameOfUnalignedInputIsTheSame) {
  const auto length = static_cast<std::size_t>(GetParam());
  std::vector<unsigned char> shifted{0xAA};
  const std::vector<unsigned char> message = counting_bytes(length);
  shifted.insert(shifted.end(), message.begin(), message.end());
  const std::string_view aligned(reinterpret_cast<const char*>(message.data()), length);
  const std::string_view unaligned(reinterpret_cast<const char*>(shifted.data() + 1), length);
  EXPECT_EQ(hash_name(kReferenceKey, unaligned), hash_name(kReferenceKey, aligned));
}

INSTANTIATE_TEST_SUITE_P(MessageLengths, SipHashVectors, ::testing::Range(0, 64));

TEST(SipHash, EmptyInputWithNullPointer) {
  EXPECT_EQ((sip_hash<2, 4>(kReferenceKey, nullptr, 0)), kSipHash24[0]);
  EXPECT_EQ((sip_hash<1, 3>(kReferenceKey, nullptr, 0)), kSipHash13[0]);
  const unsigned char terminator = 0xFF;
  EXPECT_EQ(hash_name(kReferenceKey, std::string_view()), (sip_hash<1, 3>(kReferenceKey, &terminator, 1)));
}

// hash_name must be SipHash-1-3 over the name's bytes and one trailing 0xFF byte.
std::uint64_t name_hash_oracle(SipKey key, std::string_view name) {
  std::vector<unsigned char> bytes(name.begin(), name.end());
  bytes.push_back(0xFF);
  return sip_hash<1, 3>(key, bytes.data(), bytes.size());
}

struct NameHashCase {
  SipKey key;
  const char* label;
};

void PrintTo(const NameHashCase& c, std::ostream* os) { *os << c.label; }

class HashNameTest : public ::testing::TestWithParam<NameHashCase> {};

// Lengths 0..40 reach every tail length, including 7 and 15 where the 0xFF byte completes a word.
TEST_P(HashNameTest, EqualsSipHash13WithTrailingFF) {
  const SipKey key = GetParam().key;
  for (std::size_t length = 0; length <= 40; ++length) {
    std::string name(length, '\0');
    // Bytes range over 0x00..0xFF, not only printable text.
    for (std::size_t i = 0; i < length; ++i) name[i] = static_cast<char>((i * 73 + 0xF9) & 0xFF);
    SCOPED_TRACE(length);
    EXPECT_EQ(hash_name(key, name), name_hash_oracle(key, name));
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, HashNameTest,
                         ::testing::Values(NameHashCase{kReferenceKey, "reference"},
                                           NameHashCase{SipKey{0, 0}, "zero"},
                                           NameHashCase{SipKey{0xFFFFFFFFFFFFFFFFULL, 0x8000000000000001ULL}, "high"}));

// hash_padded_names hashes four names per set of vector lanes where it can: every lane must give
// hash_name's value whatever the lengths beside it. Batches of 1..9 names of random lengths (0..23,
// all a padded name holds) mix the word counts within one set of lanes and leave remainders of every size.
TEST_P(HashNameTest, BatchEqualsOneByOne) {
  const SipKey key = GetParam().key;
  std::mt19937_64 random(0x5eed ^ key.k0);
  for (int batch = 0; batch < 400; ++batch) {
    std::vector<std::string> texts(1 + random() % 9);
    for (std::string& text : texts) {
      text.resize(random() % (PaddedName::kCapacity + 1));
      for (char& byte : text) byte = static_cast<char>(random());
    }
    const std::vector<PaddedName> names(texts.begin(), texts.end());
    std::vector<std::uint64_t> hashes(names.size());
    hash_padded_names(key, names, hashes.data());
    for (std::size_t i = 0; i < names.size(); ++i) {
      SCOPED_TRACE(testing::Message() << "batch " << batch << ", name " << i << ", length " << texts[i].size());
      EXPECT_EQ(names[i].view(), texts[i]);
      EXPECT_EQ(hashes[i], hash_name(key, texts[i]));
    }
  }
}

// The terminator separates names whose concatenations would otherwise collide.
TEST(HashName, TerminatorDistinguishesNameFromItsBytes) {
  const std::string_view name = "phi";
  EXPECT_NE(hash_name(kReferenceKey, name),
            (sip_hash<1, 3>(kReferenceKey, reinterpret_cast<const unsigned char*>(name.data()), name.size())));
  EXPECT_NE(hash_name(kReferenceKey, "phi"), hash_name(kReferenceKey, std::string_view("phi\0", 4)));
}

TEST(NextRegistryKey, ConsecutiveKeysStepFirstWordByOne) {
  const SipKey first = next_registry_key();
  const SipKey second = next_registry_key();
  const SipKey third = next_registry_key();
  EXPECT_EQ(second.k0, first.k0 + 1);  // unsigned: wraps modulo 2^64
  EXPECT_EQ(third.k0, first.k0 + 2);
  EXPECT_EQ(second.k1, first.k1);
  EXPECT_EQ(third.k1, first.k1);
}

TEST(NextRegistryKey, EachThreadHasItsOwnSequence) {
  const SipKey before = next_registry_key();
  SipKey other_first{}, other_second{};
  std::thread other([&] {
    other_first = next_registry_key();
    other_second = next_registry_key();
  });
  other.join();
  const SipKey after = next_registry_key();

  // Another thread's draws neither advance this thread's counter nor share its random words.
  EXPECT_EQ(after.k0, before.k0 + 1);
  EXPECT_EQ(after.k1, before.k1);
  EXPECT_EQ(other_second.k0, other_first.k0 + 1);
  EXPECT_NE(other_first.k1, before.k1);
  EXPECT_TRUE(other_first.k0 != before.k0 || other_first.k1 != before.k1);
}

TEST(NextRegistryKey, ConcurrentThreadsDrawDistinctKeys) {
  constexpr int kThreads = 4;
  SipKey keys[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&keys, t] { keys[t] = next_registry_key(); });
  for (std::thread& thread : threads) thread.join();
  for (int a = 0; a < kThreads; ++a)
    for (int b = a + 1; b < kThreads; ++b) EXPECT_NE(keys[a].k1, keys[b].k1) << a << " vs " << b;
}

}  // namespace
}  // namespace vellora
