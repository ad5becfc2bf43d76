#include "app/Des.h"

#include <cstddef>

namespace app {

namespace {

// Tables of FIPS 46-3; bit 1 is the most significant bit of the input.
constexpr std::uint8_t kIP[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::uint8_t kFP[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

constexpr std::uint8_t kE[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr std::uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr std::uint8_t kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::uint8_t kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr std::uint8_t kS[8][64] = {
    {14, 4,  13, 1,  2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0,  7,
     0,  15, 7,  4,  14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3,  8,
     4,  1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5,  0,
     15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7,  2,  13, 12, 0,  5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0,  1,  10, 6,  9,  11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,  9,  3,  2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3,  4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2,  8,  5,  11, 12, 4,  15,
     13, 8,  11, 5,  6,  15, 0,  3,  4,  7,  2,  12, 1,  10, 14, 9,
     10, 6,  9,  0,  12, 11, 7,  13, 15, 1,  3,  14, 5,  2,  8,  4,
     3,  15, 0,  6,  10, 1,  13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0,  14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9,  8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3,  0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7,  12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9,  7,  5,  10, 6,  1,
     13, 0,  11, 7,  4,  9,  1,  10, 14, 3,  5,  12, 2,  15, 8,  6,
     1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6,  8,  0,  5,  9,  2,
     6,  11, 13, 8,  1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8,  10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Picks bits of an `inBits`-wide value by a 1-based table, first entry
// becoming the most significant output bit.
template <std::size_t N>
std::uint64_t Permute(std::uint64_t in, int inBits, const std::uint8_t (&table)[N]) {
    std::uint64_t out = 0;
    for (std::uint8_t pos : table) out = (out << 1) | ((in >> (inBits - pos)) & 1u);
    return out;
}

std::uint32_t Feistel(std::uint32_t r, std::uint64_t subKey) {
    const std::uint64_t x = Permute(r, 32, kE) ^ subKey;
    std::uint32_t s = 0;
    for (int box = 0; box < 8; ++box) {
        const unsigned six = static_cast<unsigned>(x >> (42 - 6 * box)) & 0x3Fu;
        const unsigned row = ((six & 0x20u) >> 4) | (six & 1u);
        const unsigned col = (six >> 1) & 0xFu;
        s = (s << 4) | kS[box][row * 16 + col];
    }
    return static_cast<std::uint32_t>(Permute(s, 32, kP));
}

std::uint32_t Rotate28(std::uint32_t v, int n) {
    return ((v << n) | (v >> (28 - n))) & 0x0FFFFFFFu;
}

std::uint64_t LoadBlock(const char* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

void StoreBlock(std::uint64_t v, char* p) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<char>(v & 0xFFu);
        v >>= 8;
    }
}

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The built-in pass phrase. Changing it makes every profile this program
// wrote unreadable.
constexpr std::string_view kProfilePhrase = "zcnv";

} // namespace

TDes::TDes(const TDesKey& key) {
    std::uint64_t k = 0;
    for (std::uint8_t b : key) k = (k << 8) | b;
    const std::uint64_t cd = Permute(k, 64, kPC1);
    std::uint32_t c = static_cast<std::uint32_t>(cd >> 28) & 0x0FFFFFFFu;
    std::uint32_t d = static_cast<std::uint32_t>(cd) & 0x0FFFFFFFu;
    for (int round = 0; round < 16; ++round) {
        c = Rotate28(c, kShifts[round]);
        d = Rotate28(d, kShifts[round]);
        FSubKeys[round] = Permute((static_cast<std::uint64_t>(c) << 28) | d, 56, kPC2);
    }
}

std::uint64_t TDes::Crypt(std::uint64_t block, bool decrypt) const {
    const std::uint64_t ip = Permute(block, 64, kIP);
    std::uint32_t l = static_cast<std::uint32_t>(ip >> 32);
    std::uint32_t r = static_cast<std::uint32_t>(ip);
    for (int round = 0; round < 16; ++round) {
        const std::uint32_t next = l ^ Feistel(r, FSubKeys[decrypt ? 15 - round : round]);
        l = r;
        r = next;
    }
    // The halves are swapped once more before the final permutation.
    return Permute((static_cast<std::uint64_t>(r) << 32) | l, 64, kFP);
}

std::uint64_t TDes::EncryptBlock(std::uint64_t block) const { return Crypt(block, false); }
std::uint64_t TDes::DecryptBlock(std::uint64_t block) const { return Crypt(block, true); }

std::string DesEncipherEcb(std::string_view plain, const TDesKey& key) {
    const TDes des(key);
    const std::size_t whole = plain.size() / 8 * 8;
    std::string out(whole + 8, '\0');
    for (std::size_t i = 0; i < whole; i += 8)
        StoreBlock(des.EncryptBlock(LoadBlock(plain.data() + i)), out.data() + i);
    char last[8] = {};
    const std::size_t rest = plain.size() - whole;
    for (std::size_t i = 0; i < rest; ++i) last[i] = plain[whole + i];
    last[7] = static_cast<char>(rest);
    StoreBlock(des.EncryptBlock(LoadBlock(last)), out.data() + whole);
    return out;
}

std::string DesDecipherEcb(std::string_view cipher, const TDesKey& key) {
    if (cipher.size() < 8 || cipher.size() % 8 != 0) throw ECipherError("Invalid file format");
    const TDes des(key);
    std::string out(cipher.size(), '\0');
    for (std::size_t i = 0; i < cipher.size(); i += 8)
        StoreBlock(des.DecryptBlock(LoadBlock(cipher.data() + i)), out.data() + i);
    const unsigned count = static_cast<unsigned char>(out.back());
    if (count > 7) throw ECipherError("Invalid file format");
    out.resize(out.size() - 8 + count);
    return out;
}

std::string Base64Encode(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const std::uint32_t v = (static_cast<unsigned char>(data[i]) << 16) |
                                (static_cast<unsigned char>(data[i + 1]) << 8) |
                                static_cast<unsigned char>(data[i + 2]);
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest > 0) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << 16;
        if (rest == 2) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Base64Decode(std::string_view text) {
    std::size_t end = text.size();
    std::size_t pads = 0;
    while (end > 0 && text[end - 1] == '=' && pads < 2) {
        --end;
        ++pads;
    }
    // Padding only ever completes a group of four.
    if (pads > 0 && text.size() % 4 != 0) throw ECipherError("Invalid Base64 Character");
    std::string out;
    out.reserve(end / 4 * 3 + 2);
    std::uint32_t acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const int v = Base64Value(text[i]);
        if (v < 0) throw ECipherError("Invalid Base64 Character");
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFFu);
        }
    }
    // A lone character in the last group cannot carry a byte.
    if (end % 4 == 1) throw ECipherError("Invalid Base64 Character");
    return out;
}

TDesKey DesKeyFromPhrase(std::string_view phrase) {
    // FNV-1a 64 folds the phrase into eight bytes; each byte then gets odd
    // parity in its low bit, as DES keys carry it.
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : phrase) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ull;
    }
    TDesKey key{};
    for (int i = 7; i >= 0; --i) {
        std::uint8_t b = static_cast<std::uint8_t>(h & 0xFEu);
        int ones = 0;
        for (std::uint8_t t = b; t; t &= static_cast<std::uint8_t>(t - 1)) ++ones;
        if (ones % 2 == 0) b |= 1u;
        key[i] = b;
        h >>= 8;
    }
    return key;
}

const TDesKey& ProfileKey() {
    static const TDesKey key = DesKeyFromPhrase(kProfilePhrase);
    return key;
}

std::string EncipherText(std::string_view plain) {
    return Base64Encode(DesEncipherEcb(plain, ProfileKey()));
}

std::string DecipherText(std::string_view text) {
    return DesDecipherEcb(Base64Decode(text), ProfileKey());
}

} // namespace app
