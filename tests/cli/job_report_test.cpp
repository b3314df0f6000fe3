// Job files and reports in-process: the CSV they are written in, every check a job's rows go
// through before any port is touched, and the report's rows.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <string>
#include <vector>

#include "cli/csv.h"
#include "cli/job.h"
#include "cli/report.h"
#include "support/simulator_process.h"

namespace flashupdate::cli {
namespace {

using Fields = std::vector<std::vector<std::string>>;

struct CsvCase {
    const char* name;
    std::string text;
    Fields records;     // each record's fields, blank ones left out
    std::string error;  // what the error begins with; empty for none
};

void PrintTo(const CsvCase& csvCase, std::ostream* out) {
    *out << csvCase.name;
}

class CsvReading : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvReading, ReadsRfc4180AsSpreadsheetsWriteIt) {
    const CsvCase& expected = GetParam();
    const CsvTable table = parseCsv(expected.text);
    EXPECT_TRUE(table.error.starts_with(expected.error)) << table.error;
    if (!expected.error.empty()) {
        EXPECT_FALSE(table.error.empty());
        return;
    }
    Fields found;
    for (const CsvRecord& record : table.records) {
        found.push_back(record.fields);
    }
    EXPECT_EQ(found, expected.records);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CsvReading,
    ::testing::Values(
        CsvCase{"CrLfAndLf",
                "port,image\r\n1,A.IMG\n2,B.IMG",
                {{"port", "image"}, {"1", "A.IMG"}, {"2", "B.IMG"}},
                ""},
        CsvCase{"QuotedCommaQuoteAndLineBreak",
                "a,b\r\n\"x, y\",\"say \"\"hi\"\"\r\nthere\"\r\n",
                {{"a", "b"}, {"x, y", "say \"hi\"\r\nthere"}},
                ""},
        CsvCase{"ByteOrderMarkAndEmptyFields",
                "\xEF\xBB\xBFport,image,label\r\n1,,\r\n,\"\",x\r\n",
                {{"port", "image", "label"}, {"1", "", ""}, {"", "", "x"}},
                ""},
        CsvCase{"BlankRowsLeftBehindAreSkipped", "a\r\n\r\n,,\r\nb\r\n", {{"a"}, {"b"}}, ""},
        CsvCase{"Utf8Kept", "label\r\nM\xC3\xBCller\r\n", {{"label"}, {"M\xC3\xBCller"}}, ""},
        CsvCase{"UnclosedQuote", "a\r\n\"open,b\r\n", {}, "row 2: a quoted field is not closed"},
        CsvCase{"QuoteInsideAField", "a\r\nx\"y\r\n", {}, "row 2: a quote inside a field"},
        CsvCase{"TextAfterAClosingQuote", "\"a\"b\r\n", {}, "row 1: a quoted field is followed"},
        CsvCase{"NotUtf8", "label\r\nM\xFCller\r\n", {}, "the file is not UTF-8 text"}),
    [](const ::testing::TestParamInfo<CsvCase>& info) { return std::string(info.param.name); });

TEST(CsvWriting, QuotesWhereNeededAndKeepsFormulasText) {
    const std::vector<std::string> fields{"with, comma", "say \"hi\"", "=SUM(A1)", "+1",
                                          "-2",          "@cmd",       "\tx",      "\rx",
                                          "a=b",         "M\xFCller"};
    const std::string line = csvRecord(fields);
    EXPECT_EQ(line,
              "\"with, comma\",\"say \"\"hi\"\"\",'=SUM(A1),'+1,'-2,'@cmd,'\tx,\"'\rx\",a=b,"
              "M\xEF\xBF\xBDller\r\n");
    // Read back, a formula-like text is the text written.
    const CsvTable table = parseCsv(line);
    ASSERT_EQ(table.records.size(), 1u);
    for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
        EXPECT_EQ(unguardedField(table.records[0].fields.at(i)), fields[i]);
    }
}

