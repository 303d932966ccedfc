// The client library inside a long-running process: requests name their port, failures come back
// as values, and the process carries on after each of them.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "app_client/api.h"
#include "client_test.h"

namespace testing_support {
namespace {

TEST(ApiLibrary, AnswersFailuresAndRefusalsAreValuesAndNothingOutlivesACall) {
  FakeService first;
  FakeService second;
  first.add(reply("HTTP/1.1 200 OK\r\nX-Frame-Size: 640x480\r\n\r\n{\"version\":\"1\"}"));
  second.add(json_reply(404, "{\"error\":\"no such device\"}"));
  first.add(reply("HTTP/1.1 500 Oops\r\n\r\nnot json"));

  ExchangeResult health = api_get(first.port_text(), "/health");
  ASSERT_TRUE(std::holds_alternative<HttpResponse>(health));
  const HttpResponse& ok = std::get<HttpResponse>(health);
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(header_value(ok, "x-frame-size"), "640x480");
  EXPECT_EQ(json_text(parse_json_body(ok.body)), "{\"version\":\"1\"}");
  EXPECT_FALSE(refusal_of(ok, kRefusedFallback).has_value());

  // Nothing listening: the error is handed back, and the next request goes ahead.
  ExchangeResult refused = api_get(std::to_string(unused_port()), "/health");
  ASSERT_TRUE(std::holds_alternative<ExchangeError>(refused));
  EXPECT_NE(std::get<ExchangeError>(refused).message.find("os error"), std::string::npos);
  ExchangeResult bad_port = api_get("abc", "/health");
  ASSERT_TRUE(std::holds_alternative<ExchangeError>(bad_port));
  EXPECT_EQ(std::get<ExchangeError>(bad_port).message, "invalid port value");

  JsonValue body = JsonValue::object();
  body["name"] = json_string("focus");
  body["value"] = 60;
  ExchangeResult set = api_post(second.port_text(), "/controls", body);
  ASSERT_TRUE(std::holds_alternative<HttpResponse>(set));
  const std::optional<Refusal> no = refusal_of(std::get<HttpResponse>(set), kRefusedFallback);
  ASSERT_TRUE(no.has_value());
  EXPECT_EQ(no->status, 404);
  EXPECT_EQ(no->message, "no such device");

  ExchangeResult broken = api_get(first.port_text(), "/devices");
  ASSERT_TRUE(std::holds_alternative<HttpResponse>(broken));
  const std::optional<Refusal> oops = refusal_of(std::get<HttpResponse>(broken), "fallback");
  ASSERT_TRUE(oops.has_value());
  EXPECT_EQ(oops->status, 500);
  EXPECT_EQ(oops->message, "fallback");

  ASSERT_EQ(first.requests().size(), 2u);
  EXPECT_EQ(first.requests()[0], get_request("/api/health", first.port()));
  EXPECT_EQ(first.requests()[1], get_request("/api/devices", first.port()));
  ASSERT_EQ(second.requests().size(), 1u);
  EXPECT_EQ(second.requests()[0],
            post_request("/api/controls", second.port(), "{\"name\":\"focus\",\"value\":60}"));
}

TEST(ApiLibrary, RefusalStartsAtStatus400) {
  for (const auto& [status, refused] : std::vector<std::pair<std::uint16_t, bool>>{
           {0, false}, {200, false}, {399, false}, {400, true}, {599, true}}) {
    HttpResponse response;
    response.status = status;
    response.body = Body("{\"error\":\"why\"}");
    const std::optional<Refusal> refusal = refusal_of(response, "fallback");
    EXPECT_EQ(refusal.has_value(), refused) << status;
    if (refusal) {
      EXPECT_EQ(refusal->message, "why");
    }
  }
}

}  // namespace
}  // namespace testing_support
