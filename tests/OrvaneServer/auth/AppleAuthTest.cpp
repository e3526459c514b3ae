// Sign in with Apple on the server: identity tokens checked against the JWKS key they name, and a bad key
// file refused at start.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <fstream>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/auth/Jws.h"
#include "tests/OrvaneServer/auth/AuthTestSupport.h"

namespace orvane::server::testing {
namespace {

constexpr std::int64_t kNow = 1767225600;  // ManualClock's start
constexpr const char* kAudience = "com.kelbrin.orvane";

struct RsaKey {
  jws::Pkey key;
  std::string jwk(const std::string& kid, const std::string& extra = R"(,"use":"sig","alg":"RS256")") const {
    const auto param = [&](const char* name) {
      BIGNUM* bn = nullptr;
      EVP_PKEY_get_bn_param(key.get(), name, &bn);
      std::string bytes(static_cast<std::size_t>(BN_num_bytes(bn)), '\0');
      BN_bn2bin(bn, reinterpret_cast<unsigned char*>(bytes.data()));
      BN_free(bn);
      return jws::base64UrlEncode(bytes);
    };
    return R"({"kty":"RSA","kid":")" + kid + "\"" + extra + R"(,"n":")" + param(OSSL_PKEY_PARAM_RSA_N) +
           R"(","e":")" + param(OSSL_PKEY_PARAM_RSA_E) + "\"}";
  }
};

struct Claims {
  std::string kid = "k2";
  std::string alg = "RS256";
  std::string iss = "https://appleid.apple.com";
  std::string aud = kAudience;
  std::int64_t exp = kNow + 600;
  std::string sub = "001234.abcdef";
};

// Made once and on first use: RSA key generation is slow.
const RsaKey& k1() {
  static const RsaKey key{jws::Pkey(EVP_RSA_gen(2048))};
  return key;
}
const RsaKey& k2() {
  static const RsaKey key{jws::Pkey(EVP_RSA_gen(2048))};
  return key;
}

class AppleAuthTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (db_.missing()) GTEST_SKIP() << "PostgreSQL is not installed";
    writeJwks(R"({"keys":[)" + k1().jwk("k1") + "," + k2().jwk("k2", "") + "," + k1().jwk("enc", R"(,"use":"enc")") +
              R"(,{"kty":"EC","kid":"ec","crv":"P-256","x":"AA","y":"AA"}]})");
    auth_ = makeAuth(options());
  }
  AuthOptions options(std::string audience = kAudience) {
    return {dir_.data(), IdentityMode::apple, std::move(audience), jwks_, &clock_, &logs_, db_.url()};
  }
  void writeJwks(const std::string& text) { std::ofstream(jwks_) << text; }
  static std::string token(const Claims& c, const RsaKey& signer) {
    const std::string header = R"({"kid":")" + c.kid + R"(","alg":")" + c.alg + "\"}";
    const std::string payload = R"({"iss":")" + c.iss + R"(","aud":")" + c.aud + R"(","exp":)" +
                                std::to_string(c.exp) + R"(,"iat":)" + std::to_string(kNow) + R"(,"sub":")" + c.sub +
                                R"(","email":"x@privaterelay.appleid.com","email_verified":"true"})";
    return *jws::signCompact(jws::Alg::RS256, signer.key.get(), header, payload);
  }

  TempDir dir_;
  TestDatabase db_{GetParam(), dir_.data()};
  std::filesystem::path jwks_ = dir_.data().parent_path() / "apple-keys.json";
  ManualClock clock_;
  CapturingLogSink logs_;
  std::unique_ptr<Auth> auth_;
};

TEST_P(AppleAuthTest, TokensAreCheckedAgainstTheKeyTheirKidNames) {
  const Session first = sessionOf(auth_->exchange(exchangeBody(token({}, k2()), "host-1")));
  const Session second = sessionOf(auth_->exchange(exchangeBody(token({.kid = "k1"}, k1()), "pad-1", "pad")));
  ASSERT_FALSE(first.userId.empty());
  EXPECT_EQ(second.userId, first.userId);  // keyed by "sub"
  EXPECT_EQ(auth_->authenticate(second.token)->role, "pad");
  EXPECT_NE(sessionOf(auth_->exchange(exchangeBody(token({.sub = "005678.other"}, k2())))).userId, first.userId);

  TempDir local;
  const std::vector<std::string> refused = {
      token({.kid = "k1"}, k2()),  token({.kid = "k3"}, k2()),         token({.kid = "enc"}, k1()),
      token({.kid = "ec"}, k2()),  token({.alg = "HS256"}, k2()),      token({.alg = "none"}, k2()),
      token({.iss = "https://appleid.apple.com/"}, k2()),              token({.aud = "com.other.app"}, k2()),
      token({.exp = kNow - 61}, k2()),                                 token({.sub = ""}, k2()),
      makeInvite({local.data(), "alice", std::chrono::seconds(600), &clock_})};
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(auth_->exchange(exchangeBody(refused[i])).status, 401u) << "case " << i;
  }
  EXPECT_EQ(db_.rowCount("users"), 2);
  EXPECT_FALSE(std::filesystem::exists(dir_.data() / "signing-key.pem"));  // apple mode makes no local key
}

TEST_P(AppleAuthTest, LocalNamesAndAppleSubjectsAreSeparateAccounts) {
  const auto local = makeAuth({dir_.data(), IdentityMode::local, "", "", &clock_, &logs_, db_.url()});
  const std::string invite = makeInvite({dir_.data(), "001234.abcdef", std::chrono::seconds(600), &clock_});
  const Session viaInvite = sessionOf(local->exchange(exchangeBody(invite)));
  const Session viaApple = sessionOf(auth_->exchange(exchangeBody(token({}, k2()))));
  EXPECT_NE(viaInvite.userId, viaApple.userId);
  EXPECT_EQ(local->authenticate(viaApple.token)->userId, viaApple.userId);  // one database, two processes
}

TEST_P(AppleAuthTest, MisconfigurationFailsAtStartWithAReason) {
  const auto expectFailure = [&](const AuthOptions& options, const std::string& reason) {
    try {
      makeAuth(options);
      ADD_FAILURE() << "accepted; expected: " << reason;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  };
  expectFailure(options(""), "audience");
  const RsaKey weak{jws::Pkey(EVP_RSA_gen(1024))};
  const std::vector<std::pair<std::string, std::string>> files = {
      {"{", "invalid"},
      {R"({"keys":[]})", "no RS256 signing key"},
      {R"({"keys":[)" + k1().jwk("k1", R"(,"use":"enc")") + "]}", "no RS256 signing key"},
      {R"({"keys":[)" + weak.jwk("w") + "]}", "2048"},
      {R"({"keys":[)" + k1().jwk("k1") + "," + k2().jwk("k1") + "]}", "twice"},
      {R"({"keys":[{"kty":"RSA","kid":"x","n":"AQAB=","e":"AQAB"}]})", "malformed"},
  };
  for (const auto& [text, reason] : files) {
    writeJwks(text);
    expectFailure(options(), reason);
  }
  std::filesystem::remove(jwks_);
  expectFailure(options(), "cannot read the JWKS file");
}

INSTANTIATE_TEST_SUITE_P(Stores, AppleAuthTest, ::testing::Values(Backend::sqlite, Backend::postgres), backendName);

}  // namespace
}  // namespace orvane::server::testing
