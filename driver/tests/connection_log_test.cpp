// The connection log's lines and the dates the driver writes.
#include "netlink/connection_log.h"

#include <gtest/gtest.h>

#include "common/ole_date.h"

namespace tessar {
namespace {

TEST(ConnectionLog, StampsLinesAndKeepsTheLast22) {
  platform::ManualClock clock(0, {2024, 3, 9, 7, 5, 4, 0});
  ConnectionLog log(clock);
  EXPECT_EQ(log.Write("Соединение..."), "09.03.2024 07:05:04 Соединение...");
  for (int i = 2; i <= 23; ++i) {
    clock.Advance(1000);
    log.Write("line " + std::to_string(i));
  }
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 22u);
  EXPECT_EQ(lines.front(), "09.03.2024 07:05:05 line 2");
  EXPECT_EQ(lines.back(), "09.03.2024 07:05:26 line 23");
}

TEST(OleDate, ConvertsBothWays) {
  struct Case {
    platform::LocalTime time;
    double date;
  };
  const Case cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},
      {{1900, 1, 1, 6, 0, 0, 0}, 2.25},
      {{2024, 5, 1, 12, 0, 0, 0}, 45413.5},
      {{1899, 12, 29, 0, 0, 0, 0}, -1.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(ToOleDate(c.time), c.date) << c.date;
    const auto back = FromOleDate(c.date);
    ASSERT_TRUE(back) << c.date;
    EXPECT_EQ(ToOleDate(*back), c.date);
  }
  EXPECT_EQ(FormatOleDate(45413.75), "2024-05-01 18:00:00.000");
  EXPECT_EQ(FormatOleDate(-1.25), "1899-12-29 06:00:00.000");
  EXPECT_EQ(FormatOleDate(45413.99999999999), "2024-05-02 00:00:00.000");
  EXPECT_FALSE(FromOleDate(1e300));
  EXPECT_FALSE(FromOleDate(std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace
}  // namespace tessar
