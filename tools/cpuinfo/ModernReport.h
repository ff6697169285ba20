// The cpuinfo views of TqmModernInfo: an lscpu-like text and the "Modern"
// JSON object.
#pragma once
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cpu/qmModernInfo.h"

// Component strings are 8-bit: one character per byte. JSON text is
// Unicode, so each byte becomes the code point of the same number; ASCII
// stays as it is, and a zero byte is written as \u0000.
std::string BytesToUtf8(const std::string& s);

nlohmann::ordered_json ModernToJson(const evc::TqmModernInfo& m);
void PrintModernReport(const evc::TqmModernInfo& m, std::FILE* out);
