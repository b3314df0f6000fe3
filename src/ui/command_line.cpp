#include "ui/command_line.h"

#include <string>

#include "ui/number_reader.h"

namespace flashupdate {

CommandLineRequest readCommandLine(const QString& argumentText) {
    CommandLineRequest request;
    if (argumentText.isEmpty()) {
        request.kind = CommandLineRequest::Kind::Prompt;
        return request;
    }
    const qsizetype comma = argumentText.indexOf(QLatin1Char(','));
    if (comma < 0) {
        request.kind = CommandLineRequest::Kind::Ignore;
        return request;
    }
    request.kind = CommandLineRequest::Kind::Preselect;
    request.fileName = argumentText.left(comma);
    // Read as a number, not parsed as a port name: "2.0", " 2" and "2,9" all mean Com2.
    const std::string portPart = argumentText.mid(comma + 1).toStdString();
    const double value = Val(portPart);
    request.port = value == 1 ? 1 : value == 2 ? 2 : value == 3 ? 3 : 4;
    return request;
}

}  // namespace flashupdate
