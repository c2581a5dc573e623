#include "acquisition/job_parser.h"

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testkit/environment.h"

namespace tessamer {
namespace {

using testkit::ScopedTimeZone;

JobHeaderWork ParseBlock(const std::vector<std::string>& lines) {
  JobHeaderWork work;
  for (const std::string& line : lines) ParseHeaderLine(work, line.data(), line.size());
  return work;
}

Header BuildFrom(const std::vector<std::string>& lines) {
  JobHeaderWork work = ParseBlock(lines);
  Header header;
  BuildHeader(work, header);
  return header;
}

std::wstring W(std::wstring_view text) { return std::wstring(text); }

int JobTypeOf(const std::string& value) {
  JobHeaderWork work;
  work.header.jobType = 99;
  const std::string line = "#JobType " + value;
  ParseHeaderLine(work, line.data(), line.size());
  return work.header.jobType;
}

TEST(HeaderLineTest, JobTypeTableIsSearchedInOrderBySubstring) {
  EXPECT_EQ(JobTypeOf("Cementing"), Cementing);
  EXPECT_EQ(JobTypeOf("Slickline"), Slickline);
  EXPECT_EQ(JobTypeOf("Pumping"), Pumping);
  EXPECT_EQ(JobTypeOf("CoiledTubing"), CoiledTubing);
  EXPECT_EQ(JobTypeOf("Coiled"), CoiledTubing);
  EXPECT_EQ(JobTypeOf("Drilling"), Drilling);
  EXPECT_EQ(JobTypeOf("Generic"), Pumping);
  EXPECT_EQ(JobTypeOf("Fracturing"), Pumping);
  EXPECT_EQ(JobTypeOf("Acid"), Acid);
  EXPECT_EQ(JobTypeOf("XAcidJob"), Acid);
  EXPECT_EQ(JobTypeOf("Frac"), 99);   // unrecognised: unchanged
  EXPECT_EQ(JobTypeOf(""), 99);       // missing: unchanged
}

TEST(HeaderLineTest, LoggerFamilyLineMarksTheBlockAndItsRole) {
  EXPECT_FALSE(ParseBlock({"#SerialNumber 1234"}).isJobHeader);
  for (const char* family : {"#Quintrel", "#Vellumetric", "#Kestrelgrid", "#MyVellumetricBox"}) {
    const JobHeaderWork work = ParseBlock({std::string(family) + " Secondary"});
    EXPECT_TRUE(work.isJobHeader) << family;
    EXPECT_TRUE(work.header.secondary) << family;
  }
  EXPECT_FALSE(ParseBlock({"#Vellumetric Secondary", "#Vellumetric Primary"}).header.secondary);
  EXPECT_FALSE(ParseBlock({"#Vellumetric Secondary", "#Vellumetric"}).header.secondary);
  EXPECT_TRUE(ParseBlock({"#Vellumetric cond"}).header.secondary);  // a part of the word
}

TEST(HeaderLineTest, DialVariableForms) {
  Header header = ParseBlock({"#DialVariable Weight Min 0 Max 50000"}).header;
  EXPECT_EQ(W(TextOf(header.dialName)), L"Weight");
  EXPECT_DOUBLE_EQ(header.dialMin, 0.0);
  EXPECT_DOUBLE_EQ(header.dialMax, 50000.0);

  header = ParseBlock({"#DialVariable Rate"}).header;
  EXPECT_EQ(W(TextOf(header.dialName)), L"Rate");
  EXPECT_DOUBLE_EQ(header.dialMin, -2000.0);
  EXPECT_DOUBLE_EQ(header.dialMax, 20000.0);

  header = ParseBlock({"#DialVariable Rate Min 5"}).header;
  EXPECT_DOUBLE_EQ(header.dialMin, 5.0);
  EXPECT_DOUBLE_EQ(header.dialMax, 5.0);

  header = ParseBlock({"#DialVariable Rate Min 5 Max"}).header;
  EXPECT_DOUBLE_EQ(header.dialMin, 5.0);
  EXPECT_DOUBLE_EQ(header.dialMax, 5000.0);

  header = ParseBlock({"#DialVariable Rate Low 5 Max 9"}).header;  // no "Min": only the name
  EXPECT_EQ(W(TextOf(header.dialName)), L"Rate");
  EXPECT_DOUBLE_EQ(header.dialMin, -2000.0);

  header = ParseBlock({"#DialVariable,Rate,\tMin,-1.5e2,,Max,2.5"}).header;  // commas and tabs
  EXPECT_DOUBLE_EQ(header.dialMin, -150.0);
  EXPECT_DOUBLE_EQ(header.dialMax, 2.5);
}

TEST(HeaderLineTest, ListsFillTheirChannelsInOrderAndKeepTheRest) {
  const Header header = ParseBlock({"#VariableList 7 x12 -3 12abc", "#UnitList psi bbl/min klbs",
                                    "#VQIData 1 257 -1"})
                            .header;
  EXPECT_EQ(header.variables[0], 7);
  EXPECT_EQ(header.variables[1], 0);  // no leading integer
  EXPECT_EQ(header.variables[2], -3);
  EXPECT_EQ(header.variables[3], 12);
  EXPECT_EQ(header.variables[4], 4);  // preset when the block starts
  EXPECT_EQ(header.variables[95], 95);
  EXPECT_EQ(W(TextOf(header.units[1])), L"bbl/min");
  EXPECT_EQ(W(TextOf(header.units[3])), L"");
  EXPECT_EQ(header.vqi[0], 1);
  EXPECT_EQ(header.vqi[1], 1);    // low 8 bits
  EXPECT_EQ(header.vqi[2], 255);
}

TEST(HeaderLineTest, IdentityAndVersionTexts) {
  const Header header = ParseBlock({"#SerialNumber SN-0042 extra", "#Firmware Version 8.6v build 3",
                                    "#FPGA Version 2.1", "#Firmware without the word"})
                            .header;
  EXPECT_EQ(W(TextOf(header.serialNumber)), L"SN-0042");
  EXPECT_EQ(W(TextOf(header.firmwareVersion)), L"8.6v build 3");
  EXPECT_EQ(W(TextOf(header.fpgaVersion)), L"2.1");
  // "Version" at the very end of the line: an empty version, no reading past the line.
  EXPECT_EQ(W(TextOf(ParseBlock({"#Firmware Version"}).header.firmwareVersion)), L"");
}

TEST(HeaderLineTest, DiagnosticsAreReadByNameAndDroppedBySerialNumber) {
  Header header = ParseBlock({"#DiagInfo 3V 3.3 5V 5.01 OverV 0 Accl 1.5 ADSVcc 4.9 ADSRef 2.5 "
                              "ADSTemp 41.5 board ok"})
                      .header;
  ASSERT_NE(header.diagnostics, nullptr);
  EXPECT_DOUBLE_EQ(header.diagnostics->values[0], 3.3);
  EXPECT_DOUBLE_EQ(header.diagnostics->values[6], 41.5);
  EXPECT_EQ(W(TextOf(header.diagnostics->text)), L"board ok");

  // A name out of place uses its token up and leaves the value 0.
  header = ParseBlock({"#DiagInfo 3V 3.3 Accl 1.5"}).header;
  ASSERT_NE(header.diagnostics, nullptr);
  EXPECT_DOUBLE_EQ(header.diagnostics->values[0], 3.3);
  EXPECT_DOUBLE_EQ(header.diagnostics->values[1], 0.0);
  EXPECT_DOUBLE_EQ(header.diagnostics->values[3], 0.0);

  EXPECT_EQ(ParseBlock({"#DiagInfo 3V 1", "#SerialNumber 7"}).header.diagnostics, nullptr);
}

TEST(HeaderLineTest, TextKeepsEveryLineUntilItIsFull) {
  JobHeaderWork work = ParseBlock({"#", "#Vellumetric   \r", "#JobType Pumping"});
  EXPECT_STREQ(work.header.text, "#\n#Vellumetric\n#JobType Pumping\n");
  EXPECT_EQ(work.lastLine, "JobType Pumping");

  const std::string longLine = "#Note " + std::string(3000, 'x');
  for (int i = 0; i < 10; ++i) ParseHeaderLine(work, longLine.data(), longLine.size());
  const std::string text = work.header.text;
  EXPECT_LT(text.size(), kHeaderTextChars);
  EXPECT_EQ(text.size(), work.textLength);
  EXPECT_EQ(text.back(), '\n');
  // A line that no longer fits is left out of the text but still parsed.
  const std::string family = "#JobType Acid";
  const std::string filler = "#" + std::string(kHeaderTextChars - work.textLength - 4, 'y');
  ParseHeaderLine(work, filler.data(), filler.size());
  ParseHeaderLine(work, family.data(), family.size());
  EXPECT_EQ(work.header.jobType, Acid);
  EXPECT_EQ(std::string(work.header.text).find("JobType Acid"), std::string::npos);
  EXPECT_LT(std::string(work.header.text).size(), kHeaderTextChars);
}

TEST(HeaderLineTest, LongFieldsAreCutToTheirCapacity) {
  const std::string name(200, 'N');
  const Header header = BuildFrom({"#SerialNumber " + std::string(100, 'S'),
                                   "#UnitList " + std::string(30, 'u'),
                                   "#DialVariable " + name, "#Vellumetric",
                                   "#Date Time " + name});
  EXPECT_EQ(TextOf(header.serialNumber).size(), kVersionChars - 1);
  EXPECT_EQ(TextOf(header.units[0]).size(), kUnitChars - 1);
  EXPECT_EQ(TextOf(header.names[2]).size(), kNameChars - 1);
  // The cut dial name still matches the cut column name.
  EXPECT_EQ(header.dialIndex, 2);
}

TEST(BuildHeaderTest, ColumnLineGivesNamesAndFindsTheDial) {
  const Header header = BuildFrom({"#Vellumetric", "#DialVariable Rate Min 0 Max 20",
                                   "#Date Time Pressure Rate Weight\r"});
  EXPECT_EQ(header.count, 5);
  EXPECT_EQ(W(TextOf(header.names[0])), L"Date");
  EXPECT_EQ(W(TextOf(header.names[4])), L"Weight");
  EXPECT_EQ(header.dialIndex, 3);
  EXPECT_EQ(W(TextOf(header.dialName)), L"Rate");

  const Header four = BuildFrom({"#Vellumetric", "#Date Time P1 P2"});
  EXPECT_EQ(four.count, 4);
  EXPECT_EQ(W(TextOf(four.names[3])), L"P2");
  EXPECT_EQ(W(TextOf(four.dialName)), L"Weight*");  // default Weight is not a column
  EXPECT_EQ(four.dialIndex, 2);
}

TEST(BuildHeaderTest, AtMostMaxChannelsNamesAndDiagnosticsAreCopied) {
  std::string columns = "#";
  for (int i = 0; i < 150; ++i) columns += "C" + std::to_string(i) + " ";
  const Header header = BuildFrom({"#Vellumetric", "#DiagInfo 3V 2", columns});
  EXPECT_LE(header.count, MaxChannels);
  EXPECT_EQ(W(TextOf(header.names[0])), L"C0");
  ASSERT_NE(header.diagnostics, nullptr);
  EXPECT_DOUBLE_EQ(header.diagnostics->values[0], 2.0);
}

Data ParseLine(const std::string& line, bool* ok = nullptr) {
  Data record{};
  const bool parsed = ParseDataLine(line, record);
  if (ok != nullptr) *ok = parsed;
  return record;
}

TEST(DataLineTest, DateTimeFractionAndValues) {
  bool ok = false;
  const Data record = ParseLine("03/15/24 13:45:30.25 1.5 2 -3", &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(record.time.tm_mon, 2);
  EXPECT_EQ(record.time.tm_mday, 15);
  EXPECT_EQ(record.time.tm_year, 124);
  EXPECT_EQ(record.time.tm_hour, 13);
  EXPECT_EQ(record.time.tm_min, 45);
  EXPECT_EQ(record.time.tm_sec, 30);
  EXPECT_EQ(record.fraction, 25);
  ASSERT_EQ(record.count, 3);
  EXPECT_DOUBLE_EQ(record.values[0], 1.5);
  EXPECT_DOUBLE_EQ(record.values[1], 2.0);
  EXPECT_DOUBLE_EQ(record.values[2], -3.0);
  EXPECT_DOUBLE_EQ(record.values[3], 0.0);

  EXPECT_EQ(ParseLine("03/15/2024 13:45:30.25 1.5 2 -3").time.tm_year, 124);
  EXPECT_EQ(ParseLine("03/15/24,13:45:30,,7").values[0], 7.0);
}

TEST(DataLineTest, YearRules) {
  EXPECT_EQ(ParseLine("12/31/69 00:00:00").time.tm_year, 169);  // 2069
  EXPECT_EQ(ParseLine("12/31/70 00:00:00").time.tm_year, 70);   // 1970
  EXPECT_EQ(ParseLine("12/31/99 00:00:00").time.tm_year, 99);
  EXPECT_EQ(ParseLine("12/31/00 00:00:00").time.tm_year, 100);
  EXPECT_EQ(ParseLine("12/31/150 00:00:00").time.tm_year, 150);  // 100 to 1900 kept
  EXPECT_EQ(ParseLine("12/31/1901 00:00:00").time.tm_year, 1);
}

TEST(DataLineTest, MissingTokensAndBadFields) {
  bool ok = true;
  ParseLine("", &ok);
  EXPECT_FALSE(ok);
  ParseLine("03/15/24", &ok);
  EXPECT_FALSE(ok);

  const Data record = ParseLine("3 x:y 1", &ok);  // a date and time that do not parse
  EXPECT_TRUE(ok);
  EXPECT_EQ(record.time.tm_mon, 2);
  EXPECT_EQ(record.time.tm_mday, 0);
  EXPECT_EQ(record.time.tm_hour, 0);
  EXPECT_EQ(record.count, 1);

  // Numbers of hundreds of digits neither overflow nor crash; as values they are out of range.
  const std::string huge(400, '9');
  const Data big = ParseLine(huge + "/" + huge + "/" + huge + " " + huge + ":" + huge + ":" + huge +
                             "." + huge + " " + huge + " -" + huge + " 1e999999");
  EXPECT_EQ(big.count, 3);
  EXPECT_EQ(big.values[0], 0.0);
  EXPECT_EQ(big.values[1], 0.0);
}

TEST(DataLineTest, ValuesThatAreNotFiniteNumbersAreZero) {
  const Data record =
      ParseLine("03/15/24 13:45:30 1.5 inf -inf nan 1e400 -1e400 2.5 NaN -nan(1) Infinity 1e-400");
  const double expected[] = {1.5, 0, 0, 0, 0, 0, 2.5, 0, 0, 0, 0};
  ASSERT_EQ(record.count, 11);
  for (int i = 0; i < record.count; ++i) EXPECT_EQ(record.values[i], expected[i]) << i;

  // The same for the numbers of a header block that reach viewers or the record.
  const Header header = BuildFrom(
      {"#Vellumetric", "#DiagInfo 3V inf 5V 5 OverV nan", "#DialVariable P Min -inf Max 1e400"});
  EXPECT_EQ(header.dialMin, 0.0);
  EXPECT_EQ(header.dialMax, 0.0);
  ASSERT_NE(header.diagnostics, nullptr);
  EXPECT_EQ(header.diagnostics->values[0], 0.0);
  EXPECT_EQ(header.diagnostics->values[1], 5.0);
  EXPECT_EQ(header.diagnostics->values[2], 0.0);
  EXPECT_EQ(ParseBlock({"#DialVariable P Min 1 Max nan"}).header.dialMax, 0.0);
}

TEST(DataLineTest, AtMostMaxChannelsValuesAndLineEndTokensAreSkipped) {
  std::string line = "01/02/24 03:04:05";
  for (int i = 0; i < 120; ++i) line += " " + std::to_string(i);
  const Data record = ParseLine(line);
  EXPECT_EQ(record.count, MaxChannels);
  EXPECT_DOUBLE_EQ(record.values[95], 95.0);

  EXPECT_EQ(ParseLine("01/02/24 03:04:05 1 \r 2").count, 2);
}

TEST(DataLineTest, NumbersDoNotDependOnTheLocale) {
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
      std::setlocale(LC_ALL, "de_DE.utf8") == nullptr) {
    GTEST_SKIP() << "de_DE.UTF-8 locale not installed";
  }
  const Data record = ParseLine("03/15/24 13:45:30.25 1.5 2,25 -3.125");
  const Header header = BuildFrom({"#Vellumetric", "#DialVariable Rate Min 0.5 Max 1.75"});
  std::setlocale(LC_ALL, "C");
  EXPECT_DOUBLE_EQ(record.values[0], 1.5);
  EXPECT_DOUBLE_EQ(record.values[1], 2.0);   // the comma separates two values
  EXPECT_DOUBLE_EQ(record.values[2], 25.0);
  EXPECT_DOUBLE_EQ(record.values[3], -3.125);
  EXPECT_DOUBLE_EQ(header.dialMin, 0.5);
  EXPECT_DOUBLE_EQ(header.dialMax, 1.75);
}

TEST(LocalClockTest, SummerTimeKeepsTheWallClockAsSent) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows C library reads no zone names from TZ, only US summer-time rules";
#endif
  ScopedTimeZone zone("Europe/Berlin");
  CLocalClock clock;
  std::tm time = ParseLine("07/15/24 13:45:30").time;
  EXPECT_EQ(clock.ToTimestamp(time), 1721043930);  // 11:45:30 UTC
  EXPECT_EQ(time.tm_hour, 13);
  EXPECT_EQ(time.tm_min, 45);
  EXPECT_EQ(time.tm_isdst, 1);
  // The next second comes from the cached minute and must agree with the library.
  std::tm next = ParseLine("07/15/24 13:45:31").time;
  EXPECT_EQ(clock.ToTimestamp(next), 1721043931);
  EXPECT_EQ(next.tm_hour, 13);
  EXPECT_EQ(next.tm_wday, 1);  // a Monday
  EXPECT_EQ(next.tm_yday, 196);

