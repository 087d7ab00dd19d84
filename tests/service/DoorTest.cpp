// The owner's doors under load no client would make: connections beyond the cap, idle and slow
// ones beyond any thread count, event streams that never read, and what it keeps of its secrets.
#include "OwnerProcess.h"
#include "ScriptServer.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

// A connection made and left as it is: the test, not Qt, decides what it sends and reads.
class RawSocket
{
public:
    static RawSocket tcp(quint16 port)
    {
        RawSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            s.close();
        return s;
    }
    // A tiny receive buffer makes a reader that stops reading felt at once.
    static RawSocket unix(const std::string& path, int receiveBuffer)
    {
        RawSocket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(s.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            s.close();
        return s;
    }
    RawSocket(RawSocket&& other) noexcept : fd(other.fd) { other.fd = -1; }
    ~RawSocket() { close(); }
    bool open() const { return fd >= 0; }
    void send(const QByteArray& bytes) { (void)!::send(fd, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL); }
    // Reads what has arrived; true once the owner closed its end (after what it sent).
    bool drainClosed(QByteArray* got = nullptr)
    {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0 && got)
                got->append(chunk, int(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return true;
            if (n < 0)
                return false;
        }
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    explicit RawSocket(int fd) : fd(fd) {}
    int fd;
};

quint16 tcpPortOf(OwnerProcess& owner)
{
    const QRegularExpression address("http://127\\.0\\.0\\.1:(\\d+)/");
    QString port;
    waitUntil([&] { return !(port = address.match(owner.errorSoFar()).captured(1)).isEmpty(); });
    return port.toUShort();
}

// Our own limit, so that the test and not its descriptor table decides how many connect.
void raiseOwnDescriptorLimit()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

TEST(DoorTest, IdleAndSlowConnectionsBeyondTheCapNeitherStallNorExhaustTheOwner)
{
    raiseOwnDescriptorLimit();
    Sandbox sandbox;
    const std::string data = sandbox.file("data/");
    OwnerProcess owner(data);
    ASSERT_TRUE(owner.serve({"--set", "Service/MaxConnections=64", "--set", "Service/RequestTimeoutSeconds=2", "--set",
                             "Service/IdleTimeoutSeconds=2", "--listen", "127.0.0.1:0"}));
    const quint16 port = tcpPortOf(owner);
    ASSERT_NE(0, port);
    const pid_t pid = owner.pid();
    ASSERT_EQ(200, owner.client.get("/v1/downloads").status);
    const long threads = procStatus(pid, "Threads");
    const int files = openFiles(pid);

    // 1,000 that send nothing and 300 that send a head a byte at a time, as another local user may.
    std::vector<RawSocket> idle, slow;
    for (int i = 0; i < 1000; ++i)
        idle.push_back(RawSocket::tcp(port));
    for (int i = 0; i < 300; ++i) {
        slow.push_back(RawSocket::tcp(port));
        slow.back().send("G");
    }
    ASSERT_TRUE(idle.back().open() && slow.back().open());
    QElapsedTimer served;
    served.start();
    EXPECT_EQ(200, owner.client.get("/v1/downloads").status) << "the user's own door stays open";
    EXPECT_LT(served.elapsed(), 1000);
    const long threadsHeld = procStatus(pid, "Threads");
    const int filesHeld = openFiles(pid);
    EXPECT_LE(threadsHeld, threads + 1) << "no thread per connection";
    EXPECT_LE(filesHeld, files + 64 + 4) << "at most the cap of the TCP door";
    // Beyond the cap: a 503 at once and a close.
    int refused = 0;
    for (RawSocket& socket : idle) {
        QByteArray got;
        if (waitUntil([&] { return socket.drainClosed(&got); }, 50) && got.startsWith("HTTP/1.1 503"))
            ++refused;
        if (refused >= 1000 - 64)
            break;
    }
    EXPECT_GE(refused, 1000 - 64);
    // Within the cap: closed by the owner once the head's deadline passed.
    EXPECT_TRUE(waitUntil(
        [&] {
            return std::all_of(idle.begin(), idle.end(), [](RawSocket& s) { return s.drainClosed(); }) &&
                   std::all_of(slow.begin(), slow.end(), [](RawSocket& s) { return s.drainClosed(); });
        },
        8000));
    idle.clear();
    slow.clear();
    EXPECT_TRUE(waitUntil([&] { return openFiles(pid) <= files; }, 5000))
        << openFiles(pid) << " descriptors, " << files << " before";
    const QByteArray token = readFile(data + "token").trimmed();
    RawSocket after = RawSocket::tcp(port);
    after.send("GET /v1/downloads HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
               "\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    EXPECT_TRUE(waitUntil([&] { return after.drainClosed(&answer); }));
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 OK")) << answer.left(200).data();
    std::printf("[ figures  ] threads %ld -> %ld, descriptors %d -> %d -> %d with 1,300 connections held\n", threads,
                threadsHeld, files, filesHeld, openFiles(pid));
}

TEST(DoorTest, EventStreamsThatNeverReadAreDroppedAndTheOwnerStaysSmall)
{
    raiseOwnDescriptorLimit();
    Sandbox sandbox;
    ScriptServer server;
    ASSERT_TRUE(server.start());
    const std::string data = sandbox.file("data/");
    // Under AddressSanitizer freed memory waits in a quarantine that would count as growth.
    const QByteArray sanitizer = qgetenv("ASAN_OPTIONS");
    qputenv("ASAN_OPTIONS", sanitizer + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64");
    OwnerProcess owner(data);
    const bool serving = owner.serve({"--set", "Downloader/StatusInterval=100", "--set", "Downloader/MaxDownloads=100",
                                      "--set", "Service/StreamBufferKiB=64"});
    qputenv("ASAN_OPTIONS", sanitizer);
    ASSERT_TRUE(serving);
    EventLog reader(data + "haul.sock");
    ASSERT_TRUE(reader.open());
    std::vector<RawSocket> stalled;
    for (int i = 0; i < 40; ++i) {
        stalled.push_back(RawSocket::unix(data + "haul.sock", 4096));
        stalled.back().send("GET /v1/events HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }
    QJsonArray list;
    for (int i = 0; i < 100; ++i)
        list.append(
            QJsonObject{{"url", server.url(QString("/s%1.bin?size=100000000&rate=40000&seed=%1").arg(i)).c_str()},
                        {"id", QString("s%1").arg(i)}});
    ASSERT_EQ(201, owner.client.post("/v1/downloads", {{"downloads", list}}).status);
    ASSERT_TRUE(waitUntil([&] { return reader.count("", {}, "Progress") > 2000; }, 30000));
    const pid_t pid = owner.pid();
    const long before = procStatus(pid, "VmRSS");
    const int progressBefore = reader.count("", {}, "Progress");
    QThread::sleep(8);
    const long after = procStatus(pid, "VmRSS");
    // 100 downloads report 1,000 times a second: unread, 40 streams would hold 64 MiB by now.
    EXPECT_GT(reader.count("", {}, "Progress") - progressBefore, 4000) << "the reader was not held up";
    EXPECT_LT(after - before, 32 * 1024) << "RSS " << before << " kB -> " << after << " kB";
    QByteArray got;
    EXPECT_TRUE(waitUntil([&] { return stalled.front().drainClosed(&got); }));
    EXPECT_TRUE(got.trimmed().endsWith("}") && got.contains("\ndata: {\"type\":\"Dropped\"")) << got.right(300).data();
    std::printf("[ figures  ] owner RSS %ld kB -> %ld kB in 8 s, 100 downloads, 40 streams never read\n", before,
                after);
}

// The data directory is the user's alone, found open or not, and the token changes with every
// start unless a file of the user's names it.
TEST(DoorTest, TheDataDirectoryIsClosedAndTheTokenNewAtEveryStart)
{
    Sandbox sandbox;
    const std::string data = sandbox.file("data/");
    ASSERT_TRUE(writeFile(data + "token", QByteArray(64, 'a') + "\n"));
    ASSERT_TRUE(writeFile(data + "store/old", "x"));
    for (const std::string& path : {data, data + "store"})
        ::chmod(path.c_str(), 0755);
    for (const std::string& path : {data + "token", data + "store/old"})
        ::chmod(path.c_str(), 0644);
    QByteArray previous = QByteArray(64, 'a');
    for (int start = 0; start < 2; ++start) {
        OwnerProcess owner(data);
        ASSERT_TRUE(owner.serve({"--listen", "127.0.0.1:0"}));
        const QByteArray token = readFile(data + "token").trimmed();
        EXPECT_EQ(64, token.size());
        EXPECT_NE(previous, token);
        previous = token;
        for (const std::string& folder : {data, data + "store/", data + "download/"})
            EXPECT_EQ(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser |
                          QFile::ExeUser,
                      QFileInfo(folder.c_str()).permissions())
                << folder;
        for (const QString& name : QDir((data + "store").c_str()).entryList(QDir::Files))
            EXPECT_EQ(onlyForTheUser, QFileInfo((data + "store/").c_str() + name).permissions()) << name.toStdString();
        EXPECT_EQ(onlyForTheUser, QFileInfo((data + "token").c_str()).permissions());
        const Outcome stopped = owner.stop(SIGTERM);
        EXPECT_EQ(start == 0, stopped.err.contains(("made " + data + " from 0755 to 0700").c_str()))
            << stopped.err.data();
        EXPECT_EQ(start == 0, stopped.err.contains(("made " + data + "token from 0644 to 0600").c_str()) ||
                                  stopped.err.contains(("made " + data + "store/old from 0644 to 0600").c_str()));
    }
    // A token of the user's own file is kept; one others may read is refused.
    const std::string kept = sandbox.file("kept-token");
    ASSERT_TRUE(writeFile(kept, QByteArray(40, 'k') + "\n"));
    ::chmod(kept.c_str(), 0600);
    {
        OwnerProcess owner(data);
        ASSERT_TRUE(owner.serve({"--listen", "127.0.0.1:0", "--token-file", kept.c_str()}));
        EXPECT_EQ(QByteArray(40, 'k'), readFile(data + "token").trimmed());
    }
    ::chmod(kept.c_str(), 0644);
    EXPECT_TRUE(HaulProcess(data)
                    .run({"serve", "--listen", "127.0.0.1:0", "--token-file", kept.c_str()})
                    .shows(1, "must belong to you and be readable by you alone"));
}

} // namespace
