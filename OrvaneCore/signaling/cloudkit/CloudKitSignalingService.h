#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/NotificationCenter.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneCore/signaling/SignalingService.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitDatabase.h"

namespace orvane {

// Signalling through records of a shared database instead of a server: the
// host advertises itself with an "SDKHost" record; a pad asks for a session
// by writing an empty "SDKSession" record; the host polls it, writes its
// offer into it, the pad polls the offer and writes its answer, and both
// write one "ICECandidate" record per candidate and poll for the other's.
// Polls run every second, and at once on a push ("OrvaneCKSignalingPush" on
// the notification centre). Everything runs on the given executor (the main
// actor); tasks hold the service weakly. Create it with create().
class CloudKitSignalingService final : public SignalingServiceProtocol,
                                       public std::enable_shared_from_this<CloudKitSignalingService> {
  struct Passkey {};

 public:
  static constexpr std::string_view containerIdentifier = "iCloud.com.kelbrin.Orvane";
  static constexpr std::string_view zoneName = "Orvane";
  static constexpr std::string_view subscriptionID = "orvane-db";
  static constexpr std::string_view pushNotificationName = "OrvaneCKSignalingPush";
  static constexpr std::string_view hostIDDefaultsKey = "OrvaneHostID";
  static constexpr std::string_view hostRecordType = "SDKHost";
  static constexpr std::string_view sessionRecordType = "SDKSession";
  static constexpr std::string_view candidateRecordType = "ICECandidate";
  static constexpr Seconds pollInterval{1.0};
  static constexpr Seconds heartbeatInterval{30.0};
  // A live host re-registers every 30 s; a record this old missed ~20 beats.
  static constexpr double hostMaxAgeSeconds = 600.0;

  // `hostID` is the host's identifier (empty for a pad until it picks a
  // host). `notifications` carries the pushes; `console` takes the lines.
  static std::shared_ptr<CloudKitSignalingService> create(std::shared_ptr<CloudKitDatabaseProtocol> db,
                                                          SignalingRole role, std::string hostID,
                                                          std::string machineName, Executor& executor,
                                                          std::shared_ptr<NotificationCenter> notifications,
                                                          Console console = Console());
  CloudKitSignalingService(Passkey, std::shared_ptr<CloudKitDatabaseProtocol> db, SignalingRole role,
                           std::string hostID, std::string machineName, Executor& executor,
                           std::shared_ptr<NotificationCenter> notifications, Console console);
  ~CloudKitSignalingService() override;

  // "OrvaneHostID" from the defaults, or a new UUID stored there first.
  static std::string loadOrCreateHostID(UserDefaults& defaults);

  // Hosts registered in `db` less than 600 s ago, newest first; prints what
  // it finds and skips. Never fails: an empty list when the query does.
  static Task<std::vector<HostInfo>> discoverHosts(std::shared_ptr<CloudKitDatabaseProtocol> db, const Clock& clock,
                                                   Console console = Console());

  void start() override;
  void stop() override;
  Task<std::vector<HostInfo>> listHosts() override;
  Task<void> sendConnectionRequest(HostInfo host) override;
  Task<void> sendOffer(std::string sdp) override;
  Task<void> sendAnswer(std::string sdp) override;
  Task<void> sendICECandidate(ICECandidateInfo candidate) override;
  Task<void> clearSession() override;
  Task<void> resetForNextSession() override;

  // Host: report the still-pending connection request again on the next poll.
  void resetConnectionRequest();
  // Host: register once more now (heartbeat aside).
  void refreshHostRegistration();

  SignalingRole role() const { return role_; }
  const std::string& hostID() const { return hostID_; }
  const std::string& machineName() const { return machineName_; }
  const CKRecordZoneID& zoneID() const { return zoneID_; }
  const std::shared_ptr<CloudKitDatabaseProtocol>& database() const { return db_; }
  bool polling() const { return pollingTask_.running(); }

 private:
  template <typename T>
  struct Attempt;
  template <typename T>
  Task<Attempt<T>> call(Task<T> operation);

  std::string sessionRecordName() const { return "orvane-session-" + hostID_; }
  CKRecordID sessionRecordID() const { return {sessionRecordName(), zoneID_}; }
  CKRecordID hostRecordID() const { return {"orvane-host-" + hostID_, zoneID_}; }
  std::string_view tag() const { return role_ == SignalingRole::mac ? "[Orvane:mac]" : "[Orvane:pad]"; }
  void say(std::string_view line) const;

  void startPolling();
  // `removeHostRecord`: the host's record goes too, so pads stop listing it.
  void stopPolling(bool removeHostRecord);
  void spawnPoll();
  Task<void> startup();
  Task<void> registerHost();
  Task<void> saveSubscription();
  Task<void> poll();
  Task<void> pollCandidates(std::uint64_t generation);
  Task<void> writeSessionField(std::string key, std::string sdp);
  static Task<void> clearSessionRecords(std::shared_ptr<CloudKitDatabaseProtocol> db, CKRecordID session);

  // Calls a callback while keeping the service alive; false when the
  // callback stopped polling (or let go of the service), so the pass ends.
  template <typename Fn>
  bool deliver(std::uint64_t generation, Fn&& fire);

  // Declaration order mirrors the design; the callbacks are the base class's.
  std::shared_ptr<CloudKitDatabaseProtocol> db_;
  SignalingRole role_;
  std::string hostID_;
  std::string machineName_;
  CKRecordZoneID zoneID_;
  NotificationCenter::Observation notificationObserver_;
  TaskHandle startupTask_;
  TaskHandle pollingTask_;
  TaskHandle heartbeatTask_;
  std::set<CKRecordID> deliveredICEIDs_;
  bool answerDelivered_ = false;
  bool offerDelivered_ = false;
  bool connectionRequestDelivered_ = false;
  bool offerSent_ = false;

  Executor& executor_;
  std::shared_ptr<NotificationCenter> notifications_;
  Console console_;
  std::vector<TaskHandle> pushPolls_;
  bool pushPollQueued_ = false;
  // Bumped whenever polling starts or stops: a pass of an older generation
  // delivers nothing more.
  std::uint64_t generation_ = 0;
};

}  // namespace orvane