  std::tm winter = ParseLine("03/15/24 13:45:30").time;
  EXPECT_EQ(clock.ToTimestamp(winter), 1710510330 - 3600);
  EXPECT_EQ(winter.tm_hour, 13);
  EXPECT_EQ(winter.tm_isdst, 0);
}

TEST(LocalClockTest, UtcAndNormalisation) {
  ScopedTimeZone zone("UTC0");
  CLocalClock clock;
  std::tm time = ParseLine("07/15/24 13:45:30").time;
  EXPECT_EQ(clock.ToTimestamp(time), 1721051130);
  EXPECT_EQ(time.tm_hour, 13);

  std::tm overflow = ParseLine("07/15/24 13:45:75").time;  // second 75 normalises
  EXPECT_EQ(clock.ToTimestamp(overflow), 1721051175);
  EXPECT_EQ(overflow.tm_min, 46);
  EXPECT_EQ(overflow.tm_sec, 15);
  // The cache must not answer for the normalised minute with the wrong base.
  std::tm after = ParseLine("07/15/24 13:46:15").time;
  EXPECT_EQ(clock.ToTimestamp(after), 1721051175);

  std::tm odd = ParseLine("99/99/99 99:99:99").time;  // normalised, never a crash
  clock.ToTimestamp(odd);
  EXPECT_GE(odd.tm_mon, 0);
  EXPECT_LE(odd.tm_mon, 11);
}

class RecordFilterTest : public ::testing::Test {
 protected:
  RecordFilterTest() : zone("UTC0") {}

