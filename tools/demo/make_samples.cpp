// Writes the demo's sample boot loader and program image: made-up bytes, the same on every
// build, so a newcomer's first update always shows the same checksum.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

bool writeSample(const std::string& path, std::size_t length, std::uint32_t start) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::uint32_t state = start;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;  // a plain LCG is enough for sample bytes
        out.put(static_cast<char>(state >> 24));
    }
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_samples BOOTLOAD.IMG SAMPLE.IMG\n");
        return 2;
    }
    // A boot loader of 511 bytes and an image of most of one record: about half a minute on
    // the line.
    const bool written =
        writeSample(argv[1], 511, 0x0B007u) && writeSample(argv[2], 12000, 0x1A6Eu);
    return written ? 0 : 1;
}
