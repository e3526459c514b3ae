#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace orvane {

using namespace std::chrono_literals;

namespace {

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

// Characters as a reader counts them (code points), not bytes.
std::size_t characterCount(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// A session gathers a few dozen candidates; records written without end must
// not grow the delivered set without end.
constexpr std::size_t kMaxCandidatesPerSession = 4096;

// Lines carry names read from a shared store: one stored value must stay one
// bounded line and cannot forge others.
constexpr std::size_t kMaxLineBytes = 1024;

void printLine(const Console& console, std::string_view line) {
  std::string out;
  out.reserve(std::min(line.size(), kMaxLineBytes) + 3);
  for (char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
  }
  if (out.size() > kMaxLineBytes) {
    std::size_t cut = kMaxLineBytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    out += "\u2026";
  }
  console.print(out);
}

double ageSeconds(WallTime now, WallTime then) {
  const auto a = now.time_since_epoch().count();
  const auto b = then.time_since_epoch().count();
  WallTime::rep difference;
  if (!__builtin_sub_overflow(a, b, &difference)) {
    return std::chrono::duration<double>(WallTime::duration(difference)).count();
  }
  return std::chrono::duration<double>(now.time_since_epoch()).count() -
         std::chrono::duration<double>(then.time_since_epoch()).count();
}

std::string wholeSeconds(double seconds) {
  constexpr double kLimit = 9.2e18;  // inside the 64-bit range
  const double clamped = std::isnan(seconds) ? 0.0 : std::clamp(std::trunc(seconds), -kLimit, kLimit);
  return std::to_string(static_cast<long long>(clamped));
}

// The candidate of a record; nothing when its fields are missing or not what
// a candidate holds (an index beyond 32 bits, a non-text mid).
std::optional<ICECandidateInfo> readCandidate(const CKRecord& record) {
  auto sdp = record.string("sdp");
  if (!sdp) return std::nullopt;
  ICECandidateInfo candidate{*sdp, 0, std::nullopt};
  if (const CKValue* index = record.value("sdpMLineIndex")) {
    if (const auto* narrow = std::get_if<std::int32_t>(index)) {
      candidate.sdpMLineIndex = *narrow;
    } else if (const auto* wide = std::get_if<std::int64_t>(index);
               wide && *wide >= std::numeric_limits<std::int32_t>::min() &&
               *wide <= std::numeric_limits<std::int32_t>::max()) {
      candidate.sdpMLineIndex = static_cast<std::int32_t>(*wide);
    } else {
      return std::nullopt;
    }
  }
  if (const CKValue* mid = record.value("sdpMid")) {
    const auto* text = std::get_if<std::string>(mid);
    if (!text) return std::nullopt;
    candidate.sdpMid = *text;
  }
  return candidate;
}

// The service behind a weak reference, as a plain pointer for the rest of one
// synchronous step; null once it is gone.
CloudKitSignalingService* alive(const std::weak_ptr<CloudKitSignalingService>& weak) { return weak.lock().get(); }

// Built outside the coroutines. GCC 12 miscompiles a braced temporary (an
// initializer list or an aggregate) inside a co_await expression: arguments
// of awaited calls are always named values or function results.
CKQuery hostQuery() {
  return CKQuery{std::string(CloudKitSignalingService::hostRecordType), CKPredicate::format("hostID != %@", {std::string()})};
}

CKQuery sessionQuery(const std::string& sessionName) {
  return CKQuery{std::string(CloudKitSignalingService::sessionRecordType),
                 CKPredicate::format("sessionID == %@", {sessionName})};
}

// All candidates of the session, or only those one role wrote.
CKQuery candidateQuery(const std::string& sessionName, std::optional<std::string> fromRole) {
  return CKQuery{std::string(CloudKitSignalingService::candidateRecordType),
                 fromRole ? CKPredicate::format("sessionID == %@ AND fromRole == %@", {sessionName, *fromRole})
                          : CKPredicate::format("sessionID == %@", {sessionName})};
}

}  // namespace

// The outcome of one database operation: its value or its error.
template <typename T>
struct CloudKitSignalingService::Attempt {
  std::optional<T> value;
  std::exception_ptr error;
  explicit operator bool() const { return value.has_value(); }
  std::string describe() const { return orvane::describe(error); }
};

// Awaits an operation of db_ and catches its error. When the service is gone
// by the time it completes, the calling task ends as if cancelled: every
// await of the service's coroutines goes through here or re-checks itself.
template <typename T>
Task<CloudKitSignalingService::Attempt<T>> CloudKitSignalingService::call(Task<T> operation) {
  auto weak = weak_from_this();
  auto db = db_;  // the operation's own object outlives the service if need be
  Attempt<T> result;
  try {
    result.value.emplace(co_await std::move(operation));
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    result.error = std::current_exception();
  }
  if (weak.expired()) throw TaskCancelled();
  co_return result;
}

template <typename Fn>
bool CloudKitSignalingService::deliver(std::uint64_t generation, Fn&& fire) {
  std::weak_ptr<CloudKitSignalingService> weak = weak_from_this();
  {
    auto keep = shared_from_this();
    fire();
  }
  auto self = weak.lock();
  return self && generation_ == generation;
}

std::shared_ptr<CloudKitSignalingService> CloudKitSignalingService::create(
    std::shared_ptr<CloudKitDatabaseProtocol> db, SignalingRole role, std::string hostID, std::string machineName,
    Executor& executor, std::shared_ptr<NotificationCenter> notifications, Console console) {
  return std::make_shared<CloudKitSignalingService>(Passkey{}, std::move(db), role, std::move(hostID),
                                                    std::move(machineName), executor, std::move(notifications),
                                                    console);
}

CloudKitSignalingService::CloudKitSignalingService(Passkey, std::shared_ptr<CloudKitDatabaseProtocol> db,
                                                   SignalingRole role, std::string hostID, std::string machineName,
                                                   Executor& executor,
                                                   std::shared_ptr<NotificationCenter> notifications,
                                                   Console console)
    : db_(std::move(db)),
      role_(role),
      hostID_(std::move(hostID)),
      machineName_(std::move(machineName)),
      zoneID_{std::string(zoneName), std::string(kCKCurrentUserDefaultName)},
      executor_(executor),
      notifications_(notifications ? std::move(notifications) : std::make_shared<NotificationCenter>()),
      console_(console) {}

CloudKitSignalingService::~CloudKitSignalingService() = default;

void CloudKitSignalingService::say(std::string_view line) const { printLine(console_, line); }

std::string CloudKitSignalingService::loadOrCreateHostID(UserDefaults& defaults) {
  const std::string key(hostIDDefaultsKey);
  // An empty identifier would give every such host the same record names.
  if (auto stored = defaults.string(key); stored && !stored->empty()) return *stored;
  std::string id = makeUUIDString();
  defaults.set(key, id);
  return id;
}

// ---- Discovery ----

Task<std::vector<HostInfo>> CloudKitSignalingService::discoverHosts(std::shared_ptr<CloudKitDatabaseProtocol> db,
                                                                    const Clock& clock, Console console) {
  CKQueryResult result;
  try {
    CKRecordZoneID zone{std::string(zoneName)};
    result = co_await db->queryRecords(hostQuery(), zone);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    printLine(console, "[Orvane] discoverHosts: query error: " + describe(std::current_exception()));
    co_return std::vector<HostInfo>{};
  }
  printLine(console, "[Orvane] discoverHosts: " + std::to_string(result.matchResults.size()) + " record(s) found");
  std::vector<HostInfo> hosts;
  const WallTime now = clock.wallNow();
  for (const auto& match : result.matchResults) {
    const std::string& name = match.recordID.recordName;
    if (const CloudKitError* error = match.error()) {
      printLine(console, "[Orvane] discoverHosts: record " + name + " fetch error: " + error->what());
      continue;
    }
    const CKRecord& record = *match.record();
    auto hostID = record.string("hostID");
    if (!hostID) {
      printLine(console, "[Orvane] discoverHosts: missing hostID on " + name);
      continue;
    }
    auto machineName = record.string("machineName");
    if (!machineName) {
      printLine(console, "[Orvane] discoverHosts: missing machineName on " + name);
      continue;
    }
    auto lastSeen = record.date("lastSeen");
    if (!lastSeen) {
      printLine(console, "[Orvane] discoverHosts: missing/wrong-type lastSeen on " + name);
      continue;
    }
    const double age = ageSeconds(now, *lastSeen);
    if (age < hostMaxAgeSeconds) {
      printLine(console, "[Orvane] discoverHosts: accepted host '" + *machineName + "' age=" + wholeSeconds(age) + "s");
      hosts.push_back(HostInfo{*hostID, *machineName, *lastSeen});
    } else {
      printLine(console, "[Orvane] discoverHosts: skipped host '" + *machineName +
                             "' \u2014 too stale (age=" + wholeSeconds(age) + "s)");
    }
  }
  std::stable_sort(hosts.begin(), hosts.end(), [](const HostInfo& a, const HostInfo& b) { return a.lastSeen > b.lastSeen; });
  co_return hosts;
}

Task<std::vector<HostInfo>> CloudKitSignalingService::listHosts() {
  co_return co_await discoverHosts(db_, executor_.clock(), console_);
}

// ---- Host registration ----

Task<void> CloudKitSignalingService::registerHost() {
  const std::string name = machineName_.empty() ? "Mac" : machineName_;
  auto hosts = co_await call(db_->queryRecords(hostQuery(), zoneID_));
  if (hosts) {
    for (const auto& match : hosts.value->matchResults) {
      const CKRecord* record = match.record();
      if (!record) continue;
      auto otherName = record->string("machineName");
      auto otherID = record->string("hostID");
      if (!otherName || !otherID || *otherName != name || *otherID == hostID_) continue;
      // The record itself, not the name its hostID suggests: a stray record
      // must not take another host's registration with it.
      co_await call(db_->deleteRecord(record->recordID()));
      say("[Orvane:mac] registerHost: deleted stale record hostID=" + *otherID);
    }
  }
  auto fetched = co_await call(db_->fetchRecord(hostRecordID()));
  std::optional<CKRecord> record;
  if (fetched && fetched.value->recordType() == hostRecordType) {
    record = std::move(fetched.value);
  } else {
    record.emplace(std::string(hostRecordType), hostRecordID());
  }
  record->set("hostID", hostID_);
  record->set("machineName", name);
  record->set("lastSeen", executor_.wallNow());
  auto saved = co_await call(db_->saveRecord(std::move(*record)));
  if (saved) {
    say("[Orvane:mac] registerHost: " + name + ", hostID=" + hostID_);
  } else {
    say("[Orvane:mac] registerHost: FAILED: " + saved.describe());
  }
}

void CloudKitSignalingService::refreshHostRegistration() {
  spawnDetached(executor_, [weak = weak_from_this()]() -> Task<void> {
    if (auto* self = alive(weak)) co_await self->registerHost();
  });
}

Task<void> CloudKitSignalingService::saveSubscription() {
  const CKDatabaseSubscription subscription{std::string(subscriptionID), true};
  auto saved = co_await call(db_->saveSubscription(subscription));
  if (!saved) say("[Orvane] CKDatabaseSubscription save failed: " + saved.describe());
}

// ---- Polling ----

void CloudKitSignalingService::start() {
  if (role_ == SignalingRole::mac) startPolling();
}

void CloudKitSignalingService::stop() { stopPolling(true); }

void CloudKitSignalingService::startPolling() {
  say(std::string(tag()) + " startPolling() hostID=" + hostID_ + ", sessionRecord=" + sessionRecordName());
  stopPolling(false);  // a second start replaces the running loops instead of doubling them
  deliveredICEIDs_.clear();
  answerDelivered_ = offerDelivered_ = connectionRequestDelivered_ = offerSent_ = false;

  std::weak_ptr<CloudKitSignalingService> weak = weak_from_this();
  notificationObserver_ = notifications_->addObserver(std::string(pushNotificationName), &executor_, [weak] {
    if (auto* self = alive(weak)) self->spawnPoll();
  });
  startupTask_ = spawn(executor_, [weak]() -> Task<void> {
    if (auto* self = alive(weak)) co_await self->startup();
  });
  pollingTask_ = spawn(executor_, [weak]() -> Task<void> {
    for (;;) {
      co_await sleepFor(pollInterval);
      auto* self = alive(weak);
      if (!self) co_return;
      co_await self->poll();
    }
  });
  if (role_ == SignalingRole::mac) {
    heartbeatTask_ = spawn(executor_, [weak]() -> Task<void> {
      for (;;) {
        co_await sleepFor(heartbeatInterval);
        auto* self = alive(weak);
        if (!self) co_return;
        co_await self->registerHost();
      }
    });
  }
}

void CloudKitSignalingService::stopPolling(bool removeHostRecord) {
  ++generation_;
  startupTask_.cancel();
  pollingTask_.cancel();
  heartbeatTask_.cancel();
  pushPolls_.clear();
  pushPollQueued_ = false;
  notificationObserver_.reset();
  if (removeHostRecord && role_ == SignalingRole::mac) {
    spawnDetached(executor_, [db = db_, id = hostRecordID()]() -> Task<void> {
      try {
        co_await db->deleteRecord(id);
      } catch (const std::exception&) {
      }
    });
  }
}

void CloudKitSignalingService::spawnPoll() {
  // A poll that has not started yet will read everything this push announces.
  if (pushPollQueued_) return;
  pushPollQueued_ = true;
  std::erase_if(pushPolls_, [](const TaskHandle& handle) { return !handle.running(); });
  pushPolls_.push_back(spawn(executor_, [weak = weak_from_this()]() -> Task<void> {
    auto* self = alive(weak);
    if (!self) co_return;
    self->pushPollQueued_ = false;
    co_await self->poll();
  }));
}

Task<void> CloudKitSignalingService::startup() {
  const CKRecordZone zone{zoneID_};
  co_await call(db_->saveZone(zone));
  if (role_ == SignalingRole::mac) {
    co_await registerHost();
    co_await saveSubscription();
  }
  co_await poll();
}

Task<void> CloudKitSignalingService::poll() {
  const std::uint64_t generation = generation_;
  const CKRecordID sessionID = sessionRecordID();
  std::optional<CKRecord> session;
  auto fetched = co_await call(db_->fetchRecord(sessionID));
  if (generation != generation_) co_return;
  if (fetched) {
    session = std::move(fetched.value);
  } else {
    say(std::string(tag()) + " poll: fetch error (" + fetched.describe() + "), trying query fallback");
    CKQuery query = sessionQuery(sessionID.recordName);
    auto found = co_await call(db_->queryRecords(std::move(query), zoneID_));
    if (generation != generation_) co_return;
    if (found && !found.value->matchResults.empty()) {
      if (const CKRecord* record = found.value->matchResults.front().record()) session = *record;
    }
  }

  if (session && role_ == SignalingRole::mac) {
    const std::string offer = session->string("offerSDP").value_or("");
    if (!connectionRequestDelivered_ && offer.empty()) {
      connectionRequestDelivered_ = true;
      say("[Orvane:mac] poll: connection request received");
      if (!deliver(generation, [this] {
            if (onConnectionRequested) onConnectionRequested();
          })) {
        co_return;
      }
    }
    if (!answerDelivered_ && offerSent_) {
      auto answer = session->string("answerSDP");
      if (answer && !answer->empty()) {
        answerDelivered_ = true;
        say("[Orvane:mac] poll: delivering answer");
        if (!deliver(generation, [this, &answer] {
              if (onMessage) onMessage(SignalingMessage::Answer{*answer});
            })) {
          co_return;
        }
      }
    }
  } else if (session && !offerDelivered_) {
    auto offer = session->string("offerSDP");
    if (offer && !offer->empty()) {
      say(std::string(tag()) + " poll: offer found (len=" + std::to_string(characterCount(*offer)) +
          ", changeTag=" + session->recordChangeTag().value_or("nil") + "), delivering");
      offerDelivered_ = true;
      if (!deliver(generation, [this, &offer] {
            if (onMessage) onMessage(SignalingMessage::Offer{*offer});
          })) {
        co_return;
      }
    }
  }
  co_await pollCandidates(generation);
}

Task<void> CloudKitSignalingService::pollCandidates(std::uint64_t generation) {
  const std::string otherRole = role_ == SignalingRole::mac ? "pad" : "mac";
  CKQuery query = candidateQuery(sessionRecordName(), otherRole);
  auto found = co_await call(db_->queryRecords(std::move(query), zoneID_));
  if (generation != generation_) co_return;
  if (!found) {
    say(std::string(tag()) + " poll: ICE query error: " + found.describe());
    co_return;
  }
  std::size_t delivered = 0;
  for (const auto& match : found.value->matchResults) {
    const CKRecord* record = match.record();
    if (!record || deliveredICEIDs_.count(record->recordID()) != 0) continue;
    if (deliveredICEIDs_.size() >= kMaxCandidatesPerSession) break;
    auto candidate = readCandidate(*record);
    if (!candidate) continue;
    deliveredICEIDs_.insert(record->recordID());
    ++delivered;
    if (!deliver(generation, [this, &candidate] {
          if (onMessage) onMessage(SignalingMessage::IceCandidate{*candidate});
        })) {
      co_return;
    }
  }
  if (delivered > 0) {
    say(std::string(tag()) + " poll: delivered " + std::to_string(delivered) + " new ICE candidate(s) (total seen: " +
        std::to_string(deliveredICEIDs_.size()) + ")");
  }
}

void CloudKitSignalingService::resetConnectionRequest() {
  connectionRequestDelivered_ = false;
  say("[Orvane:mac] resetConnectionRequest: will retry on next poll");
}

// ---- Session exchange ----

Task<void> CloudKitSignalingService::sendConnectionRequest(HostInfo host) {
  hostID_ = host.id;
  auto weak = weak_from_this();
  const CKRecordZone zone{zoneID_};
  co_await call(db_->saveZone(zone));
  co_await clearSessionRecords(db_, sessionRecordID());
  if (weak.expired()) throw TaskCancelled();
  CKRecord record(std::string(sessionRecordType), sessionRecordID());
  record.set("offerSDP", std::string());
  record.set("answerSDP", std::string());
  record.set("sessionID", sessionRecordName());
  auto saved = co_await call(db_->saveRecord(std::move(record)));
  if (!saved) std::rethrow_exception(saved.error);
  say("[Orvane:pad] sendConnectionRequest: request written for host " + hostID_);
  startPolling();
}

Task<void> CloudKitSignalingService::sendOffer(std::string sdp) {
  say("[Orvane:mac] sendOffer: sdpLen=" + std::to_string(characterCount(sdp)));
  co_await writeSessionField("offerSDP", std::move(sdp));
}

Task<void> CloudKitSignalingService::sendAnswer(std::string sdp) { co_await writeSessionField("answerSDP", std::move(sdp)); }

Task<void> CloudKitSignalingService::writeSessionField(std::string key, std::string sdp) {
  static constexpr Seconds kRetryDelays[] = {1s, 2s, 4s};
  const bool offer = key == "offerSDP";
  const std::string prefix = offer ? "[Orvane:mac] sendOffer: " : "[Orvane:pad] sendAnswer: ";
  const std::uint64_t generation = generation_;
  // Only the fields set here are written, so the other side's stays.
  CKRecord record(std::string(sessionRecordType), sessionRecordID());
  record.set(key, std::move(sdp));
  if (offer) record.set("sessionID", sessionRecordName());
  auto weak = weak_from_this();
  for (int attempt = 1;; ++attempt) {
    auto saved = co_await call(db_->upsert(record, CKSavePolicy::changedKeys));
    if (saved) {
      if (offer) {
        say(prefix + "OK (attempt " + std::to_string(attempt) +
            "), changeTag=" + saved.value->recordChangeTag().value_or("nil"));
        // An offer of an attempt that has since been reset does not arm the new one.
        if (generation == generation_) offerSent_ = true;
      } else {
        say(prefix + "OK (attempt " + std::to_string(attempt) + ")");
      }
      co_return;
    }
    say(prefix + "attempt " + std::to_string(attempt) + " failed: " + saved.describe());
    if (attempt == 4) std::rethrow_exception(saved.error);
    co_await sleepFor(kRetryDelays[attempt - 1]);
    if (weak.expired()) throw TaskCancelled();
    say(prefix + "retry " + std::to_string(attempt) + "/3\u2026");
  }
}

Task<void> CloudKitSignalingService::sendICECandidate(ICECandidateInfo candidate) {
  CKRecord record(std::string(candidateRecordType), CKRecordID{makeUUIDString(), zoneID_});
  record.set("sessionID", sessionRecordName());
  record.set("sdp", candidate.sdp);
  record.set("sdpMLineIndex", candidate.sdpMLineIndex);
  if (candidate.sdpMid) record.set("sdpMid", *candidate.sdpMid);
  record.set("fromRole", std::string(toString(role_)));
  auto saved = co_await call(db_->saveRecord(std::move(record)));
  if (!saved) std::rethrow_exception(saved.error);
}

Task<void> CloudKitSignalingService::clearSessionRecords(std::shared_ptr<CloudKitDatabaseProtocol> db,
                                                         CKRecordID session) {
  try {
    co_await db->deleteRecord(session);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }
  CKQueryResult candidates;
  try {
    CKQuery query = candidateQuery(session.recordName, std::nullopt);
    candidates = co_await db->queryRecords(std::move(query), session.zoneID);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    co_return;
  }
  for (const auto& match : candidates.matchResults) {
    try {
      co_await db->deleteRecord(match.recordID);
    } catch (const TaskCancelled&) {
      throw;
    } catch (...) {
    }
  }
}

Task<void> CloudKitSignalingService::clearSession() { co_await clearSessionRecords(db_, sessionRecordID()); }

Task<void> CloudKitSignalingService::resetForNextSession() {
  auto weak = weak_from_this();
  co_await clearSessionRecords(db_, sessionRecordID());
  if (weak.expired()) co_return;
  // The host's record stays: polling restarts at once and registers again,
  // and a deletion still in flight could land after that registration.
  stopPolling(false);
  if (role_ == SignalingRole::mac) startPolling();
}

}  // namespace orvane
