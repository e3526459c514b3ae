// orvane-pad: the tablet's role of the shared core on the command line.
// See PadOptions.cpp for the usage.

#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "tools/orvane-pad/PadApp.h"

#include "OrvaneCore/peer/gst/GLibLeakSuppressions.h"

namespace {

using namespace orvane;

// Standard output carries control events only: plain component lines go to
// standard error too, and progress is shown only when asked for.
class ToolLogSink final : public LogSink {
 public:
  ToolLogSink(LogSink& inner, bool verbose) : inner_(inner), verbose_(verbose || std::getenv("ORVANE_LOG_LEVEL")) {}
  bool enabled(LogLevel level) const override {
    return inner_.enabled(level) && (verbose_ || level >= LogLevel::Error);
  }
  void write(const LogRecord& record) override { inner_.write(record); }
  void writeLine(std::string_view line) override {
    if (verbose_) std::fprintf(stderr, "%.*s\n", int(line.size()), line.data());
  }

 private:
  LogSink& inner_;
  const bool verbose_;
};

struct SignalContext {
  pad::PadApp* app;
  int status;
};

int onSignal(void* data) {
  auto* context = static_cast<SignalContext*>(data);
  context->app->finish(context->status, "");
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  const pad::Parsed parsed = pad::parse(std::vector<std::string>(argv + 1, argv + argc));
  if (std::holds_alternative<pad::Help>(parsed)) {
    std::fputs(pad::kUsage, stdout);
    return 0;
  }
  if (const auto* error = std::get_if<pad::UsageError>(&parsed)) {
    std::fprintf(stderr, "orvane-pad: %s\nTry \"orvane-pad --help\".\n", error->message.c_str());
    return 2;
  }
  const auto& options = std::get<pad::PadOptions>(parsed);
  std::signal(SIGPIPE, SIG_IGN);

  SystemClock clock;
  GLibExecutor exec(clock);
  ToolLogSink log(systemLogSink(), options.verbose);
  int status = 1;
  try {
    pad::PadApp app(options, exec, log);
    SignalContext interrupted{&app, 130}, terminated{&app, 143};
    const unsigned sigint = g_unix_signal_add(SIGINT, &onSignal, &interrupted);
    const unsigned sigterm = g_unix_signal_add(SIGTERM, &onSignal, &terminated);
    status = app.run();
    g_source_remove(sigint);
    g_source_remove(sigterm);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "orvane-pad: %s\n", error.what());
    return 1;
  }
  return status;
}
