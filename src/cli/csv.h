// Comma-separated tables as RFC 4180 has them, for job files and reports that a spreadsheet, a
// script or a service department's system reads: fields in double quotes where they hold a
// comma, a quote or a line break, quotes inside doubled, records ended by CRLF (LF read too),
// UTF-8 text with a byte order mark tolerated in front.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace flashupdate::cli {

struct CsvRecord {
    std::vector<std::string> fields;
    // The record's place in the table, 1 for the first (a spreadsheet's row number).
    std::size_t row = 0;
};

struct CsvTable {
    std::vector<CsvRecord> records;
    // Empty when the whole text was read; otherwise where and why it stopped being a table.
    std::string error;
};

// Every record of text. A record whose fields are all empty (a blank line, ",,,") is a row a
// spreadsheet left behind: it keeps its row number but is not returned.
CsvTable parseCsv(std::string_view text);

// One record as written: each field quoted only where it must be, ended by CRLF. A field that a
// spreadsheet would take as a formula (it begins with "=", "+", "-", "@", a tab or a carriage
// return) gets a leading apostrophe, which keeps it text; bytes that are not UTF-8 become U+FFFD.
std::string csvRecord(const std::vector<std::string>& fields);

// A field as read back from a table this program wrote: without the apostrophe that kept a
// formula-like text as text.
std::string unguardedField(std::string field);

}  // namespace flashupdate::cli
