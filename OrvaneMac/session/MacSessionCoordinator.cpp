#include "OrvaneMac/session/MacSessionCoordinator.h"

#include <exception>
#include <utility>

#include "OrvaneCore/identity/AppleAuthClient.h"
#include "OrvaneCore/peer/AppVersion.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitContainer.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitSignalingService.h"
#include "OrvaneMac/capture/AppWindowCaptureHelper.h"
#include "OrvaneMac/capture/ScreenCaptureManager.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/input/TextFieldObserver.h"
#include "OrvaneMac/session/AppCatalog.h"
#include "OrvaneMac/session/WindowFitting.h"

namespace orvane {

std::string_view toString(ConnectionState::Kind kind) {
  switch (kind) {
    case ConnectionState::Kind::idle: return "idle";
    case ConnectionState::Kind::available: return "available";
    case ConnectionState::Kind::waitingForPad: return "waitingForPad";
    case ConnectionState::Kind::connected: return "connected";
    case ConnectionState::Kind::failed: return "failed";
  }
  return "?";
}

std::string describe(const ConnectionState& state) {
  std::string text(toString(state.kind));
  if (state.kind == ConnectionState::Kind::failed) text += "(" + state.message + ")";
  return text;
}

namespace {

// What the user is shown for a failure: the error's own description.
std::string describeError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "The operation couldn't be completed.";
  }
}

}  // namespace

std::shared_ptr<MacSessionCoordinator> MacSessionCoordinator::create(Executor& main, SessionPorts ports,
                                                                     SessionEnvironment environment) {
  auto coordinator = std::make_shared<MacSessionCoordinator>(Private{}, main, ports, std::move(environment));
  coordinator->wire();
  return coordinator;
}

MacSessionCoordinator::MacSessionCoordinator(Private, Executor& main, SessionPorts ports,
                                             SessionEnvironment environment)
    : main_(main),
      ports_(ports),
      environment_(std::move(environment)),
      logSink_(environment_.logSink ? *environment_.logSink : systemLogSink()),
      sessionLog_(std::string(kSubsystem), "session", logSink_),
      windowLog_(std::string(kSubsystem), "window", logSink_),
      bundle_(environment_.bundle ? *environment_.bundle : mainBundle()),
      captureManager_(std::make_shared<ScreenCaptureManager>(main, ports.content, ports.streams, logSink_)),
      inputInjector_(std::make_shared<InputInjector>(main, ports.events, ports.accessibility, ports.screens,
                                                     ports.process, logSink_)),
      controlGuard_(std::make_shared<LocalControlGuard>(main, ports.taps, ports.events, logSink_)),
      windowHelper_(std::make_shared<AppWindowCaptureHelper>(ports.content, logSink_)),
      appCatalog_(AppCatalog::create(
          ports.applicationIndex, logSink_,
          environment_.applicationPathPrefixes.value_or(AppCatalog::xdgApplicationPrefixes()))),
      settings_(environment_.defaults),
      deviceId_(CloudKitSignalingService::loadOrCreateHostID(environment_.defaults)),
      machineName_(environment_.machineName.empty() ? "Mac" : environment_.machineName) {}

MacSessionCoordinator::~MacSessionCoordinator() {
  appActiveObserver_.reset();
  // Nothing may hold an assertion once the session object is gone.
  releaseSleepAssertion();
}

void MacSessionCoordinator::wire() {
  inputInjector_->attachGuard(controlGuard_);
  Weak weak = weak_from_this();
  controlGuard_->onLocalControlChanged = [weak](bool active) {
    auto self = weak.lock();
    if (!self) return;
    self->send(events::LocalControlActive{active});
    self->sessionLog_.info("[MacCoordinator] localControlActive → %{bool,public}d", active);
  };
  appActiveObserver_ = ports_.applications.observeDidBecomeActive([weak] {
    if (auto self = weak.lock()) self->appDidBecomeActive();
  });
}

