// What a person reads, in-process: the progress rows.
#include "ProgressView.h"

#include <QJsonObject>
#include <QString>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

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
    // Only what was saved is done; a paused, failed or aborted one has stopped.
    const ProgressView::Totals totals{5, 1, 1, 2, 7ull << 20, 3ull << 20};
    EXPECT_EQ("total: 5 downloads, 1 done, 1 stopped, 2 queued  7.0 MiB  3.0 MiB/s",
              ProgressView::totalLine(totals, 70));
    EXPECT_LE(ProgressView::columns(ProgressView::totalLine(totals, 30)), 30);
}

// Rows redrawn in place on a terminal: a row whose update does not say the size keeps the size
// said before, and after the terminal narrowed the cursor goes up over every row the wrapped
// lines now fill, so that no stale line stays behind.
TEST(OutputTest, RedrawsKeepTheSizeAndCoverWrappedRows)
{
    int master = -1, slave = -1;
    winsize size{};
    size.ws_col = 100, size.ws_row = 40;
    ASSERT_EQ(0, ::openpty(&master, &slave, nullptr, nullptr, &size));
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    const int kept = ::dup(STDERR_FILENO);
    ::dup2(slave, STDERR_FILENO);
    const auto drawn = [&] {
        std::fflush(stderr);
        std::string all;
        char buffer[4096];
        for (ssize_t got; (got = ::read(master, buffer, sizeof buffer)) > 0;)
            all.append(buffer, std::size_t(got));
        return all;
    };
    {
        ProgressView view(ProgressView::Mode::Human, true);
        view.update("a", std::string(60, 'a') + ".iso", 1 << 20, 8 << 20, 1 << 20);
        view.update("b", "b.iso", 2 << 20, 8 << 20, 1 << 20);
        const std::string wide = drawn();
        view.update("a", std::string(60, 'a') + ".iso", 2 << 20, 0, 1 << 20);
        const std::string resumed = drawn();
        size.ws_col = 30;
        ::ioctl(slave, TIOCSWINSZ, &size);
        view.update("b", "b.iso", 3 << 20, 8 << 20, 1 << 20);
        const std::string narrowed = drawn();
        ::dup2(kept, STDERR_FILENO);
        EXPECT_NE(std::string::npos, resumed.find("2.0 MiB / 8.0 MiB")) << resumed;
        EXPECT_EQ(std::string::npos, resumed.find("so far")) << resumed;
        // Three lines of up to 99 columns, now 30 wide: at least seven rows to go up.
        const std::size_t up = narrowed.find("\033[");
        ASSERT_NE(std::string::npos, up) << narrowed;
        EXPECT_GE(std::stoi(narrowed.substr(up + 2)), 7) << narrowed << " after " << wide;
    }
    ::close(kept), ::close(master), ::close(slave);
}

} // namespace
