// JWS building blocks: strict base64url, and ES256/RS256 signatures verified only with a fitting key.
#include "OrvaneServer/auth/Jws.h"

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace orvane::server::jws {
namespace {

TEST(Base64UrlTest, EveryByteStringHasExactlyOneAcceptedText) {
  std::string bytes;
  for (int i = 0; i < 40; ++i) {
    const std::string text = base64UrlEncode(bytes);
    EXPECT_EQ(base64UrlDecode(text), bytes) << text;
    bytes.push_back(static_cast<char>(i * 97 + 200));
  }
  EXPECT_EQ(base64UrlEncode("\xfb\xff"), "-_8");
  for (const char* text : {"QQ==", "QQ=", "A", "AAAAA", "Q+8", "Q/8", "QQ ", " QQ", "Q\nQ", "QR", "QUJ", "QUK"}) {
    EXPECT_EQ(base64UrlDecode(text), std::nullopt) << text;  // padding, other alphabets, stray bits
  }
}

// A P-256 public key from its coordinates, behind the fixed DER prefix of
// a SubjectPublicKeyInfo.
Pkey p256PublicKey(const std::string& x, const std::string& y) {
  const std::string der = *base64UrlDecode("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE") + *base64UrlDecode(x) + *base64UrlDecode(y);
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  return Pkey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

// RFC 7515, appendix A.3: an ES256 JWS made by someone else's implementation.
TEST(Es256Test, VerifiesTheRfcExampleAndRefusesItsAlterations) {
  const Pkey key = p256PublicKey("f83OJ3D2xF1Bg8vub9tLe1gHMzV76e8Tus9uPHvRVEU",
                                 "x_FEzRu9m36HLN_tue659LNpXW6pCyStikYjKIWI5a0");
  ASSERT_TRUE(key);
  const std::string input =
      "eyJhbGciOiJFUzI1NiJ9."
      "eyJpc3MiOiJqb2UiLA0KICJleHAiOjEzMDA4MTkzODAsDQogImh0dHA6Ly9leGFtcGxlLmNvbS9pc19yb290Ijp0cnVlfQ";
  const std::string signature =
      *base64UrlDecode("DtEhU3ljbEg8L38VWAfUAqOyKAM6-Xx-F4GawxaepmXFCgfTjDxw5djxLa8ISlSApmWQxfKTUJqPP3-Kg6NU1Q");
  EXPECT_TRUE(verify(Alg::ES256, key.get(), input, signature));
  EXPECT_FALSE(verify(Alg::ES256, key.get(), input + " ", signature));
  std::string flipped = signature;
  flipped[40] ^= 1;
  EXPECT_FALSE(verify(Alg::ES256, key.get(), input, flipped));
  EXPECT_FALSE(verify(Alg::ES256, key.get(), input, signature.substr(1)));
  EXPECT_FALSE(verify(Alg::RS256, key.get(), input, signature));  // the key decides nothing about the algorithm
}

TEST(Es256Test, ShortScalarsAreZeroPaddedAndKeysMustFitTheAlgorithm) {
  const Pkey ec(EVP_EC_gen("P-256"));
  const Pkey otherCurve(EVP_EC_gen("P-384"));
  const Pkey rsa(EVP_RSA_gen(2048));
  // About one signature in 128 has r or s below 2^248.
  bool sawShortScalar = false;
  for (int i = 0; i < 3000 && !sawShortScalar; ++i) {
    const std::string input = "message " + std::to_string(i);
    const std::optional<std::string> signature = sign(Alg::ES256, ec.get(), input);
    ASSERT_TRUE(signature && signature->size() == 64);
    sawShortScalar = (*signature)[0] == '\0' || (*signature)[32] == '\0';
    ASSERT_TRUE(verify(Alg::ES256, ec.get(), input, *signature)) << i;
  }
  EXPECT_TRUE(sawShortScalar);

  EXPECT_FALSE(sign(Alg::ES256, otherCurve.get(), "m"));
  EXPECT_FALSE(sign(Alg::ES256, rsa.get(), "m"));
  EXPECT_FALSE(sign(Alg::RS256, ec.get(), "m"));
  const std::string rsaSignature = *sign(Alg::RS256, rsa.get(), "m");
  EXPECT_TRUE(verify(Alg::RS256, rsa.get(), "m", rsaSignature));
  EXPECT_FALSE(verify(Alg::ES256, rsa.get(), "m", rsaSignature));
}

}  // namespace
}  // namespace orvane::server::jws
