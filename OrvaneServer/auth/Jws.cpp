#include "OrvaneServer/auth/Jws.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ecdsa.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <stdexcept>

#include "OrvaneCore/json/JsonReader.h"

namespace orvane::server::jws {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kEcScalarBytes = 32;
constexpr int kMinRsaBits = 2048;
// Verification cost grows with the modulus; nothing legitimate is larger.
constexpr std::size_t kMaxRsaModulusBytes = 1024;
constexpr std::size_t kMaxRsaExponentBytes = 8;
constexpr std::size_t kMaxJwksBytes = 1 << 20;
constexpr std::size_t kMaxClaimText = 256;
const JsonLimits kTokenJsonLimits{kMaxTokenBytes, 4};

int alphabetValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Bn = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM, OSSL_PARAM_free>>;

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

bool keyFits(Alg alg, EVP_PKEY* key) {
  if (key == nullptr) return false;
  if (alg == Alg::RS256) return EVP_PKEY_is_a(key, "RSA") == 1;
  if (EVP_PKEY_is_a(key, "EC") != 1) return false;
  char group[32] = {};
  if (EVP_PKEY_get_group_name(key, group, sizeof group, nullptr) != 1) return false;
  return std::string_view(group) == "prime256v1";
}

std::optional<std::string> derToRaw(std::string_view der) {
  const unsigned char* p = bytes(der);
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  if (!sig) return std::nullopt;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  std::string raw(2 * kEcScalarBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  if (BN_bn2binpad(r, out, kEcScalarBytes) < 0 || BN_bn2binpad(s, out + kEcScalarBytes, kEcScalarBytes) < 0) {
    return std::nullopt;
  }
  return raw;
}

std::optional<std::string> rawToDer(std::string_view raw) {
  if (raw.size() != 2 * kEcScalarBytes) return std::nullopt;
  Bn r(BN_bin2bn(bytes(raw), kEcScalarBytes, nullptr));
  Bn s(BN_bin2bn(bytes(raw) + kEcScalarBytes, kEcScalarBytes, nullptr));
  EcdsaSig sig(ECDSA_SIG_new());
  if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) return std::nullopt;
  r.release();  // owned by sig now
  s.release();
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(sig.get(), &der);
  if (length <= 0) return std::nullopt;
  std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return out;
}

Pkey rsaPublicKey(std::string_view modulus, std::string_view exponent) {
  Bn n(BN_bin2bn(bytes(modulus), static_cast<int>(modulus.size()), nullptr));
  Bn e(BN_bin2bn(bytes(exponent), static_cast<int>(exponent.size()), nullptr));
  ParamBld build(OSSL_PARAM_BLD_new());
  if (!n || !e || !build || !BN_is_odd(e.get()) || BN_is_one(e.get())) return nullptr;
  if (OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
    return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(build.get()));
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
    return nullptr;
  }
  Pkey owned(key);
  if (EVP_PKEY_get_bits(key) < kMinRsaBits) return nullptr;
  return owned;
}

// One JWKS entry: skipped (nothing), accepted, or an error.
using JwksEntry = std::optional<std::pair<std::string, Pkey>>;

DecodeResult<JwksEntry> jwksEntry(const JsonValue& entry) {
  using Result = DecodeResult<JwksEntry>;
  const JsonValue::Object* object = entry.asObject();
  if (object == nullptr) return Result::failure("a key is not an object");
  JsonObjectReader r(*object);
  const std::string* kty = r.requireStringRef("kty");
  const std::optional<std::string> use = r.optionalString("use");
  const std::optional<std::string> alg = r.optionalString("alg");
  if (!r) return r.failure<JwksEntry>();
  if (*kty != "RSA" || (use && *use != "sig") || (alg && *alg != "RS256")) return JwksEntry{};
  const std::string* kid = r.requireStringRef("kid");
  const std::string* n = r.requireStringRef("n");
  const std::string* e = r.requireStringRef("e");
  if (!r) return r.failure<JwksEntry>();
  if (kid->empty() || kid->size() > kMaxClaimText) return Result::failure("a kid is empty or too long");
  const std::optional<std::string> modulus = base64UrlDecode(*n);
  const std::optional<std::string> exponent = base64UrlDecode(*e);
  if (!modulus || !exponent || modulus->size() > kMaxRsaModulusBytes || exponent->size() > kMaxRsaExponentBytes) {
    return Result::failure(concatText({"key \"", *kid, "\" has a malformed modulus or exponent"}));
  }
  Pkey key = rsaPublicKey(*modulus, *exponent);
  if (!key) return Result::failure(concatText({"key \"", *kid, "\" is not a usable RSA key of 2048 bits or more"}));
  return JwksEntry{std::pair{*kid, std::move(key)}};
}