// A rack on disk: images of each kind, a boot loader, and device files standing for ports.
class JobFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        write("A.IMG", std::string(1000, 'a'));
        write("B.IMG", std::string(2000, 'b'));
        write("EMPTY.IMG", "");
        write("HUGE.IMG", std::string(393217, 'h'));
        write("LOADER.BIN", std::string(511, 'l'));
        write("EMPTY.BIN", "");
        write("tty1", "");
        write("tty2", "");
        QDir(m_dir.path()).mkdir("images");
        write("images/C.IMG", std::string(3000, 'c'));
        ASSERT_TRUE(QFile::link(QString::fromStdString(path("tty1")),
                                QString::fromStdString(path("alias-of-tty1"))));
    }

    std::string path(const std::string& name) const {
        return m_dir.filePath(QString::fromStdString(name)).toStdString();
    }
    void write(const std::string& name, const std::string& bytes) const {
        flashupdate::testing::writeFile(path(name), bytes);
    }
    JobPlan plan(const std::string& text, bool allowEmpty = false) const {
        write("job.csv", text);
        const JobRead read = readJobFile(path("job.csv"));
        EXPECT_EQ(read.error, "");
        BootLoaderChoice bootLoader;
        bootLoader.named = path("LOADER.BIN");
        return planJob(read.table, "job.csv", PortMap(), {}, bootLoader, allowEmpty);
    }

    QTemporaryDir m_dir;
};

struct JobCase {
    const char* name;
    std::string rows;                   // after the header "port,image,label,bootloader"
    std::vector<std::string> problems;  // {dir} stands for the rack's folder
};

void PrintTo(const JobCase& jobCase, std::ostream* out) {
    *out << jobCase.name;
}

class JobChecks : public JobFixture, public ::testing::WithParamInterface<JobCase> {};

TEST_P(JobChecks, EveryRowIsCheckedAndEachProblemNamedByRowAndColumn) {
    const JobCase& expected = GetParam();
    const JobPlan found = plan("port,image,label,bootloader\r\n" + expected.rows);
    std::vector<std::string> problems;
    for (std::string problem : expected.problems) {
        for (std::size_t at; (at = problem.find("{dir}")) != std::string::npos;) {
            problem.replace(at, 5, m_dir.path().toStdString());
        }
        problems.push_back(problem);
    }
    EXPECT_EQ(found.problems, problems);
    if (problems.empty()) {
        EXPECT_FALSE(found.tasks.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, JobChecks,
    ::testing::Values(
        JobCase{"AGoodRack", "./tty1,A.IMG,one,\r\n./tty2,images/C.IMG,two,LOADER.BIN\r\n", {}},
        JobCase{"EmptyPort", ",A.IMG,,\r\n", {"job.csv: row 2, column A (port): no port"}},
        JobCase{"SameDeviceUnderAnAlias",
                "./tty1,A.IMG,,\r\n./alias-of-tty1,B.IMG,,\r\n",
                {"job.csv: row 3, column A (port): the device of row 2 again ({dir}/tty1)"}},
        JobCase{"MissingImage",
                "./tty1,GONE.IMG,,\r\n",
                {"job.csv: row 2, column B (image): cannot read {dir}/GONE.IMG: No such file or "
                 "directory"}},
        JobCase{"EmptyImage",
                "./tty1,EMPTY.IMG,,\r\n",
                {"job.csv: row 2, column B (image): {dir}/EMPTY.IMG is empty: an update would "
                 "erase the instrument and program nothing (--allow-empty)"}},
        JobCase{"OversizeImage",
                "./tty1,HUGE.IMG,,\r\n",
                {"job.csv: row 2, column B (image): too large: {dir}/HUGE.IMG, 393217 bytes, more "
                 "than the 393216 the instrument takes: 24 records of 16384 bytes"}},
        JobCase{"NoImage", "./tty1,,,\r\n", {"job.csv: row 2, column B (image): no image"}},
        JobCase{"BootLoaderMissingOrEmpty",
                "./tty1,A.IMG,,NONE.BIN\r\n./tty2,B.IMG,,EMPTY.BIN\r\n",
                {"job.csv: row 2, column D (bootloader): no ordinary, visible file {dir}/NONE.BIN",
                 "job.csv: row 3, column D (bootloader): {dir}/EMPTY.BIN is empty"}},
        JobCase{"EveryProblemOfEveryRow",
                ",,,\r\n\r\n,A.IMG,x,\r\n./tty1,GONE.IMG,,\r\n",
                {"job.csv: row 4, column A (port): no port",
                 "job.csv: row 5, column B (image): cannot read {dir}/GONE.IMG: No such file or "
                 "directory"}}),
    [](const ::testing::TestParamInfo<JobCase>& info) { return std::string(info.param.name); });

TEST_F(JobFixture, ATableThatIsNoJobIsRefusedWithWhere) {
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"", "no header row"},
             {"port,label\r\n", "row 1: no column named image"},
             {"port,image,Port\r\n", "row 1, column C: the column port again (as in column A)"},
             {"port,image\r\n1,A.IMG,extra\r\n", "row 2 has 3 fields, the header 2"}}) {
        write("job.csv", text);
        EXPECT_EQ(readJobFile(path("job.csv")).error, path("job.csv") + ": " + error);
    }
}

