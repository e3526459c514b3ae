#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneCore/json/DecodeResult.h"

// Compact JWS/JWT over OpenSSL: the few primitives the auth library needs,
// each strict about its input because every token arrives from the network.
namespace orvane::server::jws {

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Base64url without padding. Decoding refuses padding, other alphabets and
// non-zero trailing bits, so every byte string has exactly one accepted text.
std::string base64UrlEncode(std::string_view bytes);
std::optional<std::string> base64UrlDecode(std::string_view text);

std::array<unsigned char, 32> sha256(std::string_view bytes);
// Throws std::runtime_error when the generator fails; never falls back.
std::string randomBytes(std::size_t count);
bool constantTimeEqual(std::string_view a, std::string_view b);

enum class Alg { ES256, RS256 };
std::string_view algName(Alg alg);

// Signatures in their JWS form: ES256 is r||s (64 bytes), not DER. Both
// refuse a key of the wrong type or curve, so an algorithm never meets a key
// meant for another.
std::optional<std::string> sign(Alg alg, EVP_PKEY* key, std::string_view input);
bool verify(Alg alg, EVP_PKEY* key, std::string_view input, std::string_view signature);

// "header.payload.signature" from the two JSON texts.
std::optional<std::string> signCompact(Alg alg, EVP_PKEY* key, std::string_view headerJson,
                                       std::string_view payloadJson);

// Verification keys by "kid".
using KeySet = std::map<std::string, Pkey, std::less<>>;

// The usable RS256 keys of a JWKS document. Entries of other types or uses
// are skipped; a malformed RSA entry, a short modulus or a repeated kid fails
// the whole document, as does a document with no usable key.
DecodeResult<KeySet> parseJwks(std::string_view text);

inline constexpr std::size_t kMaxTokenBytes = 16 * 1024;

struct Policy {
  Alg alg = Alg::ES256;
  const KeySet* keys = nullptr;
  std::string_view issuer;
  std::string_view audience;
  std::int64_t now = 0;  // Unix seconds
  std::int64_t leeway = 60;
  std::int64_t maxLifetime = 0;  // exp - iat at most this; 0 = no bound
  bool requireJti = false;
};

struct Claims {
  std::string subject;
  std::string jti;  // empty when the token has none
  std::int64_t expires = 0;
};

// Checks a compact JWT against the policy; the failure names the first
// check that failed and never quotes the token.
DecodeResult<Claims> verifyJwt(std::string_view token, const Policy& policy);

}  // namespace orvane::server::jws