void MacSessionCoordinator::appDidBecomeActive() {
  if (connectionState_.is(ConnectionState::Kind::idle)) return;
  if (auto* cloudKit = dynamic_cast<CloudKitSignalingService*>(signalingService_.get())) {
    cloudKit->refreshHostRegistration();
  }
}

void MacSessionCoordinator::setState(ConnectionState state) {
  ORVANE_ASSERT_ON(main_);
  if (state == connectionState_) return;
  connectionState_ = std::move(state);
  sessionLog_.debug("[MacCoordinator] state → %{public}s", describe(connectionState_));
  if (onConnectionStateChanged) onConnectionStateChanged(connectionState_);
}

void MacSessionCoordinator::setInjectionDisabled(bool disabled) {
  if (disabled == injectionDisabled_) return;
  injectionDisabled_ = disabled;
  if (onInjectionDisabledChanged) onInjectionDisabledChanged(disabled);
}

bool MacSessionCoordinator::refreshPermissions() {
  permissions_.apply(ports_.accessibility.isProcessTrusted(), ports_.screenCapture.preflight());
  return permissions_.allReady();
}

void MacSessionCoordinator::send(const ControlEvent& event) {
  if (peerManager_) peerManager_->sendControlEvent(event);
}

// --- start / stop

Task<void> MacSessionCoordinator::start() {
  ORVANE_ASSERT_ON(main_);
  return runStart(weak_from_this(), ++startGeneration_);
}

Task<void> MacSessionCoordinator::runStart(Weak weak, std::uint64_t generation) {
  std::shared_ptr<AuthManager> auth;
  {
    auto self = weak.lock();
    if (!self) co_return;
    if (!self->refreshPermissions()) {
      // Whatever an earlier start() built must not keep taking requests.
      auto capture = self->shutdown();
      self.reset();
      co_await stopCapture(std::move(capture));
      co_return;
    }
    if (self->settings_.signalingBackend() == SignalingBackend::cloudKit) {
      self->build(std::nullopt);
      self->setState(ConnectionState::available());
      auto service = self->signalingService_;
      self.reset();
      co_await finishStart(weak, generation, std::move(service));
      co_return;
    }
    if (!self->requestAppleIdentityToken) {
      self->setState(ConnectionState::failed("Sign in required"));
      co_return;
    }
    auth = self->makeAuthManager();
  }

  std::optional<std::string> token;
  std::string failure;
  try {
    token = co_await auth->validSessionToken();
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    failure = describeError(std::current_exception());
  }

  std::shared_ptr<SignalingServiceProtocol> service;
  {
    auto self = weak.lock();
    // A later start() or a stop() took over while sign-in was under way.
    if (!self || self->startGeneration_ != generation) co_return;
    if (!token) {
      self->setState(ConnectionState::failed("Sign in failed: " + failure));
      co_return;
    }
    self->build(std::move(token));
    self->setState(ConnectionState::available());
    service = self->signalingService_;
  }
  co_await finishStart(weak, generation, std::move(service));
}

Task<void> MacSessionCoordinator::finishStart(Weak weak, std::uint64_t generation,
                                              std::shared_ptr<SignalingServiceProtocol> service) {
  try {
    co_await service->clearSession();
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    // An earlier session that cannot be cleared expires on its own.
  }
  auto self = weak.lock();
  if (!self || self->startGeneration_ != generation || self->signalingService_ != service) co_return;
  service->start();
}

std::shared_ptr<AuthManager> MacSessionCoordinator::makeAuthManager() {
  const Url& server = environment_.signalingServerURL;
  const Url base = authBaseURL(server);
  std::shared_ptr<AuthClient> client = environment_.makeAuthClient
                                           ? environment_.makeAuthClient(base)
                                           : std::make_shared<AppleAuthClient>(base, main_);
  std::string service(kSessionKeychainService);
  std::string account = sessionKeychainAccount(server);
  std::shared_ptr<AppleSessionStore> store =
      environment_.makeSessionStore ? environment_.makeSessionStore(service, account)
                                    : std::make_shared<KeychainSessionStore>(service, account);
  return std::make_shared<AuthManager>(std::move(client), std::move(store), deviceId_,
                                       std::string(toString(SignalingRole::mac)), machineName_,
                                       requestAppleIdentityToken);
}

