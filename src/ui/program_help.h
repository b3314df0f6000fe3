// What "flashupdate --help" prints.
#pragma once

#include <string>

namespace flashupdate {

std::string windowHelpText();

}  // namespace flashupdate
