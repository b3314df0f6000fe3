// A JSON string literal, for texts that hold carriage returns, line feeds and quotes.
#pragma once

#include <string>

namespace flashupdate::cli {

std::string jsonString(const std::string& text);

}  // namespace flashupdate::cli
