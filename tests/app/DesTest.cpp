#include "app/Des.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

app::TDesKey Key(std::uint64_t v) {
    app::TDesKey key{};
    for (int i = 7; i >= 0; --i, v >>= 8) key[i] = static_cast<std::uint8_t>(v);
    return key;
}

struct TVector {
    std::uint64_t Key, Plain, Cipher;
};

// Published known answers: the worked example, the zero-output key, the
// classic "Now is t", a few NBS variable-plaintext and variable-key entries,
// and the all-zero / all-one blocks.
constexpr TVector kVectors[] = {
    {0x133457799BBCDFF1ull, 0x0123456789ABCDEFull, 0x85E813540F0AB405ull},
    {0x0E329232EA6D0D73ull, 0x8787878787878787ull, 0x0000000000000000ull},
    {0x0123456789ABCDEFull, 0x4E6F772069732074ull, 0x3FA40E8A984D4815ull},
    {0x0101010101010101ull, 0x8000000000000000ull, 0x95F8A5E5DD31D900ull},
    {0x0101010101010101ull, 0x4000000000000000ull, 0xDD7F121CA5015619ull},
    {0x0101010101010101ull, 0x2000000000000000ull, 0x2E8653104F3834EAull},
    {0x0101010101010101ull, 0x0000000000000001ull, 0x166B40B44ABA4BD6ull},
    {0x8001010101010101ull, 0x0000000000000000ull, 0x95A8D72813DAA94Dull},
    {0x4001010101010101ull, 0x0000000000000000ull, 0x0EEC1487DD8C26D5ull},
    {0x0000000000000000ull, 0x0000000000000000ull, 0x8CA64DE9C1B123A7ull},
    {0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull, 0x7359B2163E4EDC58ull},
};

TEST(DesTest, KnownAnswersEncryptAndDecrypt) {
    for (const TVector& v : kVectors) {
        const app::TDes des(Key(v.Key));
        EXPECT_EQ(des.EncryptBlock(v.Plain), v.Cipher) << std::hex << "key " << v.Key;
        EXPECT_EQ(des.DecryptBlock(v.Cipher), v.Plain) << std::hex << "key " << v.Key;
    }
}

TEST(DesTest, EcbBlocksAreBigEndianBytes) {
    const std::string plain("\x01\x23\x45\x67\x89\xAB\xCD\xEF", 8);
    const std::string cipher = app::DesEncipherEcb(plain, Key(0x133457799BBCDFF1ull));
    ASSERT_EQ(cipher.size(), 16u);
    EXPECT_EQ(cipher.substr(0, 8), std::string("\x85\xE8\x13\x54\x0F\x0A\xB4\x05", 8));
    // The final block carries no data, only its count 0.
    const app::TDes des(Key(0x133457799BBCDFF1ull));
    std::uint64_t last = 0;
    for (int i = 8; i < 16; ++i) last = (last << 8) | static_cast<unsigned char>(cipher[i]);
    EXPECT_EQ(des.DecryptBlock(last), 0u);
}

TEST(DesTest, FinalBlockHoldsTheRemainingCount) {
    const app::TDesKey key = app::ProfileKey();
    for (std::size_t n = 0; n <= 17; ++n) {
        std::string plain;
        for (std::size_t i = 0; i < n; ++i) plain += static_cast<char>('a' + i);
        const std::string cipher = app::DesEncipherEcb(plain, key);
        EXPECT_EQ(cipher.size(), (n / 8 + 1) * 8) << n;
        EXPECT_EQ(app::DesDecipherEcb(cipher, key), plain) << n;
    }
    // 16 bytes: two whole blocks and a final block holding count 0.
    const std::string text = app::EncipherText("0123456789abcdef");
    EXPECT_EQ(app::Base64Decode(text).size(), 24u);
    EXPECT_EQ(text.size(), 32u);
}

TEST(DesTest, ProfileKeyIsFixed) {
    // Files written by earlier builds must stay readable: the key and the
    // cipher text of fixed lines may never change. (The texts were checked
    // against an independent DES-ECB implementation.)
    EXPECT_EQ(app::ProfileKey(), app::DesKeyFromPhrase("zcnv"));
    EXPECT_EQ(app::EncipherText("0123456789abcdef"), "kwjs4UHC2IZ0L+5CNc3NfmJOwwmKUoou");
    EXPECT_EQ(app::EncipherText("abcdefghij"), "RmUXrnredOrgx+tLjFHiKQ==");
    for (std::uint8_t b : app::ProfileKey()) EXPECT_EQ(__builtin_popcount(b) % 2, 1) << "odd parity";
}

TEST(DesTest, DecipherRejectsBadData) {
    const app::TDesKey key = app::ProfileKey();
    const auto reason = [&](const std::string& data) -> std::string {
        try {
            app::DesDecipherEcb(data, key);
        } catch (const app::ECipherError& e) {
            return e.what();
        }
        return "accepted";
    };
    EXPECT_EQ(reason(""), "Invalid file format");
    EXPECT_EQ(reason("1234567"), "Invalid file format");
    EXPECT_EQ(reason(std::string(12, 'x')), "Invalid file format");
    // A final block whose count byte is above 7.
    app::TDes des(key);
    std::string bad(8, '\0');
    std::uint64_t c = des.EncryptBlock(0x0000000000000008ull);
    for (int i = 7; i >= 0; --i, c >>= 8) bad[i] = static_cast<char>(c);
    EXPECT_EQ(reason(bad), "Invalid file format");
}

TEST(DesTest, Base64) {
    // RFC 4648 test vectors.
    const char* cases[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},    {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        EXPECT_EQ(app::Base64Encode(c[0]), c[1]);
        EXPECT_EQ(app::Base64Decode(c[1]), c[0]);
    }
    const std::string bytes("\x00\xFB\xFF\x10\x80", 5);
    EXPECT_EQ(app::Base64Encode(bytes), "APv/EIA=");
    EXPECT_EQ(app::Base64Decode("APv/EIA="), bytes);
    EXPECT_EQ(app::Base64Decode("Zm9vYg"), "foob");  // unpadded

    for (const char* bad : {"Zm9v!", "Zm 9v", "Zm=v", "Z===", "Zm9vY", "Zg=", "Zm9v\r"}) {
        try {
            app::Base64Decode(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const app::ECipherError& e) {
            EXPECT_STREQ(e.what(), "Invalid Base64 Character") << bad;
        }
    }
}

} // namespace
