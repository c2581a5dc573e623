#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "support/error_numbers.h"
#include "support/text.h"
#include "testkit/environment.h"
#include "testkit/fake_box.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {
namespace {

using testkit::Acknowledge;
using testkit::FakeBox;

// A box on 127.0.0.2 and the bridge's kind of connection to it, opened.
class UtilityCommandsTest : public ::testing::Test {
 protected:
  void Open(const std::string& banner = testkit::kBoxBanner) {
    box = std::make_unique<FakeBox>("127.0.0.2");
    box->SetUtilityBanner(banner);
    utility = std::make_unique<CVellumetricUtility>(false, true, std::wstring(), "127.0.0.2",
                                                    box->UtilityPort());
    utility->SetOpenTimeout(300);
    utility->SetErrorObserver([this](const std::wstring& text) { observed.push_back(text); });
    ASSERT_TRUE(utility->Connect());
    utility->Link().receiveTimeoutMs = 300;
  }

  void Answer(FakeBox::Responder responder) { box->SetUtilityResponder(std::move(responder)); }
  std::wstring ErrorText() const { return utility->GetErrorInfo().text; }

  std::unique_ptr<FakeBox> box;
  std::unique_ptr<CVellumetricUtility> utility;
  std::vector<std::wstring> observed;
};

TEST_F(UtilityCommandsTest, CommentLinesAroundTheAcknowledgementAreSkipped) {
  Open();
  Answer([](const std::string& line) {
    return "# before\r\nExtended Command done " + std::to_string(line.size()) +
           "\r\n# between\r\nDone\r\n";
  });
  EXPECT_TRUE(utility->CommandA(5));
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GA 5\r\n"});
  EXPECT_FALSE(utility->GetErrorInfo().failed);
  EXPECT_EQ(utility->Link().capture,
            "# before\r\nExtended Command done 6\r\n# between\r\nDone\r\n");
}

TEST_F(UtilityCommandsTest, MarkerLineWithoutDoneFails) {
  Open();
  Answer([](const std::string&) { return std::string("Extended Command done 6\r\nFailed\r\n"); });
  EXPECT_FALSE(utility->CommandA(5));
  EXPECT_EQ(ErrorText(), L"Incorrect response received for A request");
  EXPECT_EQ(utility->GetErrorInfo().code, 0);
  EXPECT_EQ(observed, std::vector<std::wstring>{L"Incorrect response received for A request"});
}

TEST_F(UtilityCommandsTest, SilentBoxGivesTheIncorrectResponseText) {
  Open();
  Answer([](const std::string&) { return std::string(); });
  EXPECT_FALSE(utility->CommandU(2));
  EXPECT_EQ(ErrorText(), L"Incorrect response received for U request");
  EXPECT_TRUE(utility->IsConnected());
}

TEST_F(UtilityCommandsTest, AcknowledgementWithoutCount) {
  Open();
  Answer([](const std::string&) { return std::string("Extended Command done \r\nDone\r\n"); });
  EXPECT_FALSE(utility->CommandA(1));
  EXPECT_EQ(ErrorText(), L"Bytes written not sent back in response");
}

TEST_F(UtilityCommandsTest, CountMismatchNamesBothNumbers) {
  Open();
  Answer([](const std::string&) { return std::string("Extended Command done 13\r\nDone\r\n"); });
  EXPECT_FALSE(utility->CommandS(12, 3.5));
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GS 12 3.5000\r\n"});
  EXPECT_EQ(ErrorText(), L"Variable #: 14 written does not match variable #: 13 in response");
}

TEST_F(UtilityCommandsTest, SetValueIsWrittenWithAPointUnderAnyLocale) {
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE locale";
  Open();
  const bool result = utility->CommandS(3, -0.25);
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_TRUE(result);
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GS 3 -0.2500\r\n"});
}

TEST_F(UtilityCommandsTest, ZeroCommandFormDependsOnTheBanner) {
  Open();
  EXPECT_TRUE(utility->CommandZ(5));
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GZ 5\r\n"});

  Open("");  // a box that greets with nothing
  ASSERT_TRUE(utility->MissingBanner());
  EXPECT_TRUE(utility->CommandZ(5));
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GY 5 \r\n"});
  EXPECT_FALSE(utility->GetErrorInfo().failed);

  const std::vector<int32_t> variables{1, 22, 3};
  std::vector<int32_t> undone{99};
  EXPECT_TRUE(utility->RunZCommand(variables, undone));
  EXPECT_TRUE(undone.empty());
  EXPECT_EQ(box->UtilityLines().back(), "GY 1 22 3 \r\n");
}

TEST_F(UtilityCommandsTest, YRequestWithWrongCount) {
  Open("");
  Answer([](const std::string&) { return std::string("Extended Command done 6\r\nDone\r\n"); });
  EXPECT_FALSE(utility->CommandZ(5));
  EXPECT_EQ(ErrorText(), L"Variable #: 7 written does not match variable #: 6 in response");
  Answer([](const std::string&) { return std::string("nothing useful\r\n"); });
  EXPECT_FALSE(utility->CommandZ(5));
  EXPECT_EQ(ErrorText(), L"Incorrect response received for Y request");
}

TEST_F(UtilityCommandsTest, RequestThatDoesNotFitIsNotSentAndLeavesTheResultTrue) {
  Open();
  const std::vector<std::string> texts{std::string(507, 'x')};
  EXPECT_TRUE(utility->SendTextCommands(texts));
  // 506 characters make a request of exactly 511 bytes: it fits and is sent.
  const std::vector<std::string> fitting{std::string(506, 'y')};
  EXPECT_TRUE(utility->SendTextCommands(fitting));
  ASSERT_TRUE(box->WaitForUtilityLines(1));
  EXPECT_EQ(box->UtilityLines(), std::vector<std::string>{"GC " + std::string(506, 'y') + "\r\n"});
}

TEST_F(UtilityCommandsTest, SequenceResultIsTheLastItemsOutcome) {
  Open();
  Answer([](const std::string& line) {
    if (line == "GA 1\r\n") return std::string("Extended Command done 99\r\nDone\r\n");
    return Acknowledge(line);
  });
  const std::vector<int32_t> variables{1, 2};
  EXPECT_TRUE(utility->SendLetterCommand(variables, 'A'));
  EXPECT_EQ(ErrorText(), L"Variable #: 6 written does not match variable #: 99 in response");
  const std::vector<int32_t> reversed{2, 1};
  EXPECT_FALSE(utility->SendLetterCommand(reversed, 'A'));
  EXPECT_EQ(box->UtilityLines().size(), 4u);
}

TEST_F(UtilityCommandsTest, SocketErrorGivesItsNumberAndTheUndoneVariables) {
  Open();
  Answer([](const std::string& line) {
    if (line == "GZ 2\r\n") return testkit::kCloseConnection;
    return Acknowledge(line);
  });
  const std::vector<int32_t> variables{1, 2, 3};
  std::vector<int32_t> undone;
  EXPECT_FALSE(utility->SendZCommands(variables, undone));
  EXPECT_EQ(undone, (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(utility->GetErrorInfo().code, kWsaNotConnected);
  if (!testkit::UnderWine()) {  // Wine has no text for 10057
    EXPECT_NE(ErrorText(), L"");
  }
}

TEST_F(UtilityCommandsTest, SetValueOnAClosedConnectionFailsWithASocketNumber) {
  Open();
  utility->Disconnect();
  EXPECT_FALSE(utility->CommandS(1, 2.0));
  EXPECT_TRUE(utility->GetErrorInfo().failed);
  EXPECT_NE(utility->GetErrorInfo().code, 0);
}

TEST_F(UtilityCommandsTest, OverlongAcknowledgementIsRejectedSafely) {
  Open();
  // An acknowledgement line that fills the whole 128-byte response buffer leaves no room for
  // the "Done" line behind it.
  Answer([](const std::string&) {
    return "Extended Command done 6" + std::string(200, ' ') + "\r\nDone\r\n";
  });
  EXPECT_FALSE(utility->CommandA(5));
  EXPECT_EQ(ErrorText(), L"Incorrect response received for A request");
}

TEST(UtilityCommandsPerCommand, EachCommandOpensAndClosesItsConnection) {
  FakeBox box("127.0.0.2");
  CVellumetricUtility utility(true, true, {}, "127.0.0.2", box.UtilityPort());
  utility.SetOpenTimeout(300);
  EXPECT_FALSE(utility.IsConnected());
  const std::vector<std::string> texts{"PING"};
  EXPECT_TRUE(utility.SendTextCommands(texts));
  EXPECT_FALSE(utility.IsConnected());
  EXPECT_TRUE(box.WaitForUtilityDisconnections(1));
  EXPECT_EQ(utility.Link().capture, "Extended Command done 9\r\nDone\r\n");
  EXPECT_TRUE(utility.CommandZ(4));
  EXPECT_TRUE(box.WaitForUtilityDisconnections(2));
  EXPECT_EQ(box.UtilityLines(), (std::vector<std::string>{"GC PING\r\n", "GZ 4\r\n"}));
}

TEST(UtilityCommandsPerCommand, UnreachableBoxFailsTheCommand) {
  asio::io_context io;
  asio::ip::tcp::acceptor bound(io);
  bound.open(asio::ip::tcp::v4());
  bound.bind({asio::ip::make_address_v4("127.0.0.6"), 0});
  CVellumetricUtility utility(true, true, {}, "127.0.0.6", bound.local_endpoint().port());
  utility.SetOpenTimeout(100);
  EXPECT_FALSE(utility.CommandZ(1));
  EXPECT_EQ(utility.GetErrorInfo().text,
            L"A timeout occurred while waiting for an operation to complete");
  EXPECT_EQ(utility.GetErrorInfo().code, 0);
  EXPECT_FALSE(utility.CommandA(1));
  EXPECT_EQ(utility.GetErrorInfo().text,
            L"A timeout occurred while waiting for an operation to complete");
}

}  // namespace
}  // namespace tessamer
