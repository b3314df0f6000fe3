#include "cli/admission.h"

#include <algorithm>

namespace flashupdate::cli {

std::size_t updatesAtOnce(std::size_t openFileLimit, std::optional<std::size_t> jobs) {
    const std::size_t spare =
        openFileLimit > kDescriptorsKept ? openFileLimit - kDescriptorsKept : 0;
    std::size_t atOnce = std::max<std::size_t>(1, spare / kDescriptorsPerUpdate);
    if (jobs) {
        atOnce = std::min(atOnce, std::max<std::size_t>(1, *jobs));
    }
    return atOnce;
}

bool roomForAnother(std::size_t openFileLimit, std::size_t inUse) {
    return inUse + kDescriptorsPerUpdate + kDescriptorsKept / 2 <= openFileLimit;
}

std::optional<std::size_t> Admission::next() {
    if (m_closed || m_next >= m_ports) {
        return std::nullopt;
    }
    if (m_running >= m_atOnce) {
        m_held = true;
        return std::nullopt;
    }
    return m_next;
}

void Admission::started() {
    ++m_next;
    ++m_running;
    if (m_held) {
        ++m_waited;
    }
}

void Admission::ended() {
    --m_running;
}

}  // namespace flashupdate::cli
