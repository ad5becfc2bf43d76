// DES (FIPS 46-3) in ECB mode with a count-carrying final block, Base64, and
// the fixed key profile files are enciphered with.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace app {

// Raised for text that cannot be deciphered; what() is the user-facing reason
// ("Invalid Base64 Character", "Invalid file format").
class ECipherError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using TDesKey = std::array<std::uint8_t, 8>;

// One DES key schedule. Blocks are big-endian: the first byte of a block is
// the most significant byte of the 64-bit value.
class TDes {
public:
    explicit TDes(const TDesKey& key);
    std::uint64_t EncryptBlock(std::uint64_t block) const;
    std::uint64_t DecryptBlock(std::uint64_t block) const;

private:
    std::uint64_t Crypt(std::uint64_t block, bool decrypt) const;
    std::array<std::uint64_t, 16> FSubKeys{};  // 48-bit round keys, low bits
};

// ECB over whole 8-byte blocks plus one final block holding the remaining
// 0..7 bytes zero-filled, its last byte the count of those bytes. The result
// is always 8 * (size / 8 + 1) bytes.
std::string DesEncipherEcb(std::string_view plain, const TDesKey& key);
// Inverse of DesEncipherEcb. Raises ECipherError("Invalid file format") when
// the data is empty, not whole blocks, or the final count is above 7.
std::string DesDecipherEcb(std::string_view cipher, const TDesKey& key);

// RFC 4648 alphabet with "=" padding and no line breaks.
std::string Base64Encode(std::string_view data);
// Accepts padded or unpadded text. Raises ECipherError("Invalid Base64
// Character") for any character outside the alphabet or a misplaced "=".
std::string Base64Decode(std::string_view text);

// A fixed 64-bit key derived from a short pass phrase (odd parity per byte).
TDesKey DesKeyFromPhrase(std::string_view phrase);
// The key of the built-in pass phrase; every profile file shares it.
const TDesKey& ProfileKey();

// Profile line <-> file text: DES-ECB with ProfileKey(), then Base64.
std::string EncipherText(std::string_view plain);
std::string DecipherText(std::string_view text);  // raises ECipherError

} // namespace app
