// SHA-256, SHA-1 and MD5, evaluated by the compiler, for the layout
// checksums pickles carry: the first seven hex digits (28 bits) of each
// digest of a class's field names. They are computed from the field
// declaration at compile time, so that a field change cannot leave a
// hand-copied checksum behind.
//
// Each function returns the digest's first four bytes read big-endian (the
// first eight hex digits); inputs are short, so speed does not matter here.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vx::murkel::digest {

constexpr uint32_t rotl(uint32_t x, int n) noexcept { return (x << n) | (x >> (32 - n)); }
constexpr uint32_t rotr(uint32_t x, int n) noexcept { return (x >> n) | (x << (32 - n)); }

// Byte i of the padded message: the text, 0x80, zeros, then the length in
// bits as 64 bits (big-endian, or little-endian for MD5) filling the last block.
constexpr uint8_t padded_byte(std::string_view text, size_t i, size_t total, bool little_endian_length) noexcept {
    if (i < text.size()) {
        return static_cast<uint8_t>(text[i]);
    }
    if (i == text.size()) {
        return 0x80;
    }
    if (i + 8 < total) {
        return 0;
    }
    const uint64_t bits = static_cast<uint64_t>(text.size()) * 8;
    const size_t k = i - (total - 8);  // 0..7
    const int shift = little_endian_length ? 8 * static_cast<int>(k) : 8 * (7 - static_cast<int>(k));
    return static_cast<uint8_t>(bits >> shift);
}

constexpr size_t padded_size(std::string_view text) noexcept { return (text.size() + 8) / 64 * 64 + 64; }

// The sixteen 32-bit words of a block.
constexpr std::array<uint32_t, 16> block_words(std::string_view text, size_t start, size_t total, bool little) {
    std::array<uint32_t, 16> w{};
    for (size_t j = 0; j < 16; ++j) {
        uint32_t v = 0;
        for (size_t b = 0; b < 4; ++b) {
            const uint32_t byte = padded_byte(text, start + 4 * j + b, total, little);
            v |= little ? byte << (8 * b) : byte << (8 * (3 - b));
        }
        w[j] = v;
    }
    return w;
}

// Run `compress` over each block of the padded text, adding each block's
// result into the state `h`; the digest's first word is h[0].
template <size_t N, class Compress>
constexpr uint32_t first_word(std::string_view text, std::array<uint32_t, N> h, bool little, Compress compress) {
    const size_t total = padded_size(text);
    for (size_t start = 0; start < total; start += 64) {
        std::array<uint32_t, N> v = h;
        compress(v, block_words(text, start, total, little));
        for (size_t i = 0; i < N; ++i) {
            h[i] += v[i];
        }
    }
    return h[0];
}

constexpr uint32_t sha256_first_word(std::string_view text) {
    constexpr uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
    };
    constexpr std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    return first_word(text, h, false, [&](std::array<uint32_t, 8>& v, const std::array<uint32_t, 16>& block) {
        uint32_t w[64] = {};
        for (int i = 0; i < 64; ++i) {
            w[i] = i < 16 ? block[i]
                          : w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
                                (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
        }
        for (int i = 0; i < 64; ++i) {
            const uint32_t a = v[0], e = v[4];
            const uint32_t t1 =
                v[7] + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & v[5]) ^ (~e & v[6])) + k[i] + w[i];
            const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
            v = {t1 + t2, a, v[1], v[2], v[3] + t1, e, v[5], v[6]};
        }
    });
}

constexpr uint32_t sha1_first_word(std::string_view text) {
    constexpr std::array<uint32_t, 5> h = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
    return first_word(text, h, false, [](std::array<uint32_t, 5>& v, const std::array<uint32_t, 16>& block) {
        uint32_t w[80] = {};
        for (int i = 0; i < 80; ++i) {
            w[i] = i < 16 ? block[i] : rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        }
        for (int i = 0; i < 80; ++i) {
            const uint32_t b = v[1], c = v[2], d = v[3];
            const uint32_t f = i < 20              ? (b & c) | (~b & d)
                               : i < 40 || i >= 60 ? b ^ c ^ d
                                                   : (b & c) | (b & d) | (c & d);
            const uint32_t k = i < 20 ? 0x5a827999 : i < 40 ? 0x6ed9eba1 : i < 60 ? 0x8f1bbcdc : 0xca62c1d6;
            v = {rotl(v[0], 5) + f + v[4] + k + w[i], v[0], rotl(b, 30), c, d};
        }
    });
}

constexpr uint32_t md5_first_word(std::string_view text) {
    constexpr int s[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    constexpr uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
    };
    constexpr std::array<uint32_t, 4> h = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const uint32_t word = first_word(text, h, true, [&](std::array<uint32_t, 4>& v, const std::array<uint32_t, 16>& m) {
        for (int i = 0; i < 64; ++i) {
            const uint32_t b = v[1], c = v[2], d = v[3];
            const int round = i / 16;
            const uint32_t f = round == 0   ? (b & c) | (~b & d)
                               : round == 1 ? (d & b) | (~d & c)
                               : round == 2 ? b ^ c ^ d
                                            : c ^ (b | ~d);
            const int g = round == 0 ? i : round == 1 ? (5 * i + 1) % 16 : round == 2 ? (3 * i + 5) % 16 : (7 * i) % 16;
            v = {d, b + rotl(v[0] + f + k[i] + m[g], s[round][i % 4]), b, c};
        }
    });
    // The digest's bytes are the words in little-endian order.
    return (word >> 24) | ((word >> 8) & 0xff00) | ((word << 8) & 0xff0000) | (word << 24);
}

// The first seven hex digits of a digest, as a number.
constexpr long prefix28(uint32_t first_word) noexcept { return static_cast<long>(first_word >> 4); }

// Known answers ("abc"), so a slip in the code above fails the build here.
static_assert(sha256_first_word("abc") == 0xba7816bf);
static_assert(sha1_first_word("abc") == 0xa9993e36);
static_assert(md5_first_word("abc") == 0x90015098);
static_assert(sha256_first_word("") == 0xe3b0c442 && sha1_first_word("") == 0xda39a3ee &&
              md5_first_word("") == 0xd41d8cd9);

}  // namespace vx::murkel::digest
