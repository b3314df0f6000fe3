#include "update/program_version.h"

namespace flashupdate {

const char* programVersion() {
    return FLASHUPDATE_VERSION;
}

std::string versionText(const std::string& program) {
    return program + " " + programVersion() + "\nCopyright (C) 2026 Quenlid Ltd.\n";
}

}  // namespace flashupdate
