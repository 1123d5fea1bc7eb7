// JSON as both tools print it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace pitool {

// Keys stay in the order they are set: the order the tools always printed.
using Json = nlohmann::ordered_json;

// Two-space indentation, one value per line, non-ASCII text as UTF-8 (not
// \u escapes). Bytes that are not UTF-8 become U+FFFD: a damaged name must
// not stop the report.
std::string JsonText(const Json& document);

} // namespace pitool
