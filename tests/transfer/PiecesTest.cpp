// Files fetched in pieces over several connections: the arithmetic of the pieces, and what each
// kind of server leaves (report, saved bytes, record, the Ranges asked).
#include "Pieces.h"

#include "ComponentFixture.h"
#include "MessageBus.h"

#include <algorithm>
#include <set>

namespace {

const std::int64_t MiB = 1 << 20;

std::string text(const std::vector<Piece>& all)
{
    return pieces::toText(all);
}

TEST(PiecesTest, PlansSplitsFrontiersAndRecords)
{
    EXPECT_EQ("0-0-2621440,2621440-2621440-5242880,5242880-5242880-7864320,7864320-7864320-10485760",
              text(pieces::plan(0, 10 * MiB, 4)));
    EXPECT_EQ(1u, pieces::plan(0, MiB + MiB / 2, 8).size()) << "none below the least piece";
    EXPECT_EQ(3u, pieces::plan(7, 7 + 3 * MiB, 16).size());
    EXPECT_TRUE(pieces::plan(5, 5, 4).empty());

    // A free piece goes first, the earliest; then the upper half of the busy one with most left.
    std::vector<Piece> all = pieces::plan(0, 8 * MiB, 2);
    all[0].connection = 0;
    EXPECT_EQ(1, pieces::take(all));
    all[1].connection = 1;
    all[0].pos = MiB;
    all[1].pos = 5 * MiB;
    EXPECT_EQ(2, pieces::take(all));
    EXPECT_EQ("0-1048576-2621440,2621440-2621440-4194304,4194304-5242880-8388608", text(all));
    all[2].connection = 2;
    all[0].pos = all[0].end;
    all[0].connection = Piece::free;
    EXPECT_EQ(3, pieces::take(all)) << "the piece of 3 MiB left is split";
    EXPECT_EQ(6815744, all[3].start);
    all[3].connection = 3;
    all[1].pos = all[1].end - MiB / 2, all[2].pos = all[2].end - MiB * 3 / 4, all[3].pos = all[3].end - MiB / 2;
    EXPECT_EQ(-1, pieces::take(all)) << "under 1 MiB left in each: nothing worth another connection";
    // Whole from the start up to the first gap; everything outside what pieces lack is written.
    EXPECT_EQ(4 * MiB - MiB * 3 / 4, pieces::frontier(all, 0));
    EXPECT_EQ(4 * MiB - MiB * 3 / 4, pieces::frontier(all, MiB)) << "from within the whole part";
    all[0].pos = MiB;
    EXPECT_EQ(MiB, pieces::frontier(all, 0)) << "a gap in the first piece";
    EXPECT_EQ(8 * MiB - MiB * 3 / 2 - MiB * 7 / 4, pieces::written(all, 8 * MiB));

    // Records: in order, finished neighbours merged; anything else is no list of pieces.
    std::vector<Piece> read;
    ASSERT_TRUE(pieces::fromText("0-100-100,100-150-300,300-300-400", 400, read));
    EXPECT_EQ("0-150-300,300-300-400", text(read));
    for (const char* bad : {"", "0-10-5", "0-5-10,8-8-20", "0-5-500", "a-b-c", "0-5-10,", "0-5-10-4", "-1-0-5"})
        EXPECT_FALSE(pieces::fromText(bad, 400, read)) << bad;
    EXPECT_TRUE(read.empty());
}

// What a server does to the pieces of a 6 MB file fetched over four connections.
struct PieceServer
{
    std::string name;
    std::string query; // besides size and seed
    std::string type;  // of the report
    int code;
    bool rightFile;      // the saved file is the server's (first) file
    bool ranged;         // the pieces were asked for
    std::string retried; // a Range asked again for a piece that failed, empty: none
};

std::ostream& operator<<(std::ostream& out, const PieceServer& row)
{
    return out << row.name;
}

class PiecesServerTest : public ComponentTest, public testing::WithParamInterface<PieceServer>
{
};

const qint64 kSize = 6000000;
const std::set<QByteArray> kPlanned = {"bytes=0-", "bytes=1500000-2999999", "bytes=3000000-4499999",
                                       "bytes=4500000-5999999"};

TEST_P(PiecesServerTest, LeavesTheRightFileOrAReportAndThePieces)
{
    const PieceServer& row = GetParam();
    startComponent();
    const std::string path = "/p.bin";
    if (row.name == "changes the file after its first answer") {
        // The first answer is of one version; every later one of another, with another ETag.
        server.onRequest([this, path](const Request&) {
            server.script(QString::fromStdString(path), "size=6000000&seed=8&h=ETag:%22v2%22");
        });
    }
    const std::string hash =
        row.name == "changes the file after its first answer" ? bodySha1(kSize, 8) : bodySha1(kSize, 7);
    send(makeMessage(
        "Start", "s",
        startPayload(server.url(QString::fromStdString(path + "?size=6000000&seed=7&" + row.query)), in(), hash), 0,
        replyTopic, "{\"connections\":4}"));
    const Message reply = awaitReply("s");
    MessageBus::instance().waitIdle(30000);
    EXPECT_TRUE(isReport(reply, row.type, row.code, row.code == 0 ? in("p.bin") : textOf(reply)));
    std::set<QByteArray> asked;
    for (const Request& request : server.requests())
        asked.insert(request.header("Range"));
    if (row.ranged) {
        for (const QByteArray& range : kPlanned)
            EXPECT_TRUE(asked.count(range)) << range.toStdString();
    } else {
        EXPECT_EQ(1u, server.requests().size());
    }
    if (!row.retried.empty()) {
        std::string all;
        for (const QByteArray& range : asked)
            all += " [" + range.toStdString() + "]";
        const QByteArray wanted = QByteArray::fromStdString(row.retried == "whole" ? "" : row.retried);
        EXPECT_TRUE(std::any_of(
            asked.begin(), asked.end(),
            [&](const QByteArray& range) { return wanted.isEmpty() ? range.isEmpty() : range.startsWith(wanted); }))
            << row.retried << " among" << all;
    }
    if (row.rightFile) {
        EXPECT_EQ(bodySha1(kSize, row.name == "changes the file after its first answer" ? 8 : 7),
                  sha1Hex(readFile(in("p.bin"))));
        EXPECT_TRUE(partialFiles().isEmpty());
        return;
    }
    // Failed: the partial file and the pieces stay for a resume; nothing was written out of place.
    HaulwrightPersistedRequest record;
    ASSERT_TRUE(persisted("s", record));
    std::vector<Piece> kept;
    ASSERT_TRUE(pieces::fromText(record.pieces, kSize, kept)) << record.pieces;
    EXPECT_EQ(kSize, fileSize(record.temporalFilename));
    EXPECT_EQ(pieces::written(kept, kSize), causeOf(reply).bytesKept) << "what the pieces hold, not the file's size";
    const QByteArray onDisk = readFile(record.temporalFilename);
    const QByteArray right = body(kSize, 7);
    for (const Piece& piece : kept)
        EXPECT_TRUE(right.mid(int(piece.start), int(piece.pos - piece.start)) ==
                    onDisk.mid(int(piece.start), int(piece.pos - piece.start)))
            << "kept bytes of the piece at " << piece.start;
}

INSTANTIATE_TEST_SUITE_P(Servers, PiecesServerTest,
                         testing::Values(PieceServer{"honours ranges", "", "WasFinished", 0, true, true, ""},
                                         PieceServer{"ignores ranges", "norange=1", "WasFinished", 0, true, false, ""},
                                         PieceServer{"answers one piece at a wrong place", "only=3000000&badrange=1",
                                                     "WasFailed", 259, false, true, ""},
                                         PieceServer{"cuts one piece", "only=1500000&cut=200000", "WasFinished", 0,
                                                     true, true, "bytes=1700000-"},
                                         PieceServer{"changes the file after its first answer", "h=ETag:%22v1%22",
                                                     "WasFinished", 0, true, true, "whole"}),
                         [](const testing::TestParamInfo<PieceServer>& info) {
                             std::string name;
                             for (const char c : info.param.name)
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

// A file in pieces whose partial file went away starts over; the record forgets the old pieces,
// so a later resume of the new, one-connection file cannot take them for its own.
TEST_F(ComponentTest, PiecesOfAPartialFileThatWentAwayAreForgotten)
{
    startComponent();
    const QString path = "/gone.bin";
    send(makeMessage("Start", "g", startPayload(server.url(path + "?size=6000000&seed=9&rate=1000000"), in()), 0,
                     replyTopic, R"({"connections":4})"));
    HaulwrightPersistedRequest record;
    ASSERT_TRUE(waitUntil([&] { return persisted("g", record) && !record.pieces.empty(); }));
    send("Pause", "g");
    ASSERT_TRUE(waitUntil([&] { return !component->isRegistered(UUId("g")); }));
    ASSERT_TRUE(QFile::remove(QString::fromStdString(record.temporalFilename)));
    server.script(path, "size=6000000&seed=9&norange=1&rate=1000000");
    send(makeMessage("Resume", "g"));
    ASSERT_TRUE(waitRunning("g"));
    EXPECT_TRUE(waitUntil([&] {
        HaulwrightPersistedRequest now; // unwrapValue leaves a field the text lacks as it was
        return persisted("g", now) && now.pieces.empty();
    }));
    send("Pause", "g");
    ASSERT_TRUE(waitUntil([&] { return !component->isRegistered(UUId("g")); }));
    server.script(path, "size=6000000&seed=9");
    EXPECT_TRUE(isReport(resume("g"), "WasFinished", 0, in("gone.bin")));
    EXPECT_EQ(bodySha1(6000000, 9), sha1Hex(readFile(in("gone.bin"))));
}

} // namespace
