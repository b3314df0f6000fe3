#include <array>

#include "update/protocol.h"
#include "update/stages.h"
#include "update/texts.h"

namespace flashupdate {

int chosenPort(const UpdateView& view) {
    for (int port = 1; port <= 3; ++port) {
        if (view.comOptionSelected(port)) {
            return port;
        }
    }
    // Com4's own button is never asked: with no button selected, Com4 is used.
    return 4;
}

namespace {

// The set-up every opening gets, so nothing is inherited from the line's last user.
void setUpLine(SerialPort& port, const char* settings) {
    port.setSettings(settings);
    port.setInputLen(0);
    port.setRThreshold(1);
    port.setSThreshold(1);
    port.setRTSEnable(false);
    port.setInBufferCount(0);
    port.setOutBufferCount(0);
}

ByteText byteText(const unsigned char* first, std::size_t count) {
    return ByteText(reinterpret_cast<const char*>(first), count);
}

}  // namespace

void sendBootLoader(StageContext& stage, std::unique_ptr<ImageFile>& bootLoader) {
    SerialPort& port = stage.port();
    setUpLine(port, protocol::kBootLoaderSettings);
    port.setCommPort(chosenPort(stage.view));
    // A port an earlier run left open is used as it is.
    if (!port.portOpen()) {
        port.setPortOpen(true);
    }

    stage.view.setLabelVisible(Label::lblStatus, true);
    stage.status(texts::kSendingBootLoader);
    stage.pumpOnce();

    std::array<unsigned char, 1 + protocol::kBootLoaderBytes> buffer{};
    buffer[0] = protocol::kBootSync;
    for (std::size_t i = 1; i < buffer.size(); ++i) {
        buffer[i] = bootLoader->readNext();
    }
    bootLoader.reset();

    port.output(byteText(buffer.data(), protocol::kBootLoaderHalf));
    stage.delay(protocol::kBetweenBootHalvesMs);
    port.output(byteText(buffer.data() + protocol::kBootLoaderHalf,
                         buffer.size() - protocol::kBootLoaderHalf));

    // The loader must be on the line before the speed changes under it.
    stage.waitUntilLineCarriedAll();
    stage.delay(protocol::kBootSettleMs);
    port.setInBufferCount(0);
    stage.link.RxData.clear();

    port.setPortOpen(false);
    setUpLine(port, protocol::kCommandSettings);
    if (!port.portOpen()) {
        port.setPortOpen(true);
    }
    port.setInBufferCount(0);
    stage.link.RxData.clear();
    stage.delay(protocol::kAfterReopenMs);
}

}  // namespace flashupdate