bool audienceMatches(const JsonValue& aud, std::string_view expected) {
  if (const std::string* one = aud.asString()) return *one == expected;
  const JsonValue::Array* many = aud.asArray();
  if (many == nullptr) return false;
  bool found = false;
  for (const JsonValue& v : *many) {
    const std::string* s = v.asString();
    if (s == nullptr) return false;
    found = found || *s == expected;
  }
  return found;
}

DecodeResult<JsonValue> decodeSegment(std::string_view segment) {
  std::optional<std::string> json = base64UrlDecode(segment);
  if (!json) return DecodeResult<JsonValue>::failure("bad base64url");
  return parseJsonObject(*json, kTokenJsonLimits);
}

}  // namespace

std::string base64UrlEncode(std::string_view in) {
  std::string out;
  out.reserve((in.size() * 4 + 2) / 3);
  std::uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : in) {
    acc = (acc << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(acc >> bits) & 0x3F]);
    }
    acc &= (1u << bits) - 1;
  }
  if (bits > 0) out.push_back(kAlphabet[(acc << (6 - bits)) & 0x3F]);
  return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
  if (text.size() % 4 == 1) return std::nullopt;  // no byte count encodes to this length
  std::string out;
  out.reserve(text.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const int v = alphabetValue(c);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
    acc &= (1u << bits) - 1;
  }
  if (acc != 0) return std::nullopt;  // leftover bits must be zero
  return out;
}

std::array<unsigned char, 32> sha256(std::string_view data) {
  std::array<unsigned char, 32> digest{};
  SHA256(bytes(data), data.size(), digest.data());
  return digest;
}

std::string randomBytes(std::size_t count) {
  std::string out(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) {
    throw std::runtime_error("the random number generator failed");
  }
  return out;
}

bool constantTimeEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view algName(Alg alg) { return alg == Alg::ES256 ? "ES256" : "RS256"; }

std::optional<std::string> sign(Alg alg, EVP_PKEY* key, std::string_view input) {
  if (!keyFits(alg, key)) return std::nullopt;
  MdCtx ctx(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, bytes(input), input.size()) != 1) {
    return std::nullopt;
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes(input),
                     input.size()) != 1) {
    return std::nullopt;
  }
  signature.resize(length);
  if (alg == Alg::ES256) return derToRaw(signature);
  return signature;
}

bool verify(Alg alg, EVP_PKEY* key, std::string_view input, std::string_view signature) {
  if (!keyFits(alg, key)) return false;
  std::string der;
  if (alg == Alg::ES256) {
    std::optional<std::string> converted = rawToDer(signature);
    if (!converted) return false;
    der = std::move(*converted);
    signature = der;
  }
  MdCtx ctx(EVP_MD_CTX_new());
  return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), bytes(signature), signature.size(), bytes(input), input.size()) == 1;
}

std::optional<std::string> signCompact(Alg alg, EVP_PKEY* key, std::string_view headerJson,
                                       std::string_view payloadJson) {
  std::string token = base64UrlEncode(headerJson);
  token += '.';
  token += base64UrlEncode(payloadJson);
  std::optional<std::string> signature = sign(alg, key, token);
  if (!signature) return std::nullopt;
  token += '.';
  token += base64UrlEncode(*signature);
  return token;
}

