// What the web console added to the API, over HTTP on the loopback address:
// POST /v1/preview against the encoder that sends, search over inbox and
// outbox, sign-in to a session, the CSRF token, the sign-in rate limit, the
// embedded files and their security headers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "coding/text_coding.h"
#include "gateway/http_api.h"
#include "gateway/search.h"
#include "gateway/sqlite_store.h"
#include "gateway/web_console.h"
#include "gateway_test_util.h"
#include "common/utf8.h"

namespace vela::gateway {
namespace {

using nlohmann::json;

class TwoModems : public ModemDirectory {
 public:
  std::vector<ModemInfo> Modems() override {
    ModemInfo a;
    a.name = "plain";
    a.state = "up";
    ModemInfo b;
    b.name = "turkish";
    b.state = "up";
    b.languages = {coding::kLanguageTurkish};
    return {a, b};
  }
  bool Has(const std::string& name) override { return name == "plain" || name == "turkish"; }
  void WakeSenders() override {}
};

class ConsoleApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<SqliteStore>(dir_.Path("g.db"));
    ApiSettings s;
    s.token = "t0ken";
    s.threads = 4;
    api_ = std::make_unique<HttpApi>(*store_, modems_, events_, metrics_, s);
    api_->Bind("127.0.0.1", 0);
    thread_ = std::thread([this] { api_->Run(); });
  }
  void TearDown() override {
    api_->Stop();
    thread_.join();
  }
  httplib::Client Client(const std::string& token = "t0ken") {
    httplib::Client c("127.0.0.1", api_->Port());
    if (!token.empty()) c.set_bearer_token_auth(token);
    c.set_read_timeout(5, 0);
    return c;
  }
  httplib::Result Preview(const json& body) { return Client().Post("/v1/preview", body.dump(), "application/json"); }
  // Signs in; returns the cookie header value and the CSRF token.
  std::pair<std::string, std::string> SignIn() {
    auto r = Client("").Post("/console/session", R"({"token": "t0ken"})", "application/json");
    EXPECT_EQ(r->status, 200) << r->body;
    const std::string cookie = r->get_header_value("Set-Cookie");
    return {cookie.substr(0, cookie.find(';')), json::parse(r->body)["csrf"].get<std::string>()};
  }