// A report read as a job: the earlier run's result columns go, and the rows not updated stay.
TEST_F(JobFixture, OnlyTheRowsOfAReportThatWereNotUpdatedRunAgain) {
    write("report.csv",
          "port,image,outcome,exit_status,reason\r\ntty1,A.IMG,updated,0,\r\n"
          "tty2,B.IMG,bad-checksum,6,x\r\n3,A.IMG,not started,130,\r\n");
    const JobRead read = readJobFile(path("report.csv"));
    ASSERT_EQ(read.error, "");
    EXPECT_TRUE(read.table.isReport);
    EXPECT_EQ(read.table.columns, (std::vector<std::string>{"port", "image"}));
    const JobTable again = rowsNotUpdated(read.table);
    ASSERT_EQ(again.rows.size(), 2u);
    EXPECT_EQ(again.rows[0].cells, (std::vector<std::string>{"tty2", "B.IMG"}));
    EXPECT_EQ(again.rows[1].row, 4u);
}

// The report holds the job's columns and the results; it appears whole, by a rename.
TEST_F(JobFixture, AReportAppearsWholeWithTheJobsColumnsAndTheResults) {
    const std::string target = path("report.csv");
    const JobPlan found = plan("port,image,note\r\n./tty1,A.IMG,=cmd\r\n");
    ASSERT_EQ(found.tasks.size(), 1u);
    std::vector<PortRecord> ports(1);
    ports[0].attempts = 1;
    ports[0].last.outcome = "bad-checksum";
    ports[0].last.result.recordOpen = true;
    ports[0].last.result.fileCheckSum = 0x3FC000;

    ReportFile report(target);
    ASSERT_EQ(report.error(), "");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(target)));
    ASSERT_TRUE(report.write({"port", "image", "note"}, found.tasks, ports));
    QFile file(QString::fromStdString(target));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const CsvTable table = parseCsv(file.readAll().toStdString());
    ASSERT_EQ(table.records.size(), 2u) << table.error;
    std::vector<std::string> header{"port", "image", "note"};
    header.insert(header.end(), resultColumns().begin(), resultColumns().end());
    EXPECT_EQ(table.records[0].fields, header);
    const std::vector<std::string>& row = table.records[1].fields;
    EXPECT_EQ(std::vector<std::string>(row.begin(), row.begin() + 7),
              (std::vector<std::string>{path("tty1"), path("A.IMG"), "'=cmd", "bad-checksum", "0",
                                        "1", row.at(6)}));
    EXPECT_EQ(row.at(3 + 6), "3FC000");  // file_checksum
    EXPECT_EQ(row.at(3 + 7), "");        // instrument_checksum
    EXPECT_EQ(row.at(3 + 8), "true");    // power_cycle
    // The temporary file beside it went with the rename.
    EXPECT_EQ(QDir(m_dir.path()).entryList({"report.csv*"}, QDir::Files),
              QStringList{"report.csv"});
}

}  // namespace
}  // namespace flashupdate::cli
