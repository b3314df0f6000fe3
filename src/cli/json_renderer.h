// Output for programs: one JSON object per event and line, written at once.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/renderer.h"

namespace flashupdate::cli {

class JsonRenderer final : public Renderer {
public:
    JsonRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const UpdateEvent& event) override;

private:
    std::vector<std::string> m_labels;
    std::vector<std::string> m_stages;
    std::FILE* m_out;
};

}  // namespace flashupdate::cli
