// The version both programs report, from the build.
#pragma once

#include <string>

namespace flashupdate {

// "2.03"
const char* programVersion();

// What --version prints: "flashupdate-cli 2.03" and the maker's line.
std::string versionText(const std::string& program);

}  // namespace flashupdate
