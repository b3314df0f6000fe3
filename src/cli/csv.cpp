#include "cli/csv.h"

#include <QString>

#include <algorithm>

namespace flashupdate::cli {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Characters that make a spreadsheet evaluate a cell (CWE-1236).
bool formulaLead(char c) {
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

bool allEmpty(const std::vector<std::string>& fields) {
    return std::all_of(fields.begin(), fields.end(),
                       [](const std::string& field) { return field.empty(); });
}

}  // namespace

CsvTable parseCsv(std::string_view text) {
    CsvTable table;
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    if (QString::fromUtf8(bytes).toUtf8() != bytes) {
        table.error = "the file is not UTF-8 text";
        return table;
    }
    enum class State { FieldStart, Plain, Quoted, AfterQuoted };
    State state = State::FieldStart;
    std::vector<std::string> fields;
    std::string field;
    std::size_t row = 1;
    const auto endField = [&] {
        fields.push_back(std::move(field));
        field.clear();
        state = State::FieldStart;
    };
    const auto endRecord = [&] {
        endField();
        if (!allEmpty(fields)) {
            table.records.push_back(CsvRecord{std::move(fields), row});
        }
        fields.clear();
        ++row;
    };
    const auto fail = [&](const char* why) {
        table.records.clear();
        table.error = "row " + std::to_string(row) + ": " + why;
        return table;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const std::size_t lineEnd = c == '\n' ? 1 : text.substr(i, 2) == "\r\n" ? 2 : 0;
        switch (state) {
            case State::Quoted:
                if (c != '"') {
                    field += c;
                } else if (i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    state = State::AfterQuoted;
                }
                continue;
            case State::FieldStart:
                if (c == '"') {
                    state = State::Quoted;
                    continue;
                }
                [[fallthrough]];
            case State::Plain:
            case State::AfterQuoted:
                if (c == ',') {
                    endField();
                } else if (lineEnd > 0) {
                    endRecord();
                    i += lineEnd - 1;
                } else if (state == State::AfterQuoted) {
                    return fail("a quoted field is followed by more than a comma or a line end");
                } else if (c == '"') {
                    return fail("a quote inside a field that does not begin with one");
                } else {
                    field += c;
                    state = State::Plain;
                }
                continue;
        }
    }
    if (state == State::Quoted) {
        return fail("a quoted field is not closed");
    }
    // Text that ends without a line break ends its last record all the same.
    if (state != State::FieldStart || !fields.empty()) {
        endRecord();
    }
    return table;
}

std::string csvRecord(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const QByteArray utf8 =
            QString::fromUtf8(fields[i].data(), static_cast<qsizetype>(fields[i].size())).toUtf8();
        std::string field = utf8.toStdString();
        if (!field.empty() && formulaLead(field.front())) {
            field.insert(0, 1, '\'');
        }
        if (field.find_first_of(",\"\r\n") != std::string::npos) {
            std::string quoted = "\"";
            for (const char c : field) {
                quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            }
            field = quoted + '"';
        }
        line += (i == 0 ? "" : ",") + field;
    }
    return line + "\r\n";
}

std::string unguardedField(std::string field) {
    if (field.size() >= 2 && field.front() == '\'' && formulaLead(field[1])) {
        field.erase(0, 1);
    }
    return field;
}

}  // namespace flashupdate::cli
