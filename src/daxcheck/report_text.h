// The pieces every gate of the report is made of: the gate's record and the texts it holds.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

namespace daxcheck {

using Json = nlohmann::ordered_json;

// A gate that passes until Stop says otherwise.
Json Gate(int number, const char* name);

// Marks the gate as stopping setup; the first reason given stands.
void Stop(Json& gate, const std::string& reason);

// Text of UTF-16, or of the system code page, as the UTF-8 that JSON holds.
std::string Utf8(const std::wstring& wide);
std::string Utf8(const std::string& ansi);

// A value that was read, or null.
Json OptionalDword(bool found, DWORD value);

// "0x" and eight upper-case hexadecimal digits.
std::string Hex8(unsigned value);

}  // namespace daxcheck