DecodeResult<KeySet> parseJwks(std::string_view text) {
  using Result = DecodeResult<KeySet>;
  if (text.size() > kMaxJwksBytes) return Result::failure("larger than 1 MiB");
  DecodeResult<JsonValue> parsed = parseJsonObject(text, JsonLimits{kMaxJwksBytes, 8});
  if (!parsed) return Result::failure(parsed.error());
  JsonObjectReader reader(*parsed.value().asObject());
  const JsonValue::Array* keys = reader.requireArray("keys");
  if (!reader) return reader.failure<KeySet>();
  KeySet set;
  for (const JsonValue& entry : *keys) {
    auto decoded = jwksEntry(entry);
    if (!decoded) return Result::failure(decoded.error());
    if (!decoded.value()) continue;
    auto& [kid, key] = *decoded.value();
    if (set.count(kid) != 0) return Result::failure(concatText({"key \"", kid, "\" appears twice"}));
    set.emplace(kid, std::move(key));
  }
  if (set.empty()) return Result::failure("no RS256 signing key");
  return set;
}

DecodeResult<Claims> verifyJwt(std::string_view token, const Policy& policy) {
  using Result = DecodeResult<Claims>;
  if (token.empty() || token.size() > kMaxTokenBytes) return Result::failure("empty or too long");
  const std::size_t dot1 = token.find('.');
  const std::size_t dot2 = dot1 == std::string_view::npos ? dot1 : token.find('.', dot1 + 1);
  if (dot2 == std::string_view::npos || token.find('.', dot2 + 1) != std::string_view::npos || dot1 == 0 ||
      dot2 == dot1 + 1 || dot2 + 1 == token.size()) {
    return Result::failure("not three segments");
  }
  const std::string_view signingInput = token.substr(0, dot2);

  DecodeResult<JsonValue> header = decodeSegment(token.substr(0, dot1));
  if (!header) return Result::failure(concatText({"header: ", header.error()}));
  JsonObjectReader h(*header.value().asObject());
  const std::string* alg = h.requireStringRef("alg");
  const std::string* kid = h.requireStringRef("kid");
  const std::optional<std::string> typ = h.optionalString("typ");
  if (!h) return Result::failure(concatText({"header: ", h.error()}));
  // The algorithm is fixed by the mode, never chosen by the token.
  if (*alg != algName(policy.alg)) return Result::failure("algorithm not accepted");
  if (typ && *typ != "JWT") return Result::failure("not a JWT");
  if (header.value().find("crit") != nullptr) return Result::failure("critical header extensions");
  const auto key = policy.keys->find(*kid);
  if (key == policy.keys->end()) return Result::failure("unknown key id");

  const std::optional<std::string> signature = base64UrlDecode(token.substr(dot2 + 1));
  if (!signature || !verify(policy.alg, key->second.get(), signingInput, *signature)) {
    return Result::failure("bad signature");
  }

  DecodeResult<JsonValue> payload = decodeSegment(token.substr(dot1 + 1, dot2 - dot1 - 1));
  if (!payload) return Result::failure(concatText({"payload: ", payload.error()}));
  JsonObjectReader p(*payload.value().asObject());
  const std::string* iss = p.requireStringRef("iss");
  const std::string* sub = p.requireStringRef("sub");
  const std::optional<std::int64_t> exp = p.requireInt("exp");
  const std::optional<std::int64_t> iat = p.requireInt("iat");
  const std::optional<std::int64_t> nbf = p.optionalInt("nbf");
  const std::optional<std::string> jti = policy.requireJti ? p.requireString("jti") : p.optionalString("jti");
  if (!p) return Result::failure(concatText({"payload: ", p.error()}));
  const JsonValue* aud = payload.value().find("aud");

  if (*iss != policy.issuer) return Result::failure("wrong issuer");
  if (aud == nullptr || !audienceMatches(*aud, policy.audience)) return Result::failure("wrong audience");
  // Comparisons keep `now` on one side so extreme claim values cannot overflow.
  if (*exp <= policy.now - policy.leeway) return Result::failure("expired");
  if (*iat > policy.now + policy.leeway || (nbf && *nbf > policy.now + policy.leeway)) {
    return Result::failure("issued in the future");
  }
  if (policy.maxLifetime > 0 && *exp - policy.maxLifetime > *iat) return Result::failure("lifetime too long");
  if (sub->empty() || sub->size() > kMaxClaimText) return Result::failure("subject empty or too long");
  if (jti && (jti->empty() || jti->size() > kMaxClaimText)) return Result::failure("jti empty or too long");
  return Claims{*sub, jti.value_or(""), *exp};
}

}  // namespace orvane::server::jws
