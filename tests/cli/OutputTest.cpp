// What a person reads, in-process: the words for the component's reports and the progress rows.
#include "HumanText.h"
#include "ProgressView.h"

#include <QJsonObject>
#include <QString>
#include <gtest/gtest.h>

namespace {

// Each report as the component or the owner sends it today; the words a user needs, and the
// cryptic words that must be gone.
TEST(OutputTest, ReportsNameTheStatusTheCauseAndTheId)
{
    const std::string url = "Error transferring http://127.0.0.1:8080/f.iso - server replied: ";
    const struct
    {
        QJsonObject report;
        std::vector<std::string> wanted;
        std::string gone;
    } rows[] = {
        {{{"type", "WasFailed"}, {"code", 260}, {"text", QString::fromStdString(url + "Not Found")}},
         {"HTTP 404 Not Found"},
         "Error transferring"},
        {{{"code", 260}, {"text", QString::fromStdString(url + "File not found")}, {"httpStatus", 404}},
         {"HTTP 404"},
         "8080"},
        {{{"code", 260}, {"text", QString::fromStdString(url + "Service Unavailable")}, {"retryAfter", 30}},
         {"HTTP 503 Service Unavailable", "wait 30 s"},
         "8080"},
        {{{"code", 261}, {"text", "Download failed."}, {"httpStatus", 304}}, {"HTTP 304"}, "Download failed."},
        {{{"code", 265}, {"text", "Download failed: SSL handshake failed."}, {"tlsCause", "untrusted issuer"}},
         {"certificate not trusted (untrusted issuer)"},
         "SSL"},
        {{{"code", 265}, {"text", "Download failed: SSL handshake failed."}, {"tlsCause", "host name mismatch"}},
         {"host name mismatch"},
         "SSL"},
        {{{"code", 265}, {"text", "Download failed: SSL handshake failed."}, {"tlsCause", "expired certificate"}},
         {"expired"},
         "SSL"},
        {{{"code", 272}, {"error", "no download nosuch"}},
         {"no download with id nosuch (neither running nor paused)"},
         "?"},
        {{{"type", "DownloaderError"}, {"code", 272}, {"text", "Critical unknown error"}}, {"id nosuch"}, "Critical"},
        {{{"type", "DownloaderError"}, {"code", 269}, {"text", "Unknown filename to be resumed"}},
         {"id nosuch"},
         "filename"},
        {{{"code", 264}, {"text", "Download failed: Server replied Authorization Required."}},
         {"--user"},
         "Server replied"},
        {{{"code", 511}, {"text", "Download failed: MAX Number of redirection reached."}}, {"redirects"}, "MAX"},
        {{{"code", 259}, {"text", "Download failed: Connection closed prematurely."}}, {"kept"}, "prematurely"},
        {{{"code", 257}, {"text", "Max number of allowed concurrent downloads reached"}},
         {"Downloader/MaxDownloads"},
         "Max number"},
        {{{"code", 273}, {"text", "No response from the endpoint - timeout occurred"}},
         {"Downloader/RequestTimeout"},
         "endpoint"},
        {{{"code", 258}, {"text", "Could not create destination file"}}, {"cannot create"}, "Could not"},
        {{{"code", 260}, {"text", "Connection refused"}}, {"Connection refused"}, "?"},
    };
    for (const auto& row : rows) {
        const std::string shown = human::withCode(human::Report::fromJson(row.report, "nosuch"));
        SCOPED_TRACE(shown);
        for (const std::string& word : row.wanted)
            EXPECT_NE(std::string::npos, shown.find(word));
        EXPECT_NE(std::string::npos, shown.find(" (code " + std::to_string(row.report.value("code").toInt()) + ")"));
        EXPECT_EQ(std::string::npos, shown.find(row.gone));
    }
}

// At any width the figures stay whole and the name gives way in its middle.
TEST(OutputTest, ProgressRowsFitTheWidthWithWholeFigures)
{
    const struct
    {
        ProgressView::Row row;
        std::string always; // the figure every width shows
    } rows[] = {
        {{"very-long-name-of-the-installer-image-file.iso", 141ull << 20, 300ull << 20, 12ull << 20, ""}, "47%"},
        {{"stream.log", 5ull << 20, 0, 1ull << 20, ""}, "5.0 MiB"},
        {{"große-überraschung-für-alle-daten-ärger.tar", 1000, 2000, 10, ""}, "50%"},
        {{"another-quite-long-name-of-a-file.zip", 0, 0, 0, "retrying in 4s (2/5): HTTP 503 Service Unavailable"},
         "retrying"},
    };
    for (const auto& row : rows) {
        const std::string& label = row.row.label;
        for (const int width : {0, 120, 60, 40, 24}) {
            const std::string line = ProgressView::progressLine(row.row, width);
            SCOPED_TRACE(line + " at " + std::to_string(width));
            EXPECT_EQ(line, QString::fromStdString(line).toStdString()); // no code point cut in two
            EXPECT_NE(std::string::npos, line.find(row.always));
            EXPECT_EQ(0u, line.find(label.substr(0, 4)));
            EXPECT_NE(std::string::npos, line.find(label.substr(label.size() - 4)));
            if (width > 0) {
                EXPECT_LE(ProgressView::columns(line), width);
            }
            if (width == 0) {
                EXPECT_EQ(0u, line.find(label + "  "));
            }
        }
    }
    EXPECT_NE(std::string::npos, ProgressView::progressLine(rows[1].row, 60).find("5.0 MiB so far  1.0 MiB/s"));
    const ProgressView::Totals totals{5, 1, 2, 7ull << 20, 3ull << 20};
    EXPECT_EQ("total: 5 downloads, 1 done, 2 queued  7.0 MiB  3.0 MiB/s", ProgressView::totalLine(totals, 60));
    EXPECT_LE(ProgressView::columns(ProgressView::totalLine(totals, 30)), 30);
}

} // namespace
