#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneCore/identity/AuthClient.h"
#include "OrvaneCore/identity/AuthManager.h"
#include "OrvaneCore/identity/SessionStore.h"
#include "OrvaneCore/peer/BundleInfo.h"
#include "OrvaneCore/peer/ConnectTimer.h"
#include "OrvaneCore/peer/PeerConnectionManager.h"
#include "OrvaneCore/peer/RtcEngine.h"
#include "OrvaneCore/permissions/PermissionsModel.h"
#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/runtime/UserDefaults.h"
#include "OrvaneCore/signaling/AppSettings.h"
#include "OrvaneCore/signaling/SignalingService.h"
#include "OrvaneCore/signaling/factory/SignalingFactory.h"
#include "OrvaneMac/platform/Accessibility.h"
#include "OrvaneMac/platform/ApplicationIndex.h"
#include "OrvaneMac/platform/Applications.h"
#include "OrvaneMac/platform/CaptureStream.h"
#include "OrvaneMac/platform/EventPoster.h"
#include "OrvaneMac/platform/InputTap.h"
#include "OrvaneMac/platform/Power.h"
#include "OrvaneMac/platform/ScreenCaptureAccess.h"
#include "OrvaneMac/platform/Screens.h"
#include "OrvaneMac/platform/ShareableContent.h"
#include "OrvaneMac/platform/Workspace.h"
#include "OrvaneMac/platform/linux/ComputerName.h"
#include "OrvaneMac/session/ConnectionState.h"

namespace orvane {

class AppCatalog;
class AppWindowCaptureHelper;
class InputInjector;
class LocalControlGuard;
class ScreenCaptureManager;
class TextFieldObserver;

// The platform services one session uses; each must outlive the coordinator.
struct SessionPorts {
  EventPoster& events;
  InputTap& taps;
  Accessibility& accessibility;
  Screens& screens;
  Workspace& workspace;
  ProcessInfo& process;
  ShareableContentSource& content;
  CaptureStreamFactory& streams;
  ApplicationIndex& applicationIndex;
  Applications& applications;
  PowerAssertions& power;
  ScreenCaptureAccess& screenCapture;
  DisplayScale& displayScale;
};

// What the coordinator builds a session from besides the platform: the
// WebRTC engine, the settings store, and how sign-in is reached. Tests swap
// the transport, the auth client and the token store.
struct SessionEnvironment {
  SessionEnvironment(rtc::Engine& engine, UserDefaults& defaults) : engine(engine), defaults(defaults) {}

  rtc::Engine& engine;
  UserDefaults& defaults;
  // The computer's name as the tablet lists it; "Mac" when even the
  // hostname cannot be read.
  std::string machineName = computerName();
  Url signalingServerURL = AppSettings::signalingServerURL();
  SignalingFactory::Options signalingOptions;
  PeerConnectionEnvironment peerEnvironment;
  // Both default to the real ones: the HTTPS auth client and the token file.
  std::function<std::shared_ptr<AuthClient>(Url baseURL)> makeAuthClient;
  std::function<std::shared_ptr<AppleSessionStore>(std::string service, std::string account)> makeSessionStore;
  // Where installed applications live; the desktop's standard places when unset.
  std::optional<std::vector<std::string>> applicationPathPrefixes;
  const BundleInfo* bundle = nullptr;  // this build's bundle when null
  LogSink* logSink = nullptr;          // the system log when null
};

// Owns the host's remote-control session from start to stop: signs in,
// builds the signalling backend and the peer connection, answers the
// tablet's connection requests, routes its control events and targets its
// windows. Main executor only; every task it starts holds it weakly and does
// nothing once it is gone.
class MacSessionCoordinator final : public std::enable_shared_from_this<MacSessionCoordinator> {
  struct Private {};

 public:
  static constexpr std::string_view kSubsystem = "com.kelbrin.Orvane.Mac";
  static constexpr std::string_view kSleepAssertionName = "Orvane active remote session";
  // The display-filter refresh, sleep assertion and screen report wait this
  // long after connecting, so the tablet's first frames are not held up.
  static constexpr double kConnectedSettleSeconds = 1.0;
  static constexpr double kClickFollowUpSeconds = 0.15;
  // How long a launch waits for the application catalog to load, and how often it looks.
  static constexpr double kLaunchCatalogWaitSeconds = 2.0;
  static constexpr double kLaunchCatalogPollSeconds = 0.1;
  static constexpr double kTitleBarZoomSettleSeconds = 0.5;
  static constexpr int kSearchLimit = 8;
  // Waits before each look for a launched application's window, in ms.
  static constexpr std::array<int, 4> kLaunchWindowAttemptsMs = {800, 1200, 1500, 2000};
  static constexpr double kMinLaunchedWindowWidth = 200;
  static constexpr double kMinLaunchedWindowHeight = 150;
  static constexpr Size kFallbackScreenSize{1440, 900};

  // Wires the collaborators; `main` must outlive the coordinator.
  static std::shared_ptr<MacSessionCoordinator> create(Executor& main, SessionPorts ports,
                                                       SessionEnvironment environment);

  MacSessionCoordinator(Private, Executor& main, SessionPorts ports, SessionEnvironment environment);
  ~MacSessionCoordinator();
  MacSessionCoordinator(const MacSessionCoordinator&) = delete;
  MacSessionCoordinator& operator=(const MacSessionCoordinator&) = delete;

  // --- Life cycle
  // To available, or to failed, or to idle when a permission is missing. A
  // later start() or stop() supersedes one still waiting for sign-in.
  Task<void> start();
  // Ends everything and returns to idle.
  Task<void> stop();
  // The popover's emergency stop and its reversal.
  void stopInjection();
  void resumeInjection();

