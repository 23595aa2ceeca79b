// shared.record: the string-keyed records that travel through a run (the
// document row, the run context, database rows) and the few helpers every
// stage needs to read them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace shared {

using Record = nlohmann::ordered_json;

namespace record {

// The member `key` of `r`, or nullptr when `r` is not an object or lacks it.
const Record* find(const Record& r, std::string_view key);

// True for what a record treats as "no value": absent (nullptr), null, "",
// 0, 0.0, false, and an empty object or array.
bool is_empty(const Record* v);
bool is_empty(const Record& v);

// The text form of a value: a string as it is, a whole number as its digits,
// a floating number in its shortest round-trip form keeping ".0", booleans as
// "True"/"False", null as "None", objects and arrays as compact JSON.
std::string text_of(const Record& v);

// The text form of member `key`, or `def` when the member is absent.
std::string get_text(const Record& r, std::string_view key, std::string_view def = "");

// The text form of member `key`, or `def` when the member is absent or empty.
std::string get_text_or(const Record& r, std::string_view key, std::string_view def);

// Shortest round-trip decimal form of a double, keeping ".0" for whole values.
std::string format_double(double d);

// format_double, with NaN and the infinities written "NaN", "Infinity" and
// "-Infinity" (what JSON-ish texts and PostgreSQL both read back).
std::string format_number(double d);

}  // namespace record
}  // namespace shared