  TempDir dir_;
  std::unique_ptr<SqliteStore> store_;
  TwoModems modems_;
  EventNotifier events_;
  Metrics metrics_;
  std::unique_ptr<HttpApi> api_;
  std::thread thread_;
};

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST_F(ConsoleApiTest, PreviewIsWhatTheEncoderSends) {
  struct Case {
    std::string text, languages, coding;
    int parts;
    const char* codingName;
    int units, left;
    std::vector<std::string> tables;
    std::vector<std::string> because;  // code points forcing UCS2
    int partsIfReplaced;               // 0: nothing to replace
  } cases[] = {
      {"", "", "", 1, "gsm7", 0, 160, {}, {}, 0},
      {std::string(160, 'a'), "", "", 1, "gsm7", 160, 0, {}, {}, 0},
      {std::string(161, 'a'), "", "", 2, "gsm7", 161, 145, {}, {}, 0},
      // An escape pair is never split: the euro sign opens part 2.
      {std::string(152, 'a') + "€" + std::string(10, 'a'), "", "auto", 2, "gsm7", 164, 141, {}, {}, 0},
      {"{}", "", "", 1, "gsm7", 4, 156, {}, {}, 0},
      {std::string(1600, 'a'), "", "", 11, "gsm7", 1600, 83, {}, {}, 0},
      {"It’s", "", "", 1, "ucs2", 4, 66, {}, {"U+2019"}, 1},
      {std::string(100, 'a') + "’", "", "", 2, "ucs2", 101, 33, {}, {"U+2019"}, 1},
      {"😀 “hi”", "", "", 1, "ucs2", 7, 63, {}, {"U+1F600", "U+201C", "U+201D"}, 1},
      {Repeat("ж", 70), "", "", 1, "ucs2", 70, 0, {}, {"U+0436"}, 0},
      {Repeat("ж", 71), "", "", 2, "ucs2", 71, 63, {}, {"U+0436"}, 0},
      {"Ağaç", "", "", 1, "ucs2", 4, 66, {}, {"U+011F", "U+00E7"}, 1},
      // Single shift only (one 3-octet element, 5 septets of header).
      {"Ağaç", "tr", "", 1, "gsm7", 6, 149, {"tr"}, {}, 0},
      {"Está aquí", "es", "", 1, "gsm7", 11, 144, {"es"}, {}, 0},
      // The locking table saves a part: 100 septets instead of 200.
      {Repeat("ê", 100), "pt", "", 1, "gsm7", 100, 55, {"pt"}, {}, 0},
      {Repeat("ê", 100), "all", "", 1, "gsm7", 100, 55, {"pt"}, {}, 0},
      {"नमस्ते", "hi", "", 1, "gsm7", 6, 149, {"hi"}, {}, 0},
      {"abc", "", "ucs2", 1, "ucs2", 3, 67, {}, {}, 0},
      {"héllo", "", "8bit", 1, "8bit", 6, 134, {}, {}, 0},
      {std::string(141, 'x'), "", "8bit", 2, "8bit", 141, 127, {}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40) + " languages=" + c.languages + " coding=" + c.coding);
    json body{{"text", c.text}};
    if (!c.languages.empty()) body["languages"] = c.languages;
    if (!c.coding.empty()) body["coding"] = c.coding;
    auto r = Preview(body);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const json p = json::parse(r->body);
    EXPECT_EQ(p["parts"], c.parts);
    EXPECT_EQ(p["coding"], c.codingName);
    EXPECT_EQ(p["septets_or_units"], c.units);
    EXPECT_EQ(p["left_in_part"], c.left);
    EXPECT_EQ(p["languages"], json(c.tables));
    std::vector<std::string> because;
    for (const json& b : p["ucs2_because"]) because.push_back(b["codepoint"]);
    EXPECT_EQ(because, c.because);
    if (c.partsIfReplaced) {
      EXPECT_EQ(p["if_replaced"]["parts"], c.partsIfReplaced) << p.dump();
    } else {
      EXPECT_TRUE(p["if_replaced"].is_null()) << p.dump();
    }
    EXPECT_EQ(p["max_parts"], 10);

    // The sender's encoder gives the same message.
    coding::SubmitOptions o;
    o.destination = "+15551234";
    o.coding = coding::ParseCoding(c.coding.empty() ? "auto" : c.coding);
    o.languages = coding::ParseLanguageList(c.languages);
    o.maxParts = 255;
    const coding::SubmitMessage m = coding::EncodeSubmitMessage(WideFromUtf8(c.text), o);
    EXPECT_EQ(static_cast<int>(m.parts.size()), p["parts"].get<int>());
    EXPECT_EQ(coding::CodingName(m.coding), p["coding"].get<std::string>());
  }

  // Each character forcing UCS2 is named once, with its stand-in (null if none).
  const json p = json::parse(Preview({{"text", "’’😀"}})->body);
  ASSERT_EQ(p["ucs2_because"].size(), 2u);
  EXPECT_EQ(p["ucs2_because"][0], json({{"char", "’"}, {"codepoint", "U+2019"}, {"replacement", "'"}}));
  EXPECT_EQ(p["ucs2_because"][1], json({{"char", "😀"}, {"codepoint", "U+1F600"}, {"replacement", nullptr}}));
  // Without languages, a modem's default tables apply, as its sender uses them.
  EXPECT_EQ(json::parse(Preview({{"text", "Ağaç"}, {"modem", "turkish"}})->body)["coding"], "gsm7");
  EXPECT_EQ(json::parse(Preview({{"text", "Ağaç"}, {"modem", "plain"}})->body)["coding"], "ucs2");
}

