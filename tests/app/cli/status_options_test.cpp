// The status endpoint the options ask for: where it listens (a host name resolved once), its
// token, and the refusal to serve beyond loopback without a token unless opened on purpose.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

#include "app/cli/command_line.h"
#include "app/cli/headless_main.h"
#include "app/cli/status_options.h"
#include "app/sample_health.h"
#include "testkit/fake_hub.h"

namespace tessamer {
namespace {

using ::testing::HasSubstr;

// The endpoint of `args`; false with `error` as StatusEndpointOf says.
bool EndpointOf(const std::vector<std::string>& args, std::optional<StatusEndpoint>& endpoint, std::string& error) {
  CommandLine options;
  if (!ParseCommandLine(args, options, error)) return false;
  return StatusEndpointOf(options, endpoint, error);
}

// A file of its own holding `text`; removed with the object.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/tessamer-token-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
    std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
  }
  ~TempFile() { std::remove(path.c_str()); }
};

TEST(StatusOptions, LoopbackByDefaultAHostNameResolvedAndOffWithoutAPort) {
  std::optional<StatusEndpoint> endpoint;
  std::string error;
  ASSERT_TRUE(EndpointOf({}, endpoint, error)) << error;
  EXPECT_FALSE(endpoint);
  ASSERT_TRUE(EndpointOf({"--status-port", "0"}, endpoint, error)) << error;
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->address, "127.0.0.1");
  EXPECT_EQ(endpoint->port, 0);
  EXPECT_TRUE(endpoint->token.empty());
  ASSERT_TRUE(EndpointOf({"--status-port", "8080", "--status-listen", "localhost"}, endpoint, error)) << error;
  EXPECT_EQ(endpoint->address, "127.0.0.1");
  EXPECT_EQ(endpoint->port, 8080);
  EXPECT_FALSE(EndpointOf({"--status-port", "0", "--status-listen", "-bad-"}, endpoint, error));
  EXPECT_THAT(error, HasSubstr("--status-listen takes a dotted IPv4 address or a host name"));

  // Without an endpoint the factory makes the hub itself, with no endpoint around it.
  testkit::FakeHub* fake = nullptr;
  const auto hub = WithStatusEndpoint(
      [&fake](INoticeSink*, const HubConfig&) -> std::unique_ptr<IHubControl> {
        auto made = std::make_unique<testkit::FakeHub>();
        fake = made.get();
        return made;
      },
      std::nullopt)(nullptr, HubConfig{});
  EXPECT_EQ(hub.get(), fake);
  EXPECT_EQ(hub->StatusPort(), 0);
}

TEST(StatusOptions, BeyondLoopbackNeedsATokenOrOpenOnPurpose) {
  std::optional<StatusEndpoint> endpoint;
  std::string error;
  const std::vector<std::string> wide = {"--status-port", "0", "--status-listen", "0.0.0.0"};
  EXPECT_FALSE(EndpointOf(wide, endpoint, error));
  EXPECT_EQ(error, "--status-listen 0.0.0.0 serves the status page beyond this machine: give --status-token-file "
                   "FILE, or --status-open to serve it to anyone");
  EXPECT_FALSE(endpoint);

  std::vector<std::string> open = wide;
  open.push_back("--status-open");
  ASSERT_TRUE(EndpointOf(open, endpoint, error)) << error;
  EXPECT_EQ(endpoint->address, "0.0.0.0");
  EXPECT_TRUE(endpoint->token.empty());

  const TempFile token("  c2VjcmV0-token_1+/=\r\n\n");
  std::vector<std::string> guarded = wide;
  guarded.insert(guarded.end(), {"--status-token-file", token.path});
  ASSERT_TRUE(EndpointOf(guarded, endpoint, error)) << error;
  EXPECT_EQ(endpoint->token, "c2VjcmV0-token_1+/=");

  // A token on loopback is asked for too.
  ASSERT_TRUE(EndpointOf({"--status-port", "0", "--status-token-file", token.path}, endpoint, error)) << error;
  EXPECT_EQ(endpoint->token, "c2VjcmV0-token_1+/=");

  for (const std::string& text : {std::string("\n"), std::string("two words"), std::string("semi;colon")}) {
    const TempFile bad(text);
    guarded.back() = bad.path;
    EXPECT_FALSE(EndpointOf(guarded, endpoint, error)) << text;
    EXPECT_EQ(error, "--status-token-file " + bad.path + " holds no token (1 to 512 letters, digits or -._~+/= on one line)");
  }
  guarded.back() = "/nonexistent/token";
  EXPECT_FALSE(EndpointOf(guarded, endpoint, error));
  EXPECT_EQ(error, "--status-token-file /nonexistent/token cannot be read");

  // The same from a configuration file.
  const TempFile config("status-port = 0\nstatus-listen = 0.0.0.0\nstatus-open = true\n");
  ASSERT_TRUE(EndpointOf({"--config", config.path}, endpoint, error)) << error;
  EXPECT_EQ(endpoint->address, "0.0.0.0");
}

}  // namespace
}  // namespace tessamer
