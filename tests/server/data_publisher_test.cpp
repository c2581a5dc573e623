#include "server/data_publisher.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "version.h"

namespace tessamer {
namespace {

Data Record(int year, int month, int day, int hour, int minute, int second,
            std::initializer_list<double> values) {
  Data data{};
  data.time.tm_year = year - 1900;
  data.time.tm_mon = month - 1;
  data.time.tm_mday = day;
  data.time.tm_hour = hour;
  data.time.tm_min = minute;
  data.time.tm_sec = second;
  data.count = 0;
  for (double v : values) data.values[data.count++] = v;
  return data;
}

std::string VersionLine() {
  return "# Ostrand version: " + std::to_string(kVersionMajor) + "." +
         std::to_string(kVersionMinor) + "." + std::to_string(kVersionPatch) + "\r\n";
}

// Runs the check under a comma-decimal locale when the machine has one.
class CommaLocale {
 public:
  CommaLocale() : previous(std::setlocale(LC_ALL, nullptr)) {
    active = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  ~CommaLocale() { std::setlocale(LC_ALL, previous.c_str()); }
  bool active;

 private:
  std::string previous;
};

TEST(DataLineTest, TheTextIsByteForByteUnderAnyLocale) {
  CommaLocale locale;
  const std::string line =
      CDataPublisher::DataLine(Record(2024, 5, 5, 14, 3, 7, {1.5, -2}));
  EXPECT_EQ(line, "05/05/24 14:03:07 1.5000 -2.0000 \r\n");
  EXPECT_EQ(line.size(), 35u);
  EXPECT_EQ(CDataPublisher::DataLine(Record(2024, 12, 31, 0, 0, 0, {})),
            "12/31/24 00:00:00 \r\n");
  EXPECT_EQ(CDataPublisher::DataLine(Record(2024, 12, 31, 0, 0, 0, {})).size(), 20u);
  EXPECT_EQ(CDataPublisher::DataLine(Record(2009, 1, 2, 3, 4, 5, {0, 123456.789, -0.00004})),
            "01/02/09 03:04:05 0.0000 123456.7890 -0.0000 \r\n");
  if (!locale.active) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
}

TEST(DataLineTest, ACountOutsideTheRecordIsClamped) {
  Data data = Record(2024, 1, 1, 0, 0, 0, {});
  for (double& v : data.values) v = 1;
  data.count = 1000;
  const std::string line = CDataPublisher::DataLine(data);
  size_t values = 0;
  for (size_t at = line.find("1.0000 "); at != std::string::npos; at = line.find("1.0000 ", at + 1))
    ++values;
  EXPECT_EQ(values, static_cast<size_t>(MaxChannels));
  data.count = -5;
  EXPECT_EQ(CDataPublisher::DataLine(data), "01/01/24 00:00:00 \r\n");
}

TEST(HeaderBlockTest, ChannelsTypesAndDialAreWrittenAsViewersReadThem) {
  CommaLocale locale;
  Header header;
  header.count = 2;
  CopyText(header.serialNumber, L"SN-77");
  header.jobType = CoiledTubing;
  CopyText(header.dialName, L"Pressure");
  header.dialMin = -1.5;
  header.dialMax = 2500;
  header.vqi[0] = 200;
  header.vqi[1] = 7;
  header.variables[0] = 12;
  header.variables[1] = -3;
  CopyText(header.units[0], L"psi");
  CopyText(header.units[1], L"m\u00b3");
  CopyText(header.names[0], L"Pressure_0");
  CopyText(header.names[1], L"Rate_1");
  EXPECT_EQ(CDataPublisher::HeaderBlock(header),
            "#  Quintrel Job Data\r\n# SerialNumber SN-77\r\n" + VersionLine() +
                "# JobType ColiedTubing\r\n# DialVariable Pressure Min -1.50 Max 2500.00\r\n"
                "# VQIData 200 7 \r\n# VariableList 12 -3 \r\n# UnitList psi m\xb3 \r\n"
                "#Pressure_0 Rate_1 \r\n");
}

TEST(HeaderBlockTest, NoChannelsAndAJobTypeWithoutNameLeaveTheLinesEmpty) {
  Header header;
  header.jobType = Acid;
  EXPECT_EQ(CDataPublisher::HeaderBlock(header),
            "#  Quintrel Job Data\r\n# SerialNumber \r\n" + VersionLine() +
                "# JobType \r\n# DialVariable Weight Min -2000.00 Max 20000.00\r\n"
                "# VQIData \r\n# VariableList \r\n# UnitList \r\n#\r\n");
  const char* names[] = {"Cementing", "Slickline", "Pumping", "ColiedTubing", "", "Drilling", ""};
  for (int type = 0; type <= 6; ++type) {
    header.jobType = type;
    EXPECT_NE(CDataPublisher::HeaderBlock(header).find(std::string("# JobType ") + names[type] +
                                                       "\r\n"),
              std::string::npos)
        << type;
  }
}

TEST(PublisherTest, WithoutAServerPublishingDoesNothing) {
  CDataPublisher publisher;
  publisher.PublishHeader(Header());
  publisher.PublishData(Record(2024, 1, 1, 0, 0, 0, {1}));
  EXPECT_EQ(publisher.Server(), nullptr);
  EXPECT_FALSE(publisher.StartServer());
}

TEST(PublisherTest, TextsAreStoredInTheServerAsTheLastOfTheirKind) {
  CDataPublisher publisher;
  publisher.SetServer(std::make_unique<CDataServer>(0, nullptr, "127.0.0.1"), 0);
  publisher.PublishData(Record(2024, 5, 5, 14, 3, 7, {1.5}));  // stored though nobody listens
  publisher.PublishData(Record(2024, 5, 5, 14, 3, 8, {2.5}));
  Header header;
  publisher.PublishHeader(header);
  EXPECT_EQ(publisher.Server()->Saved(SavedText::DataLine), "05/05/24 14:03:08 2.5000 \r\n");
  EXPECT_EQ(publisher.Server()->Saved(SavedText::Header), CDataPublisher::HeaderBlock(header));
}

}  // namespace
}  // namespace tessamer