void MacSessionCoordinator::build(std::optional<std::string> sessionToken) {
  retireSession();
  SignalingFactory::Options options = environment_.signalingOptions;
  if (!options.logSink) options.logSink = &logSink_;
  if (auto store = settings_.recordStore(); store && !options.recordStorePath) {
    options.recordStorePath = cloudKitDatabasePath(CloudKitSignalingService::containerIdentifier, *store);
  }
  BuiltSignaling built = SignalingFactory::make(settings_.signalingBackend(), SignalingRole::mac, deviceId_,
                                                machineName_, environment_.signalingServerURL,
                                                std::move(sessionToken), main_, options);
  auto manager = PeerConnectionManager::create(SignalingRole::mac, built.service, std::nullopt, built.trickle,
                                               settings_.forceRelayTCP(), environment_.engine, main_, logSink_,
                                               environment_.peerEnvironment);
  Weak weak = weak_from_this();
  // Callbacks of a manager or backend that a later start() replaced are
  // ignored: they describe a session that no longer exists.
  const PeerConnectionManager* source = manager.get();
  const SignalingServiceProtocol* backend = built.service.get();
  // The manager delivers these on the main executor already.
  manager->onConnected = [weak, source] {
    auto self = weak.lock();
    if (self && self->peerManager_.get() == source) self->connected();
  };
  manager->onDisconnected = [weak, source] {
    auto self = weak.lock();
    if (self && self->peerManager_.get() == source) self->disconnected();
  };
  manager->onControlEvent = [weak, source](const ControlEvent& event) {
    auto self = weak.lock();
    if (self && self->peerManager_.get() == source) self->handleControlEvent(event);
  };
  // The backend fires these on its own threads: hop to the main executor.
  Executor& main = main_;
  built.service->onConnectionRequested = [weak, backend, &main] {
    main.post([weak, backend] {
      auto self = weak.lock();
      if (self && self->signalingService_.get() == backend) self->connectionRequested();
    });
  };
  built.service->onPeerGone = [weak, backend, &main] {
    main.post([weak, backend] {
      auto self = weak.lock();
      if (self && self->signalingService_.get() == backend) self->peerGone();
    });
  };
  captureManager_->setPeerConnectionManager(manager);
  captureManager_->onCaptureStalled = [weak](bool active) {
    if (auto self = weak.lock()) self->send(events::CaptureStalled{active});
  };
  signalingService_ = std::move(built.service);
  peerManager_ = std::move(manager);
}

void MacSessionCoordinator::retireSession() {
  // A start() while a session runs: end that session first, so its capture,
  // observers and assertion do not outlive it.
  if (connectionState_.is(ConnectionState::Kind::waitingForPad) ||
      connectionState_.is(ConnectionState::Kind::connected) || connectionState_.is(ConnectionState::Kind::failed)) {
    if (peerManager_) teardown();
  }
  // The replaced backend would otherwise stay connected beside the new one.
  if (signalingService_) signalingService_->stop();
  if (peerManager_) peerManager_->disconnect();
}

Task<void> MacSessionCoordinator::stop() {
  ORVANE_ASSERT_ON(main_);
  ++startGeneration_;
  return stopCapture(shutdown());
}

std::shared_ptr<ScreenCaptureManager> MacSessionCoordinator::shutdown() {
  ++session_;
  setState(ConnectionState::idle());
  if (textFieldObserver_) textFieldObserver_->stop();
  textFieldObserver_.reset();
  clearCapturedWindow();
  releaseSleepAssertion();
  if (signalingService_) signalingService_->stop();
  if (peerManager_) peerManager_->disconnect();
  return captureManager_;
}

