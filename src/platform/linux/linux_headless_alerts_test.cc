// Scripted answers of the headless alerts (QL_ALERT_ANSWERS).
#include <gtest/gtest.h>

#include "platform/linux/linux_basics.h"

namespace ql::linux_backend {
namespace {

TEST(HeadlessAnswers, ParsesOnlyAWellFormedList) {
  const std::vector<std::pair<std::string, std::deque<int>>> cases = {
      {"1000", {1000}},
      {"1001,1000", {1001, 1000}},
      {"-1000,1000", {-1000, 1000}},
      {"", {}},
      {"1000,", {}},
      {",1000", {}},
      {"1000,,1000", {}},
      {"yes", {}},
      {"10 00", {}},
      {"1000-1", {}},
      {"99999999999", {}},
  };
  for (const auto& [text, answers] : cases) EXPECT_EQ(parseAlertAnswers(text), answers) << "'" << text << "'";
}

TEST(HeadlessAnswers, GivenInOrderThenDismissed) {
  HeadlessAlerts alerts("1001,1000");
  Alert a;
  a.messageText = "Install Quillmark?";
  a.buttons = {"Install", "Not Now"};
  EXPECT_EQ(alerts.runModal(a), 1001);
  EXPECT_EQ(alerts.runModal(a), kAlertFirstButtonReturn);
  EXPECT_EQ(alerts.runModal(a), kAlertDismissed);
}

}  // namespace
}  // namespace ql::linux_backend
