// Plain formatting behind the output: clock times, JSON values and lines, printable and trimmed
// texts, and the time an update still takes.
#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "update/update_result.h"

namespace flashupdate::cli {

// The lines of a text, split at separator: a message box's text has "\r\n" between its lines,
// a diagnostic "\n" between its reason and its remedy.
std::vector<std::string> messageLines(const std::string& text, std::string_view separator = "\r\n");

// A window text without the blanks it carries at the ends of its lines (" Programming Error",
// "DONE "): the window shows its texts as they are, the command line's output trimmed.
std::string trimmedLines(const std::string& text);

// Local times as the output writes them.
// "14:03:27.045"
std::string clockText(std::chrono::system_clock::time_point time);
// "2024-05-17T14:03:27.045+02:00" (RFC 3339)
std::string isoText(std::chrono::system_clock::time_point time);
// "1:05" for a duration left; hours run on as minutes.
std::string minutesSecondsText(std::chrono::milliseconds duration);

// Text as Python's "surrogateescape" decodes it (PEP 383): UTF-8 where the bytes are UTF-8, and
// each byte that is not as the lone surrogate U+DC80 to U+DCFF.
QString surrogateEscaped(std::string_view text);
// A text for JSON output. File names need not be UTF-8: each byte of a name that is not becomes
// the escape \udcNN (surrogateEscaped), so every line stays valid UTF-8 and a script turns the
// text back into the name's bytes (in Python: text.encode("utf-8", "surrogateescape")).
QJsonValue jsonText(const std::string& text);
// The same, or null for an empty text.
QJsonValue jsonTextOrNull(const std::string& text);
// One object on one line, as Qt writes JSON, flushed at once.
void writeJsonLine(const QJsonObject& object, std::FILE* out);

// A text as plain and terminal output may show it: control characters, which a file or device
// name may hold and which a terminal would obey, are written escaped ("\x1b", "\n", "\t"), as
// are the C1 controls of UTF-8 (U+0080 to U+009F). Everything else passes unchanged.
std::string printable(const std::string& text);
// The same for a text of several lines, whose line feeds stay.
std::string printableLines(const std::string& text);

// How long an update still takes: the line time of what is left to send plus the fixed waits
// of the procedure still ahead, from the stage it is in (and, while erasing, whether the
// instrument has answered). sent and total: data bytes of the records. The estimate holds from
// the moment the run entered the stage or last reported a count.
std::chrono::milliseconds timeLeft(UpdateResult::Stage stage, UpdateResult::Erased erased,
                                   std::uint64_t sent, std::uint64_t total);

}  // namespace flashupdate::cli