Task<void> MacSessionCoordinator::stopCapture(std::shared_ptr<ScreenCaptureManager> capture) {
  co_await capture->stop();
}

// --- Emergency stop

void MacSessionCoordinator::stopInjection() {
  ORVANE_ASSERT_ON(main_);
  setInjectionDisabled(true);
  controlGuard_->policy().setInjectionDisabled(true);
  controlGuard_->evaluate();
  inputInjector_->releaseAllHeld();
  sessionLog_.notice("[MacCoordinator] injection STOPPED (local control reclaimed)");
}

void MacSessionCoordinator::resumeInjection() {
  ORVANE_ASSERT_ON(main_);
  setInjectionDisabled(false);
  controlGuard_->policy().setInjectionDisabled(false);
  controlGuard_->evaluate();
  sessionLog_.notice("[MacCoordinator] injection RESUMED");
}

// --- A session

bool MacSessionCoordinator::isCurrentSession(std::uint64_t session) const { return session == session_; }

void MacSessionCoordinator::connectionRequested() {
  ORVANE_ASSERT_ON(main_);
  setState(ConnectionState::waitingForPad());
  if (!connectTimer_) {
    connectTimer_.emplace(settings_.signalingBackend() == SignalingBackend::webSocket ? "webSocket" : "cloudKit",
                          main_.clock(), logSink_);
  }
  connectTimer_->start();
  inputInjector_->releaseAllHeld();
  spawnDetached(main_, runConnectionRequest(weak_from_this(), ++session_));
}

namespace {

Task<void> startCapture(std::shared_ptr<ScreenCaptureManager> capture, Resolver<bool> done) {
  try {
    co_await capture->start();
  } catch (...) {
    // A refusal shows as permissionDenied; the caller reads it.
  }
  done.resolve(true);
}

}  // namespace

Task<void> MacSessionCoordinator::runConnectionRequest(Weak weak, std::uint64_t session) {
  std::shared_ptr<ScreenCaptureManager> capture;
  std::shared_ptr<PeerConnectionManager> manager;
  std::shared_ptr<SignalingServiceProtocol> service;
  Executor* main = nullptr;
  {
    auto self = weak.lock();
    if (!self) co_return;
    capture = self->captureManager_;
    manager = self->peerManager_;
    service = self->signalingService_;
    main = &self->main_;
  }
  auto [captureDone, captureFinished] = makeOneShot<bool>();
  TaskHandle captureTask = spawn(*main, startCapture(capture, std::move(captureDone)));

  if (manager) {
    std::optional<std::string> failure;
    try {
      co_await manager->start();
    } catch (const TaskCancelled&) {
      throw;
    } catch (...) {
      failure = describeError(std::current_exception());
    }
    if (failure) {
      captureTask.cancel();
      {
        auto self = weak.lock();
        if (!self || !self->isCurrentSession(session)) co_return;
        self->setState(ConnectionState::failed(*failure));
      }
      if (service) co_await service->resetForNextSession();
      co_return;
    }
  }
  try {
    co_await captureFinished;
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }

  auto self = weak.lock();
  // The session ended (teardown, stop, a newer request) while this waited.
  if (!self || !self->isCurrentSession(session)) co_return;
  if (capture->permissionDenied()) {
    self->refreshPermissions();
    self->setState(ConnectionState::available());
    if (self->peerManager_) self->peerManager_->disconnect();
    self.reset();
    if (service) co_await service->resetForNextSession();
    co_return;
  }
  self->textFieldObserver_ = std::make_unique<TextFieldObserver>(self->ports_.accessibility, self->ports_.workspace);
  self->textFieldObserver_->onFocusChanged = [weak](bool focused) {
    if (auto owner = weak.lock()) owner->send(events::TextFieldFocused{focused});
  };
  self->textFieldObserver_->start();
  if (!self->controlGuard_->hasTap()) self->controlGuard_->start();
}

