// SHA-256 and SHA-512 over one context record: the digest that login tokens
// are made of, exported for the other tools that carry the same routines.
#include <cstring>

#include "admin.h"

namespace {

constexpr uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
constexpr uint64_t kSha512Init[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                     0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                     0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

constexpr uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint64_t kSha512K[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL, 0x3956c25bf348b538ULL,
    0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL, 0xd807aa98a3030242ULL, 0x12835b0145706fbeULL,
    0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL, 0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL,
    0xc19bf174cf692694ULL, 0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL, 0x983e5152ee66dfabULL,
    0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL, 0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL,
    0x06ca6351e003826fULL, 0x142929670a0e6e70ULL, 0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL,
    0x53380d139d95b3dfULL, 0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL, 0xd192e819d6ef5218ULL,
    0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL, 0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL,
    0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL, 0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL,
    0x682e6ff3d6b2b8a3ULL, 0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL, 0xca273eceea26619cULL,
    0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL, 0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL,
    0x113f9804bef90daeULL, 0x1b710b35131c471bULL, 0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL,
    0x431d67c49c100d4cULL, 0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL};

// What SHA-256 and SHA-512 differ in: word size, rounds, constants and the
// rotation amounts of the four sigma functions ({a, b, c}: rotations a and b,
// then a rotation by c for the big sigmas or a shift by c for the small ones).
template <class Word>
struct Sha2Words;

template <>
struct Sha2Words<uint32_t> {
  static constexpr int kRounds = 64;
  static constexpr const uint32_t* kConstants = kSha256K;
  static constexpr int kBig0[3] = {2, 13, 22};
  static constexpr int kBig1[3] = {6, 11, 25};
  static constexpr int kSmall0[3] = {7, 18, 3};
  static constexpr int kSmall1[3] = {17, 19, 10};
};

template <>
struct Sha2Words<uint64_t> {
  static constexpr int kRounds = 80;
  static constexpr const uint64_t* kConstants = kSha512K;
  static constexpr int kBig0[3] = {28, 34, 39};
  static constexpr int kBig1[3] = {14, 18, 41};
  static constexpr int kSmall0[3] = {1, 8, 7};
  static constexpr int kSmall1[3] = {19, 61, 6};
};

template <class Word>
Word rotr(Word x, int n) {
  return (x >> n) | (x << (8 * sizeof(Word) - n));
}

template <class Word>
Word bigSigma(Word x, const int (&r)[3]) {
  return rotr(x, r[0]) ^ rotr(x, r[1]) ^ rotr(x, r[2]);
}

template <class Word>
Word smallSigma(Word x, const int (&r)[3]) {
  return rotr(x, r[0]) ^ rotr(x, r[1]) ^ (x >> r[2]);
}

// One block of 16 big-endian words into the eight chaining words.
template <class Word>
void transformWords(Word* state, const uint8_t* block) {
  using W = Sha2Words<Word>;
  Word w[W::kRounds];
  for (int i = 0; i < 16; ++i) {
    w[i] = 0;
    for (size_t b = 0; b < sizeof(Word); ++b) w[i] = (w[i] << 8) | block[sizeof(Word) * i + b];
  }
  for (int i = 16; i < W::kRounds; ++i)
    w[i] = w[i - 16] + smallSigma(w[i - 15], W::kSmall0) + w[i - 7] + smallSigma(w[i - 2], W::kSmall1);
  Word v[8];
  std::memcpy(v, state, sizeof v);
  for (int i = 0; i < W::kRounds; ++i) {
    Word choose = (v[4] & v[5]) ^ (~v[4] & v[6]);
    Word t1 = v[7] + bigSigma(v[4], W::kBig1) + choose + W::kConstants[i] + w[i];
    Word majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
    std::memmove(v + 1, v, 7 * sizeof v[0]);
    v[4] += t1;
    v[0] = t1 + bigSigma(v[1], W::kBig0) + majority;
  }
  for (int i = 0; i < 8; ++i) state[i] += v[i];
}

bool isSha256(const SHA2Context* context) { return context->digestLength == 32; }
size_t blockSize(const SHA2Context* context) { return isSha256(context) ? 64 : 128; }

// Bytes already waiting in the block buffer, from the running bit count.
size_t buffered(const SHA2Context* context) {
  if (isSha256(context)) return (context->sha256Count[0] >> 3) % 64;
  return (context->sha512Count[0] >> 3) % 128;
}

void countBytes(SHA2Context* context, uint32_t bytes) {
  if (isSha256(context)) {
    uint32_t bits = bytes << 3;
    context->sha256Count[0] += bits;
    if (context->sha256Count[0] < bits) ++context->sha256Count[1];
    context->sha256Count[1] += bytes >> 29;
  } else {
    uint64_t bits = static_cast<uint64_t>(bytes) << 3;
    context->sha512Count[0] += bits;
    if (context->sha512Count[0] < bits) ++context->sha512Count[1];
  }
}

void transformBlock(SHA2Context* context, const uint8_t* block) {
  if (isSha256(context))
    sha256Transform(context, block);
  else
    sha512Transform(context, block);
}

void putBigEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<uint8_t>(value);
}

}  // namespace