TEST_F(ConsoleApiTest, PreviewRefusesWhatCannotBeSent) {
  struct Case {
    std::string body;
    int status;
    const char* says;
  } cases[] = {
      {R"({"text": "A’", "coding": "gsm7"})", 422, "U+2019"},
      {R"({"text": "a", "languages": "klingon"})", 422, "klingon"},
      {R"({"text": "a", "coding": "ebcdic"})", 422, "ebcdic"},
      {R"({"text": "a", "modem": "nope"})", 422, "unknown modem"},
      {R"({"text": 5})", 400, "\"text\" must be a string"},
      {R"({"languages": "tr"})", 400, "missing field \"text\""},
      {R"({"text": "a", "languages": 3})", 400, "languages"},
      {R"([1])", 400, "JSON object"},
      {"{\"text\": \"" + std::string(40000, 'a') + "\"}", 422, "parts"},
  };
  for (const Case& c : cases) {
    auto r = Client().Post("/v1/preview", c.body, "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << c.body.substr(0, 60) << " -> " << r->body;
    EXPECT_NE(json::parse(r->body).value("error", "").find(c.says), std::string::npos) << r->body;
  }
  EXPECT_EQ(Client("").Post("/v1/preview", R"({"text": "a"})", "application/json")->status, 401);
}

TEST_F(ConsoleApiTest, SearchFindsNumbersAndWordsInBothDirections) {
  auto send = [this](const std::string& to, const std::string& text) {
    OutgoingRequest r;
    r.to = to;
    r.text = text;
    r.coding = "auto";
    return store_->Enqueue(r, NowMs()).id;
  };
  auto receive = [this](const std::string& from, const std::string& text, const std::string& time) {
    ReceivedMessage m;
    m.modem = "plain";
    m.originator = from;
    m.text = text;
    m.smscTime = time;
    return *store_->AddReceived(m, {}, false, NowMs());
  };
  const int64_t s1 = send("+4915112345", "Meeting moved to Friday");
  const int64_t s2 = send("+15550001111", "Grün ist die Farbe");
  const int64_t r1 = receive("+4915112345", "OK, friday works", "2026-01-01 10:00:00");
  const int64_t r2 = receive("+79161234567", "Привет, как дела?", "2026-01-01 10:01:00");
  const int64_t r3 = receive("VELABANK", "Your code is 5112", "2026-01-01 10:02:00");

  struct Case {
    const char* query;
    std::vector<int64_t> sent, received;  // newest first
  } cases[] = {
      {"FRIDAY", {s1}, {r1}},
      {"friday ok", {}, {r1}},
      {"+49 151 12345", {s1}, {r1}},
      {"5112", {s1}, {r3, r1}},  // digits of a number, or a word of the text
      {"GRÜN", {s2}, {}},
      {"ПРИВЕТ", {}, {r2}},
      {"velabank", {}, {r3}},
      {"nothing-like-this", {}, {}},
      {"   ", {}, {}},
  };
  auto ids = [](const json& list) {
    std::vector<int64_t> out;
    for (const json& m : list) out.push_back(m["id"]);
    return out;
  };
  for (const Case& c : cases) {
    auto r = Client().Get("/v1/search?q=" + httplib::detail::encode_query_param(c.query));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    const json body = json::parse(r->body);
    EXPECT_EQ(ids(body["sent"]), c.sent) << c.query;
    EXPECT_EQ(ids(body["received"]), c.received) << c.query;
    // The paging search any store has finds the same.
    const SearchHits generic = store_->Store::Search(c.query, 100);
    std::vector<int64_t> sent, received;
    for (const auto& m : generic.sent) sent.push_back(m.id);
    for (const auto& m : generic.received) received.push_back(m.id);
    EXPECT_EQ(sent, c.sent) << c.query;
    EXPECT_EQ(received, c.received) << c.query;
  }
  EXPECT_EQ(Client().Get("/v1/search?q=a&limit=abc")->status, 400);
  EXPECT_EQ(Client("").Get("/v1/search?q=friday")->status, 401);
}

TEST_F(ConsoleApiTest, SessionCookieCsrfAndSignOut) {
  auto anon = Client("");
  auto r = anon.Post("/console/session", R"({"token": "t0ken"})", "application/json");
  ASSERT_EQ(r->status, 200);
  const std::string setCookie = r->get_header_value("Set-Cookie");
  EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos) << setCookie;
  EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos) << setCookie;
  EXPECT_EQ(setCookie.find("t0ken"), std::string::npos) << "the token itself in the cookie";
  const std::string cookie = setCookie.substr(0, setCookie.find(';'));
  const std::string csrf = json::parse(r->body)["csrf"];

  const httplib::Headers session{{"Cookie", cookie}};
  const httplib::Headers withCsrf{{"Cookie", cookie}, {"X-CSRF-Token", csrf}};
  const std::string message = R"({"to": "+15551234", "text": "hi"})";
  EXPECT_EQ(anon.Get("/v1/messages", session)->status, 200);
  EXPECT_EQ(json::parse(anon.Get("/console/session", session)->body)["csrf"], csrf);
  // Changes under a session need the session's CSRF token.
  EXPECT_EQ(anon.Post("/v1/messages", session, message, "application/json")->status, 403);
  EXPECT_EQ(anon.Post("/v1/messages", {{"Cookie", cookie}, {"X-CSRF-Token", csrf + "0"}}, message, "application/json")
                ->status,
            403);
  EXPECT_TRUE(store_->ListMessages({}).empty());
  EXPECT_EQ(anon.Post("/v1/messages", withCsrf, message, "application/json")->status, 202);
  EXPECT_EQ(anon.Post("/v1/preview", withCsrf, R"({"text": "x"})", "application/json")->status, 200);
  // A made-up session is no session.
  EXPECT_EQ(anon.Get("/v1/messages", {{"Cookie", "velasms_session=" + std::string(64, 'a')}})->status, 401);
  // A wrong bearer token is not rescued by a session.
  auto wrong = Client("wr0ng");
  EXPECT_EQ(wrong.Get("/v1/messages", session)->status, 401);

  EXPECT_EQ(anon.Delete("/console/session", session)->status, 403);
  auto out = anon.Delete("/console/session", withCsrf);
  EXPECT_EQ(out->status, 200);
  EXPECT_NE(out->get_header_value("Set-Cookie").find("Max-Age=0"), std::string::npos);
  EXPECT_EQ(anon.Get("/v1/messages", session)->status, 401);
  EXPECT_FALSE(json::parse(anon.Get("/console/session", session)->body)["signed_in"].get<bool>());

  // Sign-in takes JSON only: a cross-site form cannot send it.
  EXPECT_EQ(anon.Post("/console/session", "token=t0ken", "application/x-www-form-urlencoded")->status, 415);
  EXPECT_EQ(anon.Post("/console/session", "{\"token\": 1}", "application/json")->status, 400);
}