void MacSessionCoordinator::connected() {
  ORVANE_ASSERT_ON(main_);
  if (!connectionState_.is(ConnectionState::Kind::waitingForPad)) return;
  if (connectTimer_) connectTimer_->connected();
  setState(ConnectionState::connected());
  send(events::PeerVersion{AppVersion::build(bundle_), AppVersion::marketing(bundle_)});
  spawnDetached(main_, runConnectedSettle(weak_from_this(), session_));
}

Task<void> MacSessionCoordinator::runConnectedSettle(Weak weak, std::uint64_t session) {
  try {
    co_await sleepFor(Seconds(kConnectedSettleSeconds));
  } catch (const TaskCancelled&) {
  }
  std::shared_ptr<ScreenCaptureManager> capture;
  {
    auto self = weak.lock();
    if (!self || !self->isCurrentSession(session)) co_return;
    capture = self->captureManager_;
  }
  try {
    co_await capture->refreshDisplayFilter();
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }
  auto self = weak.lock();
  // Only a session still connected keeps the display awake.
  if (!self || !self->isCurrentSession(session) || !self->connectionState_.is(ConnectionState::Kind::connected)) {
    co_return;
  }
  self->acquireSleepAssertion();
  self->sendScreenInfo();
}

void MacSessionCoordinator::disconnected() {
  ORVANE_ASSERT_ON(main_);
  if (connectionState_.is(ConnectionState::Kind::idle) || connectionState_.is(ConnectionState::Kind::available)) {
    return;
  }
  setState(ConnectionState::available());
  inputInjector_->releaseAllHeld();
  controlGuard_->releaseHeldInjectedInput();
  teardown();
}

void MacSessionCoordinator::peerGone() {
  ORVANE_ASSERT_ON(main_);
  if (!connectionState_.is(ConnectionState::Kind::waitingForPad) &&
      !connectionState_.is(ConnectionState::Kind::failed)) {
    return;
  }
  teardown();
}

void MacSessionCoordinator::teardown() {
  ++session_;
  setState(ConnectionState::available());
  inputInjector_->releaseAllHeld();
  controlGuard_->stop();
  controlGuard_->policy().setInjectionDisabled(false);
  setInjectionDisabled(false);
  if (textFieldObserver_) textFieldObserver_->stop();
  textFieldObserver_.reset();
  clearCapturedWindow();
  releaseSleepAssertion();
  if (peerManager_) peerManager_->disconnect();
  spawnDetached(main_, stopCapture(captureManager_));
}

void MacSessionCoordinator::clearCapturedWindow() {
  inputInjector_->setCapturedWindowFrame(std::nullopt);
  inputInjector_->setCapturedWindowPID(std::nullopt);
  inputInjector_->setCapturedAXWindow(nullptr);
}

void MacSessionCoordinator::acquireSleepAssertion() {
  if (sleepAssertionID_ != 0) return;
  if (auto id = ports_.power.create(PowerAssertions::kPreventUserIdleDisplaySleep, PowerAssertions::kAssertionLevelOn,
                                    kSleepAssertionName)) {
    sleepAssertionID_ = *id;
  }
}

void MacSessionCoordinator::releaseSleepAssertion() {
  if (sleepAssertionID_ == 0) return;
  ports_.power.release(sleepAssertionID_);
  sleepAssertionID_ = 0;
}

Size MacSessionCoordinator::mainScreenSizeOrFallback() {
  if (auto screen = ports_.screens.mainScreen()) return screen->frame.size;
  return kFallbackScreenSize;
}

void MacSessionCoordinator::sendScreenInfo() {
  auto screen = ports_.screens.mainScreen();
  if (!screen || !peerManager_) return;
  send(events::ScreenInfo{truncateToInt64(screen->frame.width()), truncateToInt64(screen->frame.height()),
                          ports_.displayScale.mainScreenBackingScaleFactor()});
}

}  // namespace orvane
