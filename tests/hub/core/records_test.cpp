#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "hub/core/records.h"

namespace tessamer {
namespace {

TEST(Records, DefaultHeader) {
  const Header header;
  EXPECT_EQ(header.count, 0);
  EXPECT_EQ(std::wstring(TextOf(header.dialName)), L"Weight");
  EXPECT_EQ(header.dialMin, -2000.0);
  EXPECT_EQ(header.dialMax, 20000.0);
  EXPECT_EQ(header.dialIndex, 2);
  EXPECT_EQ(header.jobType, Cementing);
  EXPECT_FALSE(header.secondary);
  EXPECT_EQ(header.diagnostics, nullptr);
  EXPECT_EQ(header.names[95][0], L'\0');
  EXPECT_EQ(header.variables[0], 0);
  EXPECT_EQ(header.text[0], '\0');
}

Header HeaderWithDiagnostics() {
  Header header;
  header.count = 2;
  CopyText(header.names[0], L"Pressure");
  CopyText(header.units[1], L"bbl/min");
  header.diagnostics = std::make_unique<DiagnosticsBlock>();
  header.diagnostics->values[3] = 12.5;
  CopyText(header.diagnostics->text, L"rest of line");
  return header;
}

TEST(Records, CopyGivesTheCopyItsOwnDiagnostics) {
  auto source = std::make_unique<Header>(HeaderWithDiagnostics());
  const Header copy(*source);
  ASSERT_NE(copy.diagnostics, nullptr);
  EXPECT_NE(copy.diagnostics.get(), source->diagnostics.get());
  source.reset();  // the copy's block must survive the source
  EXPECT_EQ(copy.diagnostics->values[3], 12.5);
  EXPECT_EQ(std::wstring(TextOf(copy.diagnostics->text)), L"rest of line");
  EXPECT_EQ(std::wstring(TextOf(copy.names[0])), L"Pressure");
  EXPECT_EQ(std::wstring(TextOf(copy.units[1])), L"bbl/min");
}

TEST(Records, AssignmentReplacesOrDropsTheTargetsBlock) {
  Header target = HeaderWithDiagnostics();
  const Header plain;
  target = plain;
  EXPECT_EQ(target.diagnostics, nullptr);
  EXPECT_EQ(target.count, 0);
  const Header withBlock = HeaderWithDiagnostics();
  target = withBlock;
  ASSERT_NE(target.diagnostics, nullptr);
  EXPECT_NE(target.diagnostics.get(), withBlock.diagnostics.get());
  HeaderNotification a{HeaderWithDiagnostics(), 3};
  HeaderNotification b = a;
  EXPECT_EQ(b.agent, 3);
  EXPECT_NE(b.header.diagnostics.get(), a.header.diagnostics.get());
}

TEST(Records, CopyTextCutsToTheFieldWithItsTerminator) {
  wchar_t field[kNameChars];
  const std::wstring long60(60, L'n');
  CopyText(field, std::wstring_view(long60));
  EXPECT_EQ(TextOf(field).size(), kNameChars - 1);
  EXPECT_EQ(field[kNameChars - 1], L'\0');
  CopyText(field, L"ab");
  EXPECT_EQ(std::wstring(TextOf(field)), L"ab");
  EXPECT_EQ(field[kNameChars - 1], L'\0');
}

TEST(Records, BoxAddressHoldsTheDottedPartsInReadingOrder) {
  Box box{BoxAddress(10, 0, 0, 5), 5000, 6};
  unsigned char bytes[4];
  std::memcpy(bytes, &box.address, 4);
  EXPECT_EQ(bytes[0], 10);
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(bytes[2], 0);
  EXPECT_EQ(bytes[3], 5);
  EXPECT_EQ(DottedText(box.address), "10.0.0.5");
  EXPECT_EQ(HostOrderOf(box.address), 0x0A000005u);
  EXPECT_EQ(BoxAddressFromHostOrder(0xC0A8010Au), BoxAddress(192, 168, 1, 10));
}

TEST(Records, PlainRecordsValueInitialiseToZero) {
  const DataNotification n{};
  EXPECT_EQ(n.data.count, 0);
  EXPECT_EQ(n.data.values[95], 0.0);
  EXPECT_EQ(n.data.timestamp, 0);
  EXPECT_EQ(n.agent, 0);
  const Activity a{};
  EXPECT_EQ(a.status, Connected);
}

}  // namespace
}  // namespace tessamer