TEST_F(ConsoleApiTest, FiveWrongTokensBlockTheAddressForAMinute) {
  auto anon = Client("");
  for (int i = 0; i < SignInLimiter::kMaxFailures; ++i) {
    auto r = anon.Post("/console/session", R"({"token": "guess"})", "application/json");
    ASSERT_EQ(r->status, 401) << i;
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty());
  }
  for (const char* token : {"guess", "t0ken"}) {
    auto r = anon.Post("/console/session", json{{"token", token}}.dump(), "application/json");
    EXPECT_EQ(r->status, 429) << token;
    const int wait = std::stoi("0" + r->get_header_value("Retry-After"));
    EXPECT_GE(wait, 55);
    EXPECT_LE(wait, 60);
    EXPECT_TRUE(r->get_header_value("Set-Cookie").empty());
  }
  // The API with the bearer token is not the sign-in: it goes on.
  EXPECT_EQ(Client().Get("/v1/messages")->status, 200);
}

TEST(SignInLimiter, CountsWithinAMinuteAndBlocksForTheNext) {
  SignInLimiter l;
  const int64_t t0 = 1'000'000;
  for (int i = 0; i < 4; ++i) l.Failed("10.0.0.1", t0 + i * 1000);
  EXPECT_EQ(l.RetryAfterSeconds("10.0.0.1", t0 + 4000), 0);
  // Failures older than a minute no longer count: four more are not five.
  for (int i = 0; i < 4; ++i) l.Failed("10.0.0.1", t0 + 63'000 + i * 500);
  EXPECT_EQ(l.RetryAfterSeconds("10.0.0.1", t0 + 64'500), 0);
  l.Failed("10.0.0.1", t0 + 65'000);
  EXPECT_EQ(l.RetryAfterSeconds("10.0.0.1", t0 + 65'000), 60);
  EXPECT_EQ(l.RetryAfterSeconds("10.0.0.1", t0 + 124'500), 1);
  EXPECT_EQ(l.RetryAfterSeconds("10.0.0.1", t0 + 125'000), 0);
  EXPECT_EQ(l.RetryAfterSeconds("10.0.0.2", t0 + 65'000), 0);
}

TEST(SessionTable, EndsAfterIdleTimeAndOnSignOut) {
  SessionTable t(3600'000);
  const auto [id, csrf] = t.Create(0);
  EXPECT_EQ(id.size(), 64u);
  EXPECT_NE(id, csrf);
  EXPECT_EQ(t.Use(id, 3599'000), csrf);  // used: the idle time starts again
  EXPECT_EQ(t.Use(id, 7198'000), csrf);
  EXPECT_EQ(t.Use(id, 7198'000 + 3600'000), "");
  EXPECT_EQ(t.Size(), 0u);
  const auto [other, otherCsrf] = t.Create(0);
  EXPECT_EQ(t.Use("", 1), "");
  t.End(other);
  EXPECT_EQ(t.Use(other, 1), "");
  for (size_t i = 0; i < SessionTable::kMaxSessions + 5; ++i) t.Create(static_cast<int64_t>(i));
  EXPECT_EQ(t.Size(), SessionTable::kMaxSessions);
}

TEST_F(ConsoleApiTest, ConsoleFilesComeWithStrictHeaders) {
  auto anon = Client("");
  struct Case {
    const char* path;
    int status;
    const char* type;
  } cases[] = {
      {"/", 200, "text/html"},
      {"/console/app.js", 200, "text/javascript"},
      {"/console/console.css", 200, "text/css"},
      {"/console/icon.svg", 200, "image/svg+xml"},
      {"/console/nope.js", 404, "application/json"},
      {"/console/../velasms.token", 404, "application/json"},
      {"/v1/messages", 401, "application/json"},
  };
  for (const Case& c : cases) {
    auto r = anon.Get(c.path);
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->status, c.status) << c.path;
    EXPECT_EQ(r->get_header_value("Content-Type").rfind(c.type, 0), 0u) << c.path;
    const std::string csp = r->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << c.path;
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << c.path;
    EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << c.path;
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << c.path;
    EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer") << c.path;
  }
  const std::string page = anon.Get("/")->body;
  EXPECT_NE(page.find("<html lang=\"en\">"), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
}

TEST(Search, WordsFoldCaseAndNumbersCompareDigits) {
  EXPECT_EQ(FoldCase("ÀÉÎ ŞĞ İ ΑΒΓ ЖЁ"), "àéî şğ i αβγ жё");
  EXPECT_EQ(SearchWords("  Hello\tWORLD \n"), (std::vector<std::string>{"hello", "world"}));
  EXPECT_TRUE(MatchesWords({"+1-555"}, "15551234", ""));
  EXPECT_TRUE(MatchesWords({"5551"}, "+49 155 51234", ""));
  EXPECT_FALSE(MatchesWords({"999"}, "+4915551234", "no digits here"));
  EXPECT_FALSE(MatchesWords({}, "1", "anything"));
  EXPECT_TRUE(MatchesWords({"bank"}, "VelaBank", "xyz"));  // an alphanumeric sender
}

}  // namespace
}  // namespace vela::gateway
