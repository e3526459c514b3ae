#include <gtest/gtest.h>

#include <string>

#include "OrvaneCore/runtime/Log.h"

using namespace orvane;

namespace {
template <typename... Args>
std::string fmt(std::string_view format, const Args&... args) {
  return formatLog(format, {toLogArg(args)...});
}
}  // namespace

TEST(FormatLog, RendersSystemLogFormats) {
  struct Case {
    std::string expected;
    std::string actual;
  };
  std::string label = "webSocket";
  const Case cases[] = {
      {"backend=webSocket connect=1234ms", fmt("backend=%{public}s connect=%{public}ldms", label, 1234L)},
      {"localControlActive → true", fmt("localControlActive → %{bool,public}d", true)},
      {"trusted=false", fmt("trusted=%{bool,public}d", false)},
      {"(10,-20) 800x600", fmt("(%{public}ld,%{public}ld) %{public}ldx%{public}ld", 10L, -20L, 800L, 600L)},
      {"scale factor=1.200000", fmt("scale factor=%{public}f", 1.2)},
      {"win=4294967295", fmt("win=%{public}u", 4294967295u)},
      {"pid=-1 100%", fmt("pid=%{public}d 100%%", -1)},
      {"id=abc", fmt("id=%@", "abc")},
      {"a=<missing>", fmt("a=%{public}s")},
      {"x=0.50", fmt("x=%.2f", 0.5)},
      {"dangling %{public", fmt("dangling %{public", 1)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.actual, c.expected);
}

TEST(Logger, SendsRecordsWithSubsystemCategoryAndLevel) {
  CapturingLogSink sink;
  Logger log("com.kelbrin.Orvane.Core", "timing", sink);
  log.info("backend=%{public}s connect=%{public}ldms", "cloudKit", 42);
  log.error("failed: %{public}s", std::string("boom"));
  Console(sink).print("[AppCatalog] indexed 3 apps");

  auto records = sink.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, LogLevel::Info);
  EXPECT_EQ(records[0].subsystem, "com.kelbrin.Orvane.Core");
  EXPECT_EQ(records[0].category, "timing");
  EXPECT_EQ(records[0].message, "backend=cloudKit connect=42ms");
  EXPECT_EQ(records[1].level, LogLevel::Error);
  EXPECT_TRUE(sink.hasMessage("failed: boom"));
  EXPECT_EQ(sink.lines(), std::vector<std::string>{"[AppCatalog] indexed 3 apps"});
}
