// The server holding thousands of idle authenticated sockets, plain and over TLS: it keeps serving newcomers
// promptly, and what each idle socket costs it in memory.
#include <gtest/gtest.h>

#include "tests/OrvaneServer/LoadRig.h"
#include "tests/support/SelfSignedCertificate.h"

using namespace orvane::test::load;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasuresMemory = false;  // the sanitizer's shadow and quarantine dwarf what is measured
#else
constexpr bool kMeasuresMemory = true;
#endif

template <class Socket>
void holdIdleSockets(int count, std::shared_ptr<net::ssl::context> tls, double maxKiBEach) {
  if (!raiseFileLimit(static_cast<rlim_t>(count) + 256)) {
    GTEST_SKIP() << "the hard limit on open files is below " << count + 256 << ": raise it (ulimit -Hn) to run this";
  }
  constexpr int kWarmUp = 50;  // the allocator's arenas and the hub's tables get going first
  ForkedServer server(count + kWarmUp + 1, std::move(tls));
  net::io_context ioc;
  net::ssl::context clientTls(net::ssl::context::tls_client);
  std::vector<std::unique_ptr<Socket>> idle;
  idle.reserve(static_cast<std::size_t>(count + kWarmUp));
  for (int i = 0; i < kWarmUp; ++i) idle.push_back(join<Socket>(ioc, clientTls, server.port(), "pad", i));
  const long before = server.residentKiB();
  for (int i = kWarmUp; i < count + kWarmUp; ++i) idle.push_back(join<Socket>(ioc, clientTls, server.port(), "pad", i));
  const long after = server.residentKiB();
  const double each = static_cast<double>(after - before) / count;
  std::printf("%d idle %s sockets: %.1f KiB each (server RSS %ld -> %ld KiB)\n", count,
              std::is_same_v<Socket, TlsSocket> ? "TLS" : "plain", each, before, after);

  const auto start = std::chrono::steady_clock::now();
  auto newcomer = join<Socket>(ioc, clientTls, server.port(), "mac", count + kWarmUp);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  if (kMeasuresMemory) {
    EXPECT_LE(each, maxKiBEach);
  }
}

TEST(ServerLoadTest, TenThousandIdlePlainSockets) { holdIdleSockets<PlainSocket>(10000, nullptr, 16); }

TEST(ServerLoadTest, IdleTlsSocketsCostAtMost50KiBEach) {
  orvane::test::SelfSignedCertificate certificate;
  holdIdleSockets<TlsSocket>(1000, std::make_shared<net::ssl::context>(certificate.serverContext()), 50);
}

}  // namespace
