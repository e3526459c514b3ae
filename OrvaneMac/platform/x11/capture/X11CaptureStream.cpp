#include "OrvaneMac/platform/x11/capture/X11CaptureStream.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "OrvaneMac/platform/x11/capture/FramePacer.h"

namespace orvane::x11 {
namespace {

void checkPixelFormat(const StreamConfiguration& configuration) {
  if (configuration.pixelFormat != kCVPixelFormatType_32BGRA) {
    throw CaptureServiceError("unsupported pixel format " + std::to_string(configuration.pixelFormat));
  }
}

}  // namespace

X11CaptureOptions X11CaptureOptions::fromEnvironment() {
  X11CaptureOptions options;
  if (const char* value = std::getenv("ORVANE_CAPTURE_NO_DAMAGE"); value && std::strcmp(value, "1") == 0) {
    options.useDamage = false;
  }
  return options;
}

X11CaptureStream::X11CaptureStream(Executor& main, X11CaptureOptions options, ContentFilter filter,
                                   StreamConfiguration configuration, std::weak_ptr<CaptureStreamDelegate> delegate)
    : main_(main),
      options_(std::move(options)),
      clock_(options_.clock ? *options_.clock : systemClock_),
      delegate_(std::move(delegate)),
      filter_(std::move(filter)),
      configuration_(configuration),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

X11CaptureStream::~X11CaptureStream() {
  alive_->store(false);
  stopThread();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void X11CaptureStream::wake() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]]
    auto written = write(wakeFd_, &one, sizeof one);
}

void X11CaptureStream::requestFrame() {
  frameRequested_.store(true);
  wake();
}

void X11CaptureStream::addStreamOutput(std::shared_ptr<CaptureStreamOutput> output, StreamOutputType type,
                                       std::string queueLabel) {
  if (!output) throw CaptureServiceError("no output");
  std::lock_guard lock(mutex_);
  outputs_.push_back(Registered{std::move(output), type});
  if (queueLabel_.empty()) queueLabel_ = std::move(queueLabel);
}

Task<void> X11CaptureStream::startCapture() {
  if (running_.load()) co_return;
  if (thread_.joinable()) thread_.join();  // it ended by itself
  {
    std::lock_guard lock(mutex_);
    checkPixelFormat(configuration_);
  }
  if (wakeFd_ < 0) throw CaptureServiceError("eventfd failed");
  auto shot = makeOneShot<bool>();
  stopping_.store(false);
  running_.store(true);
  thread_ = std::thread(&X11CaptureStream::run, this, shot.first);
  co_await shot.second;
}

Task<void> X11CaptureStream::stopCapture() {
  stopThread();
  co_return;
}

