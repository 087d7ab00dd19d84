// Every single-answer server behaviour, end to end through the bus: the report the client gets,
// what stays in the store and on disk, and, where the record stays, that a Resume finishes it.
#include "ComponentFixture.h"
#include "Configuration.h"

#include <QUrlQuery>
#include <csignal>
#include <sys/resource.h>
#include <tuple>

namespace {

struct Outcome
{
    std::string name;
    std::string target; // path and query on the scripted server; a password in it is percent-encoded,
                        // so that finding it in a text means it leaked
    std::string type;
    int code;
    std::string text;     // "$url" stands for the requested URL, "$in" for the destination folder
    int http;             // the last answer's status, as the report's cause and the record give it
    NetworkCause network; // as the report's cause gives it
    bool record;          // kept after the report
    bool partial;         // kept after the report
    std::string hash;     // "good", "bad", "upper" or none
    std::string user = "";
    std::string password = "";
    bool resumes = false; // a Resume from a server that has mended its ways finishes the file
    bool inUrl = false;   // the credentials are written into the URL
    int retryAfter = -1;  // as the report's cause and the record give it
};

std::ostream& operator<<(std::ostream& out, const Outcome& row)
{
    return out << row.name;
}

const std::string kTimeout = "No response from the endpoint - timeout occurred";
const std::string kCutShort = "Download failed: Connection closed prematurely.";
const std::string kInvalid = "Download failed: Invalid username and/or password.";
const NetworkCause kNone = NetworkCause::None;
const NetworkCause kReset = NetworkCause::Reset;

const std::vector<Outcome> kOutcomes = {
    {"Finished", "/files/a.zip?size=300000&seed=1", "WasFinished", 0, "$in/a.zip", 200, kNone, false, false, "good"},
    {"DigestInCapitals", "/u.bin?size=7000&seed=3", "WasFinished", 0, "$in/u.bin", 200, kNone, false, false, "upper"},
    {"DigestMismatch", "/d.bin?size=5000&seed=2", "WasFailed", 274, "Digest verification failed", 200, kNone, false,
     false, "bad"},
    {"ServerName", "/get?body=pdf&h=Content-Disposition:attachment;%20filename=%22report.pdf%22", "WasFinished", 0,
     "$in/report.pdf", 200, kNone, false, false, ""},
    {"TraversingServerName", "/t?body=x&h=Content-Disposition:attachment;%20filename=%22../escape.txt%22",
     "WasFinished", 0, "$in/escape.txt", 200, kNone, false, false, ""},
    {"Accepted202", "/a?status=202&body=later", "WasFailed", 261, "Download failed.", 202, kNone, true, false, ""},
    {"Gone410", "/g?status=410&body=gone", "WasFailed", 266,
     "Download failed: The requested file is not longer available", 410, kNone, true, false, ""},
    {"NotFound404", "/missing?status=404&body=no", "WasFailed", 260,
     "Error transferring $url - server replied: Not Found", 404, kNone, true, false, ""},
    {"EmptyWithoutLength", "/empty?nolen=1", "WasFailed", 259, kCutShort, 200, kNone, true, false, ""},
    {"LongerThanItsLength", "/long.bin?size=3000&seed=4&len=1000", "WasFinished", 0, "$in/long.bin", 200, kNone, false,
     false, ""},
    {"MebibyteOfHeaders", "/heavy.bin?body=small&pad=1048576", "WasFinished", 0, "$in/heavy.bin", 200, kNone, false,
     false, ""},
    {"NoCredentials", "/s?body=secret&auth=ann:pw", "WasFailed", 264,
     "Download failed: Server replied Authorization Required.", 401, kNone, true, false, ""},
    {"WrongCredentials", "/s?body=secret&auth=ann:pw", "WasFailed", 263, kInvalid, 401, kNone, true, false, "", "ann",
     "wrong"},
    {"WrongPasswordInTheUrl", "/s?body=secret&auth=ann:pw", "WasFailed", 263, kInvalid, 401, kNone, true, false, "",
     "ann", "wrong", false, true},
    {"RightCredentials", "/s?body=secret&auth=ann:%50a55w0rd", "WasFinished", 0, "$in/s", 200, kNone, false, false, "",
     "ann", "Pa55w0rd"},
    {"FiveRedirects", "/r5?size=50000&seed=7&hops=5", "WasFinished", 0, "$in/r5", 200, kNone, false, false, "good"},
    {"SixRedirects", "/r6?size=50000&seed=7&hops=6", "WasFailed", 511,
     "Download failed: MAX Number of redirection reached.", 302, NetworkCause::TooManyRedirects, true, false, ""},
    {"RedirectToFile", "/f?to=file:///etc/passwd", "WasFailed", 261, "Download failed.", 302, kNone, true, false, ""},
    // A target no request could name is not followed: it used to end the process.
    {"RedirectOf30000Bytes", "/lr?to=/" + std::string(30000, 'x'), "WasFailed", 261, "Download failed.", 302, kNone,
     true, false, ""},
    {"RelativeRedirect", "/dir/here?body=resolved&to=there", "WasFinished", 0, "$in/here", 200, kNone, false, false,
     ""},
    {"StallTimesOut", "/stall.bin?size=50000&seed=5&stall=-1&at=2000", "WasFailed", 273, kTimeout, 200,
     NetworkCause::TimedOut, true, true, "", "", "", true},
    {"CutShort", "/cut.bin?size=600000&seed=6&cut=20000", "WasFailed", 259, kCutShort, 200, kReset, true, true, "", "",
     "", true},
    // Credentials are never persisted: the Resume brings them again.
    {"CutShortWithCredentials", "/sc.bin?size=600000&seed=12&cut=20000&auth=ann:%50a55w0rd", "WasFailed", 259,
     kCutShort, 200, kReset, true, true, "", "ann", "Pa55w0rd", true},
    {"Unavailable503", "/busy?status=503&body=no&h=Retry-After:%20120", "WasFailed", 260,
     "Error transferring $url - server replied: Service Unavailable", 503, kNone, true, false, "", "", "", false, false,
     120},
    {"RetryAfterAPastDate", "/busy?status=429&body=no&h=Retry-After:Thu,%2001%20Jan%202015%2000:00:00%20GMT",
     "WasFailed", 260, "Error transferring $url - server replied: Too Many Requests", 429, kNone, true, false, "", "",
     "", false, false, 0},
    {"ResetMidBody", "/reset.bin?size=600000&seed=8&cut=20000&reset=1", "WasFailed", 259, kCutShort, 200, kReset, true,
     true, "", "", "", true},
    {"Credentials404", "/missing?status=404&body=no", "WasFailed", 260,
     "Error transferring $url - server replied: Not Found", 404, kNone, true, false, "", "alice", "Sup3rSecret"},
    {"Credentials500", "/broken?status=500&body=no", "WasFailed", 260,
     "Error transferring $url - server replied: Internal Server Error", 500, kNone, true, false, "", "alice",
     "Sup3rSecret"},
    {"CredentialsInTheUrl", "/missing?status=404&body=no", "WasFailed", 260,
     "Error transferring $url - server replied: Not Found", 404, kNone, true, false, "", "alice", "Sup3rSecret", false,
     true},
    {"EmptyFile", "/zero?len=0", "WasFinished", 0, "$in/zero", 200, kNone, false, false, ""},
    {"TwoLengths", "/two?size=5000&seed=3&h=Content-Length:5000,%204000", "WasFailed", 259, kCutShort, 200, kNone, true,
     false, ""},
    {"PartNotAskedFor", "/p?size=1000&seed=3&status=206&h=Content-Range:bytes%200-999/5000", "WasFailed", 259,
     kCutShort, 206, kNone, true, false, ""},
    {"WholeFileAsAPart", "/w?size=5000&seed=3&status=206&h=Content-Range:bytes%200-4999/5000", "WasFinished", 0,
     "$in/w", 206, kNone, false, false, ""},
    // Announced more than it sent: the connection ended early, whatever the network library says.
    {"LengthAbove4GiB", "/huge.bin?size=1000&seed=9&len=4294968296", "WasFailed", 259, kCutShort, 200, kReset, true,
     true, ""},
};

// What a target serves in full.
QByteArray served(const std::string& target)
{
    const QUrlQuery query(QUrl(QString::fromStdString("http://h" + target)));
    if (query.hasQueryItem("size"))
        return body(query.queryItemValue("size").toLongLong(), query.queryItemValue("seed").toUInt());
    return query.queryItemValue("body", QUrl::FullyDecoded).toUtf8();
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

class OutcomeTest : public ComponentTest, public testing::WithParamInterface<Outcome>
{
};

TEST_P(OutcomeTest, ReportRecordAndPartialFile)
{
    const Outcome& row = GetParam();
    if (row.code == 273)
        Configuration::instance().set("Downloader/RequestTimeout", "300");
    startComponent();
    const std::string url = server.url(QString::fromStdString(row.target));
    QByteArray content = served(row.target);
    std::string hash = row.hash.empty() ? "" : row.hash == "bad" ? sha1Hex("else") : sha1Hex(content);
    if (row.hash == "upper")
        std::transform(hash.begin(), hash.end(), hash.begin(), ::toupper);

    std::string requested = url;
    if (row.inUrl)
        requested.insert(requested.find("//") + 2, row.user + ":" + row.password + "@");
    const Message reply =
        row.inUrl ? download("s", requested, in(), hash) : download("s", url, in(), hash, row.user, row.password);
    const std::string shownUrl = QUrl::fromPercentEncoding(QByteArray::fromStdString(url)).toStdString();
    EXPECT_TRUE(isReport(reply, row.type, row.code, replaced(replaced(row.text, "$url", shownUrl), "$in/", in())));
    const std::string partial = recordedPartial("s");
    EXPECT_EQ(row.record, !partial.empty());
    EXPECT_EQ(row.partial, partialFiles().size() == 1) << partialFiles().join(" ").toStdString();
    if (row.partial) { // what was kept is the beginning of the file
        EXPECT_EQ(content.left(int(fileSize(partial))), readFile(partial));
    }
    if (row.type == "WasFinished") {
        const QUrlQuery query(QUrl(QString::fromStdString(url)));
        EXPECT_EQ(content.left(query.hasQueryItem("len") ? query.queryItemValue("len").toInt() : content.size()),
                  readFile(textOf(reply)));
    }
    const QByteArray credentials = QString::fromStdString(row.user + ":" + row.password).toUtf8().toBase64();
    if (!row.user.empty() && row.code != 260) { // they reached the server that asked for them
        EXPECT_EQ("Basic " + credentials, server.requests().last().header("Authorization"));
    }
    // Why, with what stays for a resume (or the file saved).
    const Cause cause = causeOf(reply);
    const qint64 kept = row.type == "WasFinished" ? fileSize(textOf(reply)) : row.partial ? fileSize(partial) : 0;
    EXPECT_EQ(std::make_tuple(std::string(nameOf(row.network)), row.http, row.retryAfter, kept, std::string()),
              std::make_tuple(std::string(nameOf(cause.network)), cause.httpStatus, cause.retryAfter,
                              qint64(cause.bytesKept), cause.tlsCause));
    HaulwrightPersistedRequest record;
    persisted("s", record);
    if (row.record) { // the record tells how it ended, as the report did
        EXPECT_EQ(std::make_tuple(std::string("failed"), row.type, row.code, textOf(reply), row.http, row.retryAfter),
                  std::make_tuple(record.lastState, record.lastType, record.lastCode, record.lastText,
                                  record.httpStatus, record.retryAfter));
    }
    std::vector<std::string> texts = logTexts();
    texts.insert(texts.end(), {textOf(reply), record.url, record.lastText});
    for (const std::string& text : texts) // the password reaches no text at all
        EXPECT_TRUE(row.password.empty() || text.find(row.password) == std::string::npos) << text;
    if (!row.resumes)
        return;
    const QString path = QUrl(QString::fromStdString(url)).path();
    const QUrlQuery faulty(QUrl(QString::fromStdString(url)));
    QString mended = "size=" + faulty.queryItemValue("size") + "&seed=" + faulty.queryItemValue("seed");
    if (faulty.hasQueryItem("auth"))
        mended += "&auth=" + faulty.queryItemValue("auth");
    server.script(path, mended);
    if (!row.user.empty()) {
        EXPECT_TRUE(isReport(resume("s"), "WasFailed", 264, "Download failed: Server replied Authorization Required."));
        EXPECT_EQ(kept, fileSize(partial)) << "a refused resume keeps what arrived";
    }
    server.clearRequests();
    const Message resumed = outcomeOf(makeMessage("Resume", "s",
                                                  row.user.empty() ? boost::shared_ptr<ISerializable>()
                                                                   : startPayload("", "", "", row.user, row.password)));
    EXPECT_TRUE(isReport(resumed, "WasFinished", 0, in(path.mid(1).toStdString())));
    EXPECT_EQ(content, readFile(in(path.mid(1).toStdString())));
    ASSERT_FALSE(server.requests().isEmpty());
    for (const Request& request : server.requests())
        EXPECT_EQ(kept > 0 ? "bytes=" + QByteArray::number(kept) + "-" : QByteArray(), request.header("Range"));
    if (!row.user.empty()) {
        EXPECT_EQ("Basic " + credentials, server.requests().last().header("Authorization"));
    }
    EXPECT_EQ("", recordedPartial("s"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Server, OutcomeTest, testing::ValuesIn(kOutcomes),
                         [](const testing::TestParamInfo<Outcome>& info) { return info.param.name; });

TEST_F(ComponentTest, DestinationThatCannotBeCreatedSendsNoRequest)
{
    startComponent();
    EXPECT_TRUE(isReport(download("s", server.url("/x?body=x"), in("does/not/exist")), "WasFailed", 258,
                         "Could not create destination file"));
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(ComponentTest, TlsHelloOnAPlainPortIsAClosedConnectionAndKeepsTheRecord)
{
    writeFile(dataPath + "cert/none.crt", "");
    startComponent();
    const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/f.bin";
    EXPECT_TRUE(isReport(download("s", url, in()), "WasFailed", 260, "Connection closed"));
    EXPECT_NE("", recordedPartial("s"));
    EXPECT_TRUE(partialFiles().isEmpty());
}

TEST_F(ComponentTest, RedirectToHttpsWithoutDataDirectoryFailsWithTheExceptionLines)
{
    startComponent();
    Configuration::instance().unset("Directories/DataPath");
    EXPECT_TRUE(isReport(download("s", server.url("/hop?to=https://127.0.0.1:9/secure.bin"), in()), "WasFailed", 260,
                         "Download failed: Unknown exception caught."));
    EXPECT_EQ((std::vector<std::string>{"DOWNLOADER: ERROR: Uknown exception caught.", "Error retrieving Data Path"}),
              logTexts());
}

// Lowers the process's file size limit, so writes past it fail with EFBIG (SIGXFSZ ignored).
TEST_F(ComponentTest, FullDiskFailsTheWriteAndAResumeAfterwardsFinishesTheFile)
{
    const qint64 size = 4 << 20;
    startComponent();
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit lowered = saved;
    lowered.rlim_cur = 1 << 20;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &lowered));
    const Message reply = download("s", server.url("/full.bin?size=4194304&seed=26"), in());
    // In pieces the room for the whole file is taken first: it fails before any piece is asked
    // for, and nothing of it stays.
    const Message pieces = outcomeOf(makeMessage(
        "Start", "p", startPayload(server.url("/pieces.bin?size=4194304&seed=26"), in()), 0, replyTopic,
        R"({"connections":4})"));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_TRUE(isReport(pieces, "WasFailed", 258, "Could not write to destination file."));
    EXPECT_EQ(-1, fileSize(recordedPartial("p")));
    int asked = 0;
    for (const Request& request : server.requests())
        asked += request.path == "/pieces.bin" ? 1 : 0;
    EXPECT_EQ(1, asked);
    EXPECT_TRUE(isReport(reply, "WasFailed", 258, "Could not write to destination file."));
    const qint64 kept = fileSize(recordedPartial("s"));
    EXPECT_EQ(1 << 20, kept) << "what arrived is kept";
    server.clearRequests();
    EXPECT_TRUE(isReport(resume("s"), "WasFinished", 0, in("full.bin")));
    EXPECT_EQ("bytes=" + QByteArray::number(kept) + "-", server.requests().value(0).header("Range"));
    EXPECT_EQ(bodySha1(size, 26), sha1Hex(readFile(in("full.bin"))));
}

// A request's own timeout stands in for the configured one; 0 (or less) means no limit.
TEST_F(ComponentTest, RequestTimeoutComesFromTheRequestElseTheConfiguration)
{
    startComponent();
    int n = 0;
    for (const auto& [configured, details, type] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"0", "", "WasFinished"},
             {"300", R"({"requestTimeoutMs":0})", "WasFinished"},
             {"60000", R"({"requestTimeoutMs":300})", "WasFailed"},
             {"300", R"({"requestTimeoutMs":"never"})", "WasFailed"}}) {
        SCOPED_TRACE(configured + " " + details);
        Configuration::instance().set("Downloader/RequestTimeout", configured);
        const std::string id = "t" + std::to_string(++n);
        const std::string url = server.url(QString::fromStdString("/" + id + "?size=20000&stall=700&at=5000"));
        const Message reply = outcomeOf(makeMessage("Start", id, startPayload(url, in()), 0, replyTopic, details));
        EXPECT_TRUE(type == "WasFinished" ? isReport(reply, type, 0, in(id)) : isReport(reply, type, 273, kTimeout));
    }
}

} // namespace
