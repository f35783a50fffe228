// The version resource of a program, read from the file as data.
#pragma once

#include <string>

namespace daxcheck {

// The file version "a.b.c.d" of the program at `path`, or empty. Read as data, without
// version.dll: a program in a folder another program fills should not import a library that
// folder could hold.
std::string FileVersion(const std::string& path);

}  // namespace daxcheck
