#include "cli/text_formats.h"

#include "common/escaped_text.h"

#include <QJsonDocument>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "serial/line_settings.h"
#include "update/protocol.h"

namespace flashupdate::cli {

namespace {

std::string formatted(std::chrono::system_clock::time_point time, const char* format, bool zone) {
    const auto since = time.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char head[64];
    std::strftime(head, sizeof head, format, &local);
    char text[96];
    if (zone) {
        // RFC 3339 writes the offset with a colon: "+01:00", not strftime's "+0100".
        char offset[16];
        std::strftime(offset, sizeof offset, "%z", &local);
        std::snprintf(text, sizeof text, "%s.%03d%.3s:%.2s", head, static_cast<int>(millis), offset,
                      offset + 3);
    } else {
        std::snprintf(text, sizeof text, "%s.%03d", head, static_cast<int>(millis));
    }
    return text;
}

}  // namespace

std::string clockText(std::chrono::system_clock::time_point time) {
    return formatted(time, "%H:%M:%S", false);
}

std::string isoText(std::chrono::system_clock::time_point time) {
    return formatted(time, "%Y-%m-%dT%H:%M:%S", true);
}

std::string minutesSecondsText(std::chrono::milliseconds duration) {
    // Rounded up, so "0:00" shows only when nothing is left.
    const long long seconds = (duration.count() + 999) / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

QString surrogateEscaped(std::string_view text) {
    QString decoded;
    decoded.reserve(static_cast<qsizetype>(text.size()));
    std::size_t start = 0;
    const auto flush = [&](std::size_t end) {
        decoded += QString::fromUtf8(text.data() + start, static_cast<qsizetype>(end - start));
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = wellFormedUtf8Length(text, i);
        if (length > 0) {
            i += length;
            continue;
        }
        flush(i);
        decoded += QChar(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(text[i])));
        start = ++i;
    }
    flush(text.size());
    return decoded;
}

QJsonValue jsonText(const std::string& text) {
    return surrogateEscaped(text);
}

QJsonValue jsonTextOrNull(const std::string& text) {
    return text.empty() ? QJsonValue(QJsonValue::Null) : jsonText(text);
}

void writeJsonLine(const QJsonObject& object, std::FILE* out) {
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), out);
    std::fflush(out);
}

namespace {

using std::chrono::milliseconds;
namespace protocol = flashupdate::protocol;

milliseconds lineTime(std::uint64_t bytes, const char* settings) {
    const double seconds =
        static_cast<double>(bytes) * LineSettings::parse(settings).secondsPerByte();
    return milliseconds(static_cast<milliseconds::rep>(seconds * 1000));
}

// The records still to send, each with its command and block number.
milliseconds transferTime(std::uint64_t sent, std::uint64_t total) {
    const std::uint64_t left = total > sent ? total - sent : 0;
    return lineTime(left + 2 * protocol::recordsFor(left), protocol::kCommandSettings);
}

const milliseconds kAfterTransfer(protocol::kAfterProgramMs + protocol::kAfterCommandMs);
const milliseconds kEraseWaits(protocol::kAfterCommandMs + protocol::kReplyPollMs +
                               protocol::kAfterEraseMs);

}  // namespace

std::string printable(const std::string& text) {
    return escapedText(text);
}

std::vector<std::string> messageLines(const std::string& text, std::string_view separator) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + separator.size();
    }
}

std::string trimmedLines(const std::string& text) {
    std::string trimmed;
    for (const std::string& line : messageLines(text)) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos) {
            trimmed += line.substr(first, line.find_last_not_of(' ') + 1 - first);
        }
        trimmed += "\r\n";
    }
    trimmed.resize(trimmed.size() - 2);
    return trimmed;
}

std::string printableLines(const std::string& text) {
    std::string shown;
    for (const std::string& line : messageLines(text, "\n")) {
        shown += printable(line) + '\n';
    }
    shown.pop_back();
    return shown;
}

std::chrono::milliseconds timeLeft(UpdateResult::Stage stage, UpdateResult::Erased erased,
                                   std::uint64_t sent, std::uint64_t total) {
    using Stage = UpdateResult::Stage;
    switch (stage) {
        case Stage::Checks:
        case Stage::BootLoader: {
            // The second half is queued while the first is still on the line, so the line time
            // covers the wait between them.
            const milliseconds boot =
                std::max(lineTime(1 + protocol::kBootLoaderBytes, protocol::kBootLoaderSettings),
                         milliseconds(protocol::kBetweenBootHalvesMs));
            return boot + milliseconds(protocol::kBootSettleMs + protocol::kAfterReopenMs) +
                   kEraseWaits + transferTime(0, total) + kAfterTransfer;
        }
        case Stage::Erase:
            // Once the instrument has answered, only the pause after the erase is left of it.
            return (erased == UpdateResult::Erased::Yes ? milliseconds(protocol::kAfterEraseMs)
                                                        : kEraseWaits) +
                   transferTime(0, total) + kAfterTransfer;
        case Stage::Program:
            return transferTime(sent, total) + kAfterTransfer;
        case Stage::Checksum:
            return kAfterTransfer;
        case Stage::Done:
            break;
    }
    return milliseconds(0);
}

}  // namespace flashupdate::cli
