#include "serial/line_settings.h"

#include <cctype>
#include <charconv>
#include <string_view>
#include <vector>

#include "serial/serial_error.h"

namespace flashupdate {

namespace {

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = text.find(',');
        fields.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) {
            return fields;
        }
        text.remove_prefix(comma + 1);
    }
}

bool parseInt(std::string_view field, int& value) {
    const auto* end = field.data() + field.size();
    const auto result = std::from_chars(field.data(), end, value);
    return !field.empty() && result.ec == std::errc() && result.ptr == end;
}

}  // namespace

LineSettings LineSettings::parse(const std::string& text) {
    const auto fail = [&]() -> LineSettings {
        throw SerialError("invalid line settings \"" + text + "\"", PortErrorKind::Settings);
    };
    const auto fields = splitFields(text);
    if (fields.size() != 4) {
        return fail();
    }
    LineSettings settings;
    if (!parseInt(fields[0], settings.baudRate) || settings.baudRate <= 0) {
        return fail();
    }
    if (fields[1].size() != 1) {
        return fail();
    }
    settings.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(fields[1][0])));
    if (std::string_view("NEOMS").find(settings.parity) == std::string_view::npos) {
        return fail();
    }
    if (!parseInt(fields[2], settings.dataBits) || settings.dataBits < 5 || settings.dataBits > 8) {
        return fail();
    }
    if (fields[3] == "1.5") {
        settings.stopBits = 15;
    } else if (!parseInt(fields[3], settings.stopBits) ||
               (settings.stopBits != 1 && settings.stopBits != 2)) {
        return fail();
    }
    return settings;
}

double LineSettings::secondsPerByte() const {
    const double stop = stopBits == 15 ? 1.5 : stopBits;
    const double bits = 1 + dataBits + (parity == 'N' ? 0 : 1) + stop;
    return bits / baudRate;
}

}  // namespace flashupdate
