#include "OrvaneServer/auth/Auth.h"

#include <fstream>
#include <mutex>
#include <stdexcept>

#include "OrvaneCore/json/JsonReader.h"
#include "OrvaneCore/json/JsonWriter.h"
#include "OrvaneCore/net/Tls.h"
#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneServer/auth/Jws.h"
#include "OrvaneServer/auth/LocalKey.h"
#include "OrvaneServer/auth/PostgresStore.h"
#include "OrvaneServer/auth/Store.h"

namespace orvane::server {
namespace {

constexpr std::string_view kLocalIssuer = "orvane-signal";
constexpr std::string_view kLocalAudience = "orvane";
constexpr std::string_view kAppleIssuer = "https://appleid.apple.com";
constexpr std::size_t kMaxFieldBytes = 256;
constexpr std::size_t kMaxUserNameBytes = 256;
constexpr std::size_t kSessionTokenBytes = 32;
constexpr std::size_t kMaxJwksFileBytes = 1 << 20;

const Clock& clockOr(const Clock* clock) {
  static const SystemClock system;
  return clock != nullptr ? *clock : system;
}

std::int64_t unixSeconds(const Clock& clock) {
  return std::chrono::duration_cast<std::chrono::seconds>(clock.wallNow().time_since_epoch()).count();
}

std::string toText(const std::array<unsigned char, 32>& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

// The stored form of a session token, for text shaped like one we issued.
std::optional<std::string> sessionHash(std::string_view token) {
  if (token.size() != (kSessionTokenBytes * 4 + 2) / 3) return std::nullopt;
  const std::optional<std::string> raw = jws::base64UrlDecode(token);
  if (!raw || raw->size() != kSessionTokenBytes) return std::nullopt;
  return toText(jws::sha256(token));
}

HttpReply errorReply(unsigned status, std::string_view code) {
  JsonWriter w;
  w.beginObject();
  w.key("error");
  w.string(code);
  w.endObject();
  return {status, std::move(w).finish().value_or("{}")};
}

// An unreachable database is worth retrying; anything else is our fault.
HttpReply storeFailure(const std::exception& e) {
  const auto* typed = dynamic_cast<const StoreError*>(&e);
  if (typed != nullptr && typed->kind() == StoreError::Kind::unavailable) return errorReply(503, "unavailable");
  return errorReply(500, "server_error");
}

// Names end up in host lists and logs: no control characters.
bool isPlainText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::string jsonString(std::string_view text) {
  JsonWriter w;
  w.string(text);
  return std::move(w).finish().value_or("");
}

struct ExchangeRequest {
  std::string identityToken;
  std::string deviceId;
  std::string role;
  std::string deviceName;
};

DecodeResult<ExchangeRequest> decodeExchange(std::string_view body) {
  using Result = DecodeResult<ExchangeRequest>;
  if (body.size() > kMaxAuthRequestBytes) return Result::failure("body too large");
  DecodeResult<JsonValue> parsed = parseJsonObject(body, JsonLimits{kMaxAuthRequestBytes, 4});
  if (!parsed) return Result::failure(parsed.error());
  const JsonValue::Object& object = *parsed.value().asObject();
  JsonObjectReader r(object);
  ExchangeRequest request{r.requireString("appleIdentityToken").value_or(""), r.requireString("deviceId").value_or(""),
                          r.requireString("role").value_or(""), r.requireString("deviceName").value_or("")};
  if (!r) return Result::failure(r.error());
  if (object.size() != 4) return Result::failure("unexpected members");
  if (request.role != "mac" && request.role != "pad") return Result::failure("unknown role");
  if (request.deviceId.empty() || request.deviceId.size() > kMaxFieldBytes || !isPlainText(request.deviceId)) {
    return Result::failure("bad deviceId");
  }
  if (request.deviceName.size() > kMaxFieldBytes || !isPlainText(request.deviceName)) {
    return Result::failure("bad deviceName");
  }
  return request;
}

std::string readJwksFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the JWKS file " + file.string());
  std::string text;
  text.resize(kMaxJwksFileBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (in.bad()) throw std::runtime_error("cannot read the JWKS file " + file.string());
  return text;
}

struct Verifier {
  jws::Alg alg;
  std::string issuer;
  std::string audience;
  jws::KeySet keys;
  std::int64_t maxLifetime = 0;
  bool oneTime = false;  // invites: the jti is required and consumed

  jws::Policy policyAt(std::int64_t now) const {
    jws::Policy policy;
    policy.alg = alg;
    policy.keys = &keys;
    policy.issuer = issuer;
    policy.audience = audience;
    policy.now = now;
    policy.maxLifetime = maxLifetime;
    policy.requireJti = oneTime;
    return policy;
  }
};

Verifier appleVerifier(const AuthOptions& options) {
  if (options.audience.empty()) throw std::runtime_error("apple mode needs the audience (the app's bundle id)");
  if (options.jwksFile.empty()) throw std::runtime_error("apple mode needs a JWKS file with Apple's public keys");
  DecodeResult<jws::KeySet> keys = jws::parseJwks(readJwksFile(options.jwksFile));
  if (!keys) throw std::runtime_error("the JWKS file " + options.jwksFile.string() + " is invalid: " + keys.error());
  return {jws::Alg::RS256, std::string(kAppleIssuer), options.audience, std::move(keys).value()};
}

Verifier localVerifier(const std::filesystem::path& dataDir) {
  LocalKey local = loadOrCreateLocalKey(dataDir);
  jws::KeySet keys;
  keys.emplace(std::move(local.kid), std::move(local.key));
  return {jws::Alg::ES256, std::string(kLocalIssuer), std::string(kLocalAudience), std::move(keys),
          kMaxInviteTtl.count(), true};
}

std::unique_ptr<AccountStore> openStore(const AuthOptions& options) {
  if (options.database.empty()) return std::make_unique<Store>(options.dataDir / kDatabaseFile);
  PostgresOptions postgres;
  postgres.url = options.database;
  postgres.clock = options.clock;
  return std::make_unique<PostgresStore>(std::move(postgres));
}

class AuthImpl final : public Auth {
 public:
  AuthImpl(const AuthOptions& options, Verifier verifier)
      : clock_(clockOr(options.clock)),
        log_("com.kelbrin.Orvane.Server", "auth", options.logSink != nullptr ? *options.logSink : systemLogSink()),
        verifier_(std::move(verifier)),
        store_(openStore(options)) {}

  HttpReply exchange(std::string_view body) override {
    DecodeResult<ExchangeRequest> request = decodeExchange(body);
    if (!request) {
      log_.info("sign-in refused: %{public}s", request.error());
      return errorReply(400, "bad_request");
    }
    const ExchangeRequest& req = request.value();
    const std::int64_t now = unixSeconds(clock_);
    DecodeResult<jws::Claims> claims = jws::verifyJwt(req.identityToken, verifier_.policyAt(now));
    if (!claims) {
      log_.info("sign-in refused: identity token %{public}s", claims.error());
      return errorReply(401, "unauthorized");
    }
    try {
      const std::string token = jws::base64UrlEncode(jws::randomBytes(kSessionTokenBytes));
      const std::string hash = toText(jws::sha256(token));
      std::optional<std::string> userId;
      {
        std::lock_guard lock(mutex_);
        userId = store_->issueSession({verifier_.issuer, claims.value().subject,
                                      verifier_.oneTime ? std::string_view(claims.value().jti) : std::string_view(),
                                      claims.value().expires, hash, req.deviceId, req.role, req.deviceName, now});
      }
      if (!userId) {
        log_.info("sign-in refused: invite already used");
        return errorReply(401, "unauthorized");
      }
      log_.info("signed in %{public}s device %{public}s for user %{public}s", req.role, req.deviceId, *userId);
      JsonWriter w;
      w.beginObject();
      w.key("sessionToken");
      w.string(token);
      w.key("userId");
      w.string(*userId);
      w.endObject();
      return {200, std::move(w).finish().value_or("")};
    } catch (const std::exception& e) {
      log_.error("sign-in failed: %{public}s", e.what());
      return storeFailure(e);
    }
  }

  HttpReply deleteAccount(std::string_view authorization) override {
    const std::optional<std::string_view> token = bearerToken(authorization);
    const std::optional<std::string> hash = token ? sessionHash(*token) : std::nullopt;
    if (!hash) return errorReply(401, "unauthorized");
    AccountStore::DeleteResult result;
    try {
      std::lock_guard lock(mutex_);
      result = store_->deleteAccount(*hash, unixSeconds(clock_));
    } catch (const std::exception& e) {
      log_.error("account deletion failed: %{public}s", e.what());
      return storeFailure(e);
    }
    switch (result.outcome) {
      case AccountStore::Deletion::unknownToken:
        return errorReply(401, "unauthorized");
      case AccountStore::Deletion::alreadyGone:
        return errorReply(404, "not_found");
      case AccountStore::Deletion::deleted:
        break;
    }
    log_.notice("deleted user %{public}s", result.userId);
    // Outside the lock: the handler may well call back into authenticate().
    if (onUserRevoked) {
      try {
        onUserRevoked(result.userId);
      } catch (const std::exception& e) {
        log_.error("revocation handler failed: %{public}s", e.what());
      }
    }
    return {200, "{}"};
  }

  std::optional<SessionIdentity> authenticate(std::string_view sessionToken) override {
    const std::optional<std::string> hash = sessionHash(sessionToken);
    if (!hash) return std::nullopt;
    try {
      std::lock_guard lock(mutex_);
      return store_->findSession(*hash);
    } catch (const std::exception& e) {
      // Not a verdict on the token: the caller must not count it as a bad one.
      log_.error("session lookup failed: %{public}s", e.what());
      throw;
    }
  }

 private:
  const Clock& clock_;
  Logger log_;
  const Verifier verifier_;
  std::mutex mutex_;  // one database connection, used by one thread at a time
  std::unique_ptr<AccountStore> store_;
};

}  // namespace

std::unique_ptr<Auth> makeAuth(const AuthOptions& options) {
  net::initOpenSsl();
  prepareDataDir(options.dataDir);
  Verifier verifier =
      options.mode == IdentityMode::apple ? appleVerifier(options) : localVerifier(options.dataDir);
  return std::make_unique<AuthImpl>(options, std::move(verifier));
}

std::string makeInvite(const InviteOptions& options) {
  if (options.user.empty() || options.user.size() > kMaxUserNameBytes || !isPlainText(options.user)) {
    throw std::runtime_error("the user name must be 1 to 256 characters without control characters");
  }
  // The JSON writer repairs bad UTF-8 as U+FFFD, which would fold distinct
  // names into one account: the name must come back from JSON unchanged.
  const DecodeResult<JsonValue> echoed = parseJson(jsonString(options.user));
  if (!echoed || echoed.value().asString() == nullptr || *echoed.value().asString() != options.user) {
    throw std::runtime_error("the user name is not valid UTF-8");
  }
  if (options.ttl.count() <= 0 || options.ttl > kMaxInviteTtl) {
    throw std::runtime_error("an invite lives more than 0 seconds and at most a day");
  }
  net::initOpenSsl();
  prepareDataDir(options.dataDir);
  const LocalKey key = loadOrCreateLocalKey(options.dataDir);
  const std::int64_t now = unixSeconds(clockOr(options.clock));

  JsonWriter header;
  header.beginObject();
  header.key("alg");
  header.string(jws::algName(jws::Alg::ES256));
  header.key("typ");
  header.string("JWT");
  header.key("kid");
  header.string(key.kid);
  header.endObject();
  JsonWriter payload(256);
  payload.beginObject();
  payload.key("iss");
  payload.string(kLocalIssuer);
  payload.key("aud");
  payload.string(kLocalAudience);
  payload.key("sub");
  payload.string(options.user);
  payload.key("iat");
  payload.integer(now);
  payload.key("exp");
  payload.integer(now + options.ttl.count());
  payload.key("jti");
  payload.string(jws::base64UrlEncode(jws::randomBytes(16)));
  payload.endObject();
  const std::string headerJson = std::move(header).finish().value_or("");
  const std::string payloadJson = std::move(payload).finish().value_or("");
  std::optional<std::string> token = jws::signCompact(jws::Alg::ES256, key.key.get(), headerJson, payloadJson);
  if (!token) throw std::runtime_error("cannot sign the invite");
  return *token;
}

std::optional<std::string_view> bearerToken(std::string_view value) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  while (!value.empty() && isSpace(value.front())) value.remove_prefix(1);
  while (!value.empty() && isSpace(value.back())) value.remove_suffix(1);
  constexpr std::string_view kScheme = "bearer";
  if (value.size() <= kScheme.size() || !isSpace(value[kScheme.size()])) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    const char c = value[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kScheme[i]) return std::nullopt;
  }
  value.remove_prefix(kScheme.size());
  while (!value.empty() && isSpace(value.front())) value.remove_prefix(1);
  for (char c : value) {
    if (isSpace(c)) return std::nullopt;
  }
  return value;
}

}  // namespace orvane::server
