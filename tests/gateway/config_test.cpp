// Gateway settings: modem specifications, configuration files, the token file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "gateway/config.h"
#include "gateway_test_util.h"

namespace vela::gateway {
namespace {

TEST(GatewayConfig, ModemSpecifications) {
  struct Case {
    const char* spec;
    const char* name;
    const char* path;
    int baud;
    const char* pin;
    const char* languages;
  } ok[] = {
      {"a=/dev/ttyUSB0", "a", "/dev/ttyUSB0", 9600, "", ""},
      {"gsm-1=/dev/serial/by-id/usb-X,baud=115200", "gsm-1", "/dev/serial/by-id/usb-X", 115200, "", ""},
      {"b=/tmp/m,pin=1234,languages=tr,es,pt", "b", "/tmp/m", 9600, "1234", "tr,es,pt"},
      {"c=/tmp/m,languages=tr,baud=19200", "c", "/tmp/m", 19200, "", "tr"},
  };
  for (const Case& c : ok) {
    ModemConfig m = ParseModemSpec(c.spec);
    EXPECT_EQ(m.name, c.name) << c.spec;
    EXPECT_EQ(m.path, c.path) << c.spec;
    EXPECT_EQ(m.baud, c.baud) << c.spec;
    EXPECT_EQ(m.pin, c.pin) << c.spec;
    EXPECT_EQ(m.languages, c.languages) << c.spec;
  }
  struct Bad {
    const char* spec;
    const char* says;
  } bad[] = {
      {"/dev/ttyUSB0", "NAME=PATH"},
      {"=/dev/x", "NAME=PATH"},
      {"a=", "device path"},
      {"a b=/dev/x", "modem name"},
      {"a=/x,baud=fast", "no number"},
      {"a=/x,baud=0", "outside"},
      {"a=/x,speed=9600", "unknown key 'speed'"},
      {"a=/x,9600", "no KEY=VALUE"},
  };
  for (const Bad& b : bad) {
    try {
      ParseModemSpec(b.spec);
      ADD_FAILURE() << "accepted " << b.spec;
    } catch (const ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << b.spec << ": " << e.what();
    }
  }
}

TEST(GatewayConfig, FileSettingsInOrderWithCommentsAndQuotes) {
  auto s = ParseConfigText(
      "# gateway\n"
      "modem = a=/dev/ttyUSB0,baud=115200\n"
      "modem b=/dev/ttyUSB1\n"
      "\n"
      "  listen   =   0.0.0.0:8765  \n"
      "on-receive = \"/usr/local/bin/hook --json\"\r\n",
      "gw.conf");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0], (std::pair<std::string, std::string>{"modem", "a=/dev/ttyUSB0,baud=115200"}));
  EXPECT_EQ(s[1], (std::pair<std::string, std::string>{"modem", "b=/dev/ttyUSB1"}));
  EXPECT_EQ(s[2], (std::pair<std::string, std::string>{"listen", "0.0.0.0:8765"}));
  EXPECT_EQ(s[3], (std::pair<std::string, std::string>{"on-receive", "/usr/local/bin/hook --json"}));

  GatewayConfig c;
  for (auto& [k, v] : s) ApplySetting(c, k, v);
  EXPECT_EQ(c.modems.size(), 2u);
  EXPECT_EQ(c.listen, "0.0.0.0:8765");
  EXPECT_THROW(ApplySetting(c, "modem", "a=/dev/other"), ConfigError);  // the same name twice
  EXPECT_THROW(ApplySetting(c, "colour", "blue"), ConfigError);
  EXPECT_THROW(ApplySetting(c, "db", ""), ConfigError);
  EXPECT_EQ(c.maxQueue, 100000);
  ApplySetting(c, "max-queue", "0");
  EXPECT_EQ(c.maxQueue, 0);
  EXPECT_THROW(ApplySetting(c, "max-queue", "-1"), ConfigError);
  EXPECT_THROW(ApplySetting(c, "max-queue", "many"), ConfigError);
  EXPECT_EQ(c.sessionHours, 12);
  ApplySetting(c, "session-hours", "48");
  EXPECT_EQ(c.sessionHours, 48);
  for (const char* bad : {"0", "-1", "1.5", "9000"}) EXPECT_THROW(ApplySetting(c, "session-hours", bad), ConfigError);
  try {
    ParseConfigText("db\n", "gw.conf");
    FAIL();
  } catch (const ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("gw.conf:1"), std::string::npos) << e.what();
  }
}

TEST(GatewayConfig, TokenFileCreatedPrivateThenReused) {
  TempDir dir;
  const std::string path = dir.Path("token");
  bool created = false;
  const std::string token = LoadOrCreateToken(path, created);
  EXPECT_TRUE(created);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(LoadOrCreateToken(path, created), token);
  EXPECT_FALSE(created);
  bool again = false;
  EXPECT_NE(LoadOrCreateToken(dir.Path("other"), again), token);  // random, not fixed

  WriteFile(dir.Path("mine"), "  s3cret \n");
  EXPECT_EQ(LoadOrCreateToken(dir.Path("mine"), created), "s3cret");
  WriteFile(dir.Path("empty"), "\n");
  EXPECT_THROW(LoadOrCreateToken(dir.Path("empty"), created), ConfigError);
  EXPECT_THROW(LoadOrCreateToken(dir.Path("no/such/dir/token"), created), ConfigError);
}

}  // namespace
}  // namespace vela::gateway
