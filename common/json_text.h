// JSON text for the programs' machine-readable reports.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// text as a JSON string, quotes included. Well-formed UTF-8 is kept; every
// other byte is written as the code point of the same value, so that any
// bytes (a path, a procedure name) give valid JSON.
std::string JsonString(std::string_view text);

// value as a JSON number; JSON has no infinity or NaN, so a value that is
// not finite is written as the largest double of its sign (NaN as +).
std::string JsonNumber(double value);

// texts as a JSON array of strings: ["a", "b"], [] when there are none.
std::string JsonStringList(const std::vector<std::string> &texts);
