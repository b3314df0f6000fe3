// What the text after the program's name asks for. "file,port" pre-selects the program image and
// the port so that a technician's batch file leaves the operator only Start to press; no text at
// all means the operator chooses both; anything without a comma is ignored, never an error.
#pragma once

#include <QString>

namespace flashupdate {

struct CommandLineRequest {
    enum class Kind {
        // Empty text: ask the operator for a port and a file.
        Prompt,
        // No comma: leave the window as it was created.
        Ignore,
        // Put fileName in the file name box and choose port.
        Preselect,
    };

    Kind kind = Kind::Ignore;
    // Everything before the first comma, unchanged: no quotes removed, no blanks trimmed.
    QString fileName;
    // 1 to 4; any port number other than 1, 2 and 3 chooses 4.
    int port = 0;
};

CommandLineRequest readCommandLine(const QString& argumentText);

}  // namespace flashupdate
