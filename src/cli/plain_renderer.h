// Output for logs and pipes: one line per event, "HH:MM:SS.mmm [PORT] text", written at once.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "cli/renderer.h"

namespace flashupdate::cli {

class PlainRenderer final : public Renderer {
public:
    PlainRenderer(std::vector<std::string> portLabels, std::FILE* out);
    void show(const UpdateEvent& event) override;

private:
    void line(const UpdateEvent& event, const std::string& text);

    std::vector<std::string> m_labels;
    std::FILE* m_out;
};

}  // namespace flashupdate::cli