  bool Feed(const std::string& line) {
    return reader.Read(line, [this](std::unique_ptr<Data> record) { queued.push_back(*record); });
  }

  ScopedTimeZone zone;
  CDataRecordReader reader;
  std::vector<Data> queued;
};

TEST_F(RecordFilterTest, ARecordTwoDaysAheadIsHeldThenDeliveredWhenConfirmed) {
  EXPECT_TRUE(Feed("07/15/24 10:00:00 1"));
  EXPECT_TRUE(Feed("07/17/24 10:00:00 2"));  // the line held a record, though none is queued yet
  EXPECT_TRUE(reader.Holding());
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_TRUE(Feed("07/17/24 10:00:01 3"));
  ASSERT_EQ(queued.size(), 3u);
  EXPECT_EQ(queued[1].values[0], 2.0);
  EXPECT_EQ(queued[1].timestamp, 1721210400);  // unchanged
  EXPECT_EQ(queued[2].values[0], 3.0);
  EXPECT_FALSE(reader.Holding());
}

TEST_F(RecordFilterTest, AGlitchIsDeliveredAtTheMidpointThenTheNewRecord) {
  EXPECT_TRUE(Feed("07/15/24 10:00:00.10 1"));
  EXPECT_TRUE(Feed("07/17/24 10:00:00.90 2"));
  EXPECT_EQ(queued.size(), 1u);
  EXPECT_TRUE(Feed("07/15/24 10:00:10.30 3"));
  ASSERT_EQ(queued.size(), 3u);
  EXPECT_EQ(queued[1].values[0], 2.0);
  EXPECT_EQ(queued[1].timestamp, 1721037605);  // halfway between 10:00:00 and 10:00:10
  EXPECT_EQ(queued[1].time.tm_mday, 15);
  EXPECT_EQ(queued[1].time.tm_sec, 5);
  EXPECT_EQ(queued[1].fraction, 20);
  EXPECT_EQ(queued[2].timestamp, 1721037610);
}

TEST_F(RecordFilterTest, SmallStepsAndBackwardJumps) {
  EXPECT_TRUE(Feed("07/15/24 10:00:00 1"));
  EXPECT_TRUE(Feed("07/16/24 09:59:59 2"));  // within a day: no hold
  EXPECT_TRUE(Feed("07/13/24 10:00:00 3"));  // more than a day back: held
  EXPECT_EQ(queued.size(), 2u);
  EXPECT_FALSE(Feed("garbage"));  // no record: the held one stays held
  EXPECT_TRUE(reader.Holding());
}

TEST(FirmwareTest, VersionsOlderThan86vAreRefused) {
  for (const char* old : {"8.5z", "8.6u", "7.9a", "8.0v", " 8.6a"}) EXPECT_TRUE(IsFirmwareTooOld(old)) << old;
  for (const char* fine : {"8.6v", "8.7a", "9.0a", "8.6", "12", "7.9", "8.6w", "10.1a", ""}) {
    EXPECT_FALSE(IsFirmwareTooOld(fine)) << fine;
  }
}

}  // namespace
}  // namespace tessamer
