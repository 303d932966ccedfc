// JSON documents as the client and the capture service exchange them.
//
// A JsonValue keeps the kind of each number as parsed (unsigned, signed, double) and holds object
// members in ascending byte order of their keys. Reading a member never fails: anything missing
// reads as null, and the typed readings below fall back to the caller's default.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using JsonValue = nlohmann::json;

// The member `key` of `value`, or null when `value` is not an object or has no such member.
const JsonValue& member(const JsonValue& value, std::string_view key);

// The text of a JSON string, else `fallback`.
std::string text_or(const JsonValue& value, std::string_view fallback);
// The elements of a JSON array, else an empty list.
const std::vector<JsonValue>& list_of(const JsonValue& value);
// True only for JSON true.
bool is_true(const JsonValue& value);

// A JSON string built from text that should be UTF-8. Bytes that are not valid UTF-8 are written
// as U+FFFD when the document is printed, so the text sent or shown is always valid UTF-8.
JsonValue json_string(std::string_view text);

// The compact form: no white space, members in key order.
std::string json_text(const JsonValue& value);
// The pretty form: two-space indentation, ": " after keys; no final line break.
std::string pretty_json_text(const JsonValue& value);

// One whole JSON document with optional white space around it, or nothing: empty text, a syntax
// error, text that is not UTF-8, a byte-order mark, trailing bytes, a number beyond the range of
// a double, or nesting deeper than kMaxJsonDepth.
std::optional<JsonValue> parse_json_document(std::string_view text);

// Deep enough for any real answer; shallow enough that printing never exhausts the stack.
inline constexpr int kMaxJsonDepth = 512;
