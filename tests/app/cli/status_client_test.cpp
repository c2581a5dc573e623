// `tessamer --status`: the tables it prints from a hub's /status.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/cli/status_client.h"
#include "app/sample_health.h"
#include "app/status/health_json.h"

namespace tessamer {
namespace {

using ::testing::HasSubstr;
using apptest::PopulatedHealth;

TEST(StatusTables, ShowEveryBoxAndViewer) {
  std::string tables;
  ASSERT_TRUE(StatusTables(HealthJson(PopulatedHealth()), tables));
  EXPECT_THAT(tables, ::testing::StartsWith("run: running, started "));
  EXPECT_THAT(tables, HasSubstr(", 1200 records published, 4 repeated\n"));
  EXPECT_THAT(tables, ::testing::ContainsRegex("\nboxes \\(2\\)\nrow +address +state +since +records +rate +age +last error\n"
                                               "0 +127\\.0\\.0\\.2:5000 +connected +[0-9:]{8} +1234 +1\\.5/s +0\\.3 s\n"
                                               "2 +box-3\\.local:5001 +lost +[0-9:]{8} +0 +0\\.0/s +- +Connection refused\n"));
  EXPECT_THAT(tables, ::testing::ContainsRegex("\nviewers \\(2\\)\nsocket +peer +since +lines +bytes +queued +state\n"
                                               "17 +127\\.0\\.0\\.1:40001 +[0-9:]{8} +90 +4500 +12 +connected\n"
                                               "18 +127\\.0\\.0\\.1:40002 .* closed: fell behind\n"));
  EXPECT_FALSE(StatusTables("<html>", tables));
  EXPECT_FALSE(StatusTables("{\"boxes\": 3}", tables));
}

}  // namespace
}  // namespace tessamer