void X11CaptureStream::stopThread() {
  stopping_.store(true);
  wake();
  if (thread_.joinable()) {
    // An output that drops the last reference on the capture thread ends up here.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  running_.store(false);
}

Task<void> X11CaptureStream::updateConfiguration(StreamConfiguration configuration) {
  checkPixelFormat(configuration);
  {
    std::lock_guard lock(mutex_);
    configuration_ = configuration;
    ++settingsVersion_;
  }
  wake();
  co_return;
}

Task<void> X11CaptureStream::updateContentFilter(ContentFilter filter) {
  {
    std::lock_guard lock(mutex_);
    filter_ = std::move(filter);
    ++settingsVersion_;
  }
  wake();
  co_return;
}

void X11CaptureStream::run(Resolver<bool> started) {
  std::string label;
  {
    std::lock_guard lock(mutex_);
    label = queueLabel_.empty() ? "x11-capture" : queueLabel_;
  }
  pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
  std::unique_ptr<ScreenGrabber> grabber;
  try {
    grabber = std::make_unique<ScreenGrabber>(options_.displayName, options_.useDamage);
  } catch (...) {
    running_.store(false);
    started.fail(std::current_exception());
    return;
  }
  started.resolve(true);
  capture(*grabber);
  running_.store(false);
}

void X11CaptureStream::applySettings(ScreenGrabber& grabber, FramePacer& pacer, std::uint64_t& seenVersion) {
  GrabSettings settings;
  double interval = 0;
  {
    std::lock_guard lock(mutex_);
    if (settingsVersion_ == seenVersion) return;
    seenVersion = settingsVersion_;
    settings.displayID = filter_.display.displayID;
    settings.width = configuration_.width;
    settings.height = configuration_.height;
    settings.showsCursor = configuration_.showsCursor;
    settings.queueDepth = configuration_.queueDepth;
    interval = configuration_.minimumFrameInterval.count();
  }
  grabber.configure(settings);
  pacer.setMinimumFrameInterval(interval);
  pacer.forceNext();  // a new size or display goes out at once
}

void X11CaptureStream::capture(ScreenGrabber& grabber) {
  FramePacer pacer;
  std::uint64_t seenVersion = 0;
  bool changed = false;
  int failures = 0;
  double tick = clock_.uptime();
  while (!stopping_.load()) {
    applySettings(grabber, pacer, seenVersion);
    if (frameRequested_.exchange(false)) pacer.forceNext();
    const double now = clock_.uptime();
    if (now < tick) {
      wait(grabber, tick - now);
      if (grabber.broken()) return fail("the X connection was lost");
      // Damage and requests wake the wait: a change after a quiet spell (a
      // click's result) goes out now instead of up to a whole interval later.
      if (frameRequested_.exchange(false)) pacer.forceNext();
      if (options_.useDamage && grabber.poll()) changed = true;
      const double woke = clock_.uptime();
      if ((changed || pacer.forced()) && pacer.mayDeliverEarly(woke)) tick = woke;
      continue;
    }
    changed = grabber.poll() || changed;
    if (grabber.broken()) return fail("the X connection was lost");
    if (pacer.shouldDeliver(now, changed)) {
      std::optional<CapturedImage> picture;
      const std::uint64_t failedBefore = grabber.failedGrabs();
      try {
        picture = grabber.grab();
      } catch (const std::exception& e) {
        return fail(e.what());
      }
      grabs_.store(grabber.grabs());
      if (grabber.broken()) return fail("the X connection was lost");
      if (picture) {
        failures = 0;
        deliver(*picture, now);
        pacer.delivered(now);
        changed = false;
      } else if (grabber.failedGrabs() != failedBefore && ++failures >= kMaxFailedGrabs) {
        return fail("the screen cannot be read");
      }
    }
    tick = pacer.nextTick(tick, clock_.uptime());
  }
}

void X11CaptureStream::wait(ScreenGrabber& grabber, double seconds) {
  pollfd fds[2] = {{grabber.fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  const double whole = std::floor(seconds);
  timespec timeout{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
  if (ppoll(fds, 2, &timeout, nullptr) <= 0) return;
  if (fds[1].revents & POLLIN) {
    std::uint64_t count = 0;
    [[maybe_unused]] auto got = read(wakeFd_, &count, sizeof count);
  }
  // Reading the events keeps the connection's socket from waking us again;
  // a hang-up shows as a broken connection.
  if (fds[0].revents) grabber.readEvents();
}

void X11CaptureStream::deliver(const CapturedImage& picture, double time) {
  std::vector<std::shared_ptr<CaptureStreamOutput>> outputs;
  {
    std::lock_guard lock(mutex_);
    for (const auto& registered : outputs_) {
      if (registered.type == StreamOutputType::screen) outputs.push_back(registered.output);
    }
  }
  CaptureSample sample;
  sample.imageBuffer = picture;
  sample.presentationTimeSeconds = time;
  for (const auto& output : outputs) output->didOutputSampleBuffer(sample, StreamOutputType::screen);
  delivered_.fetch_add(1);
}

void X11CaptureStream::fail(std::string description) {
  running_.store(false);
  main_.post([this, alive = alive_, delegate = delegate_, description = std::move(description)] {
    if (!alive->load()) return;
    if (auto d = delegate.lock()) d->didStopWithError(*this, description);
  });
}

std::shared_ptr<CaptureStream> X11CaptureStreamFactory::makeStream(ContentFilter filter,
                                                                   StreamConfiguration configuration,
                                                                   std::weak_ptr<CaptureStreamDelegate> delegate) {
  return std::make_shared<X11CaptureStream>(main_, options_, std::move(filter), configuration, std::move(delegate));
}

}  // namespace orvane::x11
