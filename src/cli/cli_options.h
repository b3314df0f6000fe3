// The command line of flashupdate-cli.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace flashupdate::cli {

struct CliOptions {
    bool help = false;
    bool listPorts = false;
    bool json = false;
    std::optional<std::string> bootLoader;
    std::vector<std::string> ports;
    std::string image;
};

struct ParsedOptions {
    CliOptions options;
    std::string error;  // empty when the command line is usable
};

ParsedOptions parseOptions(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace flashupdate::cli