  // --- Control events from the tablet
  void handleControlEvent(const ControlEvent& event);
  void sendScreenInfo();

  // --- Window targeting
  void sendWindowList();  // starts the reply as a task
  Task<void> switchToWindow(std::string id);
  Task<void> captureLaunchedWindow();
  void focus(const ShareableWindow& window);
  AXElement axWindow(std::int32_t pid, const std::string& title);
  void fitCapturedWindowToPad();
  Task<void> refreshCapturedWindowFrame();

  // --- Published state
  const ConnectionState& connectionState() const { return connectionState_; }
  bool injectionDisabled() const { return injectionDisabled_; }
  std::function<void(const ConnectionState&)> onConnectionStateChanged;
  std::function<void(bool)> onInjectionDisabledChanged;

  // Set by the app shell: obtains a Sign in with Apple identity token.
  AuthManager::IdentityTokenRequest requestAppleIdentityToken;

  // --- Collaborators and session facts
  PermissionsModel& permissions() { return permissions_; }
  AppSettings& settings() { return settings_; }
  const std::string& deviceId() const { return deviceId_; }
  const std::string& machineName() const { return machineName_; }
  const std::shared_ptr<SignalingServiceProtocol>& signalingService() const { return signalingService_; }
  const std::shared_ptr<PeerConnectionManager>& peerManager() const { return peerManager_; }
  ScreenCaptureManager& captureManager() { return *captureManager_; }
  InputInjector& inputInjector() { return *inputInjector_; }
  LocalControlGuard& controlGuard() { return *controlGuard_; }
  AppCatalog& appCatalog() { return *appCatalog_; }
  TextFieldObserver* textFieldObserver() { return textFieldObserver_.get(); }
  const std::optional<std::string>& capturedWindowID() const { return capturedWindowID_; }
  const std::optional<Size>& padScreenSize() const { return padScreenSize_; }
  PowerAssertions::AssertionID sleepAssertionID() const { return sleepAssertionID_; }

 private:
  using Weak = std::weak_ptr<MacSessionCoordinator>;

  void wire();
  void setState(ConnectionState state);
  void setInjectionDisabled(bool disabled);
  bool refreshPermissions();
  void build(std::optional<std::string> sessionToken);
  void retireSession();
  // stop() up to the capture stop, which it hands back to be awaited.
  std::shared_ptr<ScreenCaptureManager> shutdown();
  std::shared_ptr<AuthManager> makeAuthManager();
  void send(const ControlEvent& event);
  void appDidBecomeActive();
  void clearCapturedWindow();
  void acquireSleepAssertion();
  void releaseSleepAssertion();
  void connectionRequested();
  void connected();
  void disconnected();
  void peerGone();
  void teardown();
  bool isCurrentSession(std::uint64_t session) const;
  Size mainScreenSizeOrFallback();

  static Task<void> runStart(Weak weak, std::uint64_t generation);
  static Task<void> finishStart(Weak weak, std::uint64_t generation, std::shared_ptr<SignalingServiceProtocol> service);
  static Task<void> runConnectionRequest(Weak weak, std::uint64_t session);
  static Task<void> runConnectedSettle(Weak weak, std::uint64_t session);
  static Task<void> stopCapture(std::shared_ptr<ScreenCaptureManager> capture);

  // Dispatch work that waits.
  static Task<void> runClickFollowUp(Weak weak, double x, double y);
  static Task<void> runLaunch(Weak weak, std::string name);
  static Task<void> runSearch(Weak weak, std::string text);
  static Task<void> runSetQuality(Weak weak, bool low);
  static Task<void> runSetMaxLongEdge(Weak weak, std::int64_t longEdge);
  static Task<void> runTitleBarZoom(Weak weak, ControlEvent event);
  static Task<void> runWindowList(Weak weak);
  static Task<void> runSwitchToWindow(Weak weak, std::string id);
  static Task<void> runCaptureLaunchedWindow(Weak weak);
  static Task<void> runRefreshCapturedWindowFrame(Weak weak);
  void logPeerVersion(const events::PeerVersion& version);

  Executor& main_;
  SessionPorts ports_;
  SessionEnvironment environment_;
  LogSink& logSink_;
  Logger sessionLog_;
  Logger windowLog_;
  const BundleInfo& bundle_;

  // In the order the session needs them.
  ConnectionState connectionState_;
  PermissionsModel permissions_;
  bool injectionDisabled_ = false;
  std::shared_ptr<SignalingServiceProtocol> signalingService_;
  std::shared_ptr<PeerConnectionManager> peerManager_;
  std::shared_ptr<ScreenCaptureManager> captureManager_;
  std::shared_ptr<InputInjector> inputInjector_;
  std::shared_ptr<LocalControlGuard> controlGuard_;
  std::shared_ptr<AppWindowCaptureHelper> windowHelper_;
  std::shared_ptr<AppCatalog> appCatalog_;
  std::optional<std::string> capturedWindowID_;
  std::unique_ptr<TextFieldObserver> textFieldObserver_;
  std::unique_ptr<Subscription> appActiveObserver_;
  PowerAssertions::AssertionID sleepAssertionID_ = 0;
  std::optional<Size> padScreenSize_;
  AppSettings settings_;
  std::string deviceId_;
  std::string machineName_;
  std::optional<ConnectTimer> connectTimer_;

  // A start() or stop() bumps this, so an older start() still waiting for
  // sign-in does not build over it.
  std::uint64_t startGeneration_ = 0;
  // Each connection request and each teardown or stop bumps this, so work
  // that waited (capture start, offer, the settle after connecting) does not
  // act on a session that has ended meanwhile.
  std::uint64_t session_ = 0;
};

}  // namespace orvane