extern "C" {

OSPREY_EXPORT void sha256Transform(SHA2Context* context, const uint8_t* block) {
  transformWords<uint32_t>(context->sha256State, block);
}

OSPREY_EXPORT void sha512Transform(SHA2Context* context, const uint8_t* block) {
  transformWords<uint64_t>(context->sha512State, block);
}

OSPREY_EXPORT void sha2Update(SHA2Context* context, const void* data, uint32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t block = blockSize(context);
  size_t used = buffered(context);
  countBytes(context, length);
  if (used > 0) {
    size_t take = block - used < length ? block - used : length;
    std::memcpy(context->buffer + used, bytes, take);
    bytes += take;
    length -= static_cast<uint32_t>(take);
    if (used + take < block) return;
    transformBlock(context, context->buffer);
  }
  for (; length >= block; bytes += block, length -= static_cast<uint32_t>(block)) transformBlock(context, bytes);
  if (length > 0) std::memcpy(context->buffer, bytes, length);
}

OSPREY_EXPORT void sha2Final(uint8_t* digest, SHA2Context* context) {
  size_t block = blockSize(context);
  size_t lengthBytes = isSha256(context) ? 8 : 16;
  size_t used = buffered(context);
  context->buffer[used++] = 0x80;
  if (used > block - lengthBytes) {
    std::memset(context->buffer + used, 0, block - used);
    transformBlock(context, context->buffer);
    used = 0;
  }
  std::memset(context->buffer + used, 0, block - lengthBytes - used);
  uint8_t* tail = context->buffer + block - lengthBytes;
  if (isSha256(context)) {
    putBigEndian(tail, (uint64_t{context->sha256Count[1]} << 32) | context->sha256Count[0], 8);
  } else {
    putBigEndian(tail, context->sha512Count[1], 8);
    putBigEndian(tail + 8, context->sha512Count[0], 8);
  }
  transformBlock(context, context->buffer);
  if (isSha256(context))
    for (int i = 0; i < 8; ++i) putBigEndian(digest + 4 * i, context->sha256State[i], 4);
  else
    for (int i = 0; i < 8; ++i) putBigEndian(digest + 8 * i, context->sha512State[i], 8);
  // Nothing of the message stays behind in the caller's record.
  explicit_bzero(context, sizeof *context);
}

}  // extern "C"

namespace osprey::admin {

void sha2Start(SHA2Context* context, int32_t digestLength) {
  std::memset(context, 0, sizeof *context);
  context->digestLength = digestLength;
  if (digestLength == 32)
    std::memcpy(context->sha256State, kSha256Init, sizeof kSha256Init);
  else
    std::memcpy(context->sha512State, kSha512Init, sizeof kSha512Init);
}

std::string sha2Hex(const void* data, size_t length, int32_t digestLength) {
  SHA2Context context;
  sha2Start(&context, digestLength);
  // Fed in pieces: the update takes a 32-bit length.
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    uint32_t piece = length > 0x40000000 ? 0x40000000 : static_cast<uint32_t>(length);
    sha2Update(&context, bytes, piece);
    bytes += piece;
    length -= piece;
  }
  uint8_t digest[64];
  sha2Final(digest, &context);
  return upperHex(digest, digestLength == 32 ? 32 : 64);
}

std::string upperHex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace osprey::admin
