#include "Owner.h"

#include "AllowedFolders.h"
#include "ApiAccess.h"
#include "ApiServer.h"
#include "ClusterMember.h"
#include "ConfigNumber.h"
#include "ConfigRead.h"
#include "Configuration.h"
#include "DownloadBook.h"
#include "DownloadService.h"
#include "EventHub.h"
#include "HostLogger.h"
#include "HostSession.h"
#include "InterruptWatcher.h"
#include "KeyValueStore.h"
#include "OwnerLock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QtGlobal>
#include <arpa/inet.h>
#include <boost/asio/ip/address.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <ifaddrs.h>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// Long enough for transfers to notice a pause and their completions to flush.
const int stopTimeoutMs = 60000;

enum class Level
{
    Error,
    Warning,
    Info,
    Debug
};

Level levelNamed(const std::string& name, bool* ok)
{
    static const std::map<std::string, Level> levels = {
        {"error", Level::Error}, {"warning", Level::Warning}, {"info", Level::Info}, {"debug", Level::Debug}};
    const auto found = levels.find(name);
    *ok = found != levels.end();
    return *ok ? found->second : Level::Info;
}

// The token of the TCP interface: new at every start, so one that leaked ends with the owner;
// or the one in the file the user names, which must be theirs alone. Written to DATA/token,
// readable by the owner's user only, for programs that call the interface.
bool makeToken(const std::string& path, const std::string& kept, std::string* token, std::string* error)
{
    if (!kept.empty()) {
        struct stat info;
        const int file = ::open(kept.c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0 || ::fstat(file, &info) != 0) {
            *error = "cannot read the token file " + kept + ": " + std::strerror(errno);
            if (file >= 0)
                ::close(file);
            return false;
        }
        char text[256] = {};
        const ssize_t n = ::read(file, text, sizeof text - 1);
        ::close(file);
        if (info.st_uid != ::getuid() || (info.st_mode & 077) != 0) {
            *error = "the token file " + kept + " must belong to you and be readable by you alone (chmod 600)";
            return false;
        }
        *token = std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
        while (!token->empty() && (token->back() == '\n' || token->back() == '\r'))
            token->pop_back();
        if (token->size() < 32 || token->find_first_of(" \t\r\n") != std::string::npos) {
            *error = "the token in " + kept + " needs 32 characters or more, on one line";
            return false;
        }
    } else {
        *token = randomHex();
        if (token->empty()) {
            *error = "no random bytes for the token";
            return false;
        }
    }
    // Made anew, never reused: a file left by another user or with another mode is replaced.
    const std::string text = *token + "\n";
    ::unlink(path.c_str());
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0 || ::write(file, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        if (file >= 0)
            ::close(file);
        return false;
    }
    ::close(file);
    return true;
}

// The listening socket systemd passes as fd 3 (LISTEN_PID, LISTEN_FDS), or -1. The variables are
// cleared so that no process this one starts takes them for its own.
int activationSocket()
{
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    const bool ours =
        pid && fds && std::strtol(pid, nullptr, 10) == long(::getpid()) && std::strtol(fds, nullptr, 10) >= 1;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!ours)
        return -1;
    ::fcntl(3, F_SETFD, FD_CLOEXEC);
    return 3;
}

// The data directory holds the token, the store (URLs with their secrets) and the socket: the
// user's alone. Folders found open to others are closed, files made readable by the user only.
void tightenDataDirectory(const std::string& data, const std::function<void(const std::string&)>& note)
{
    const auto tighten = [&](const std::string& path, mode_t wanted) {
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode) || info.st_uid != ::getuid())
            return;
        const mode_t now = info.st_mode & 07777;
        if ((now & 077) == 0)
            return;
        if (::chmod(path.c_str(), wanted) == 0) {
            char text[64];
            std::snprintf(text, sizeof text, " from %04o to %04o", unsigned(now), unsigned(wanted));
            note("made " + path + text + ": it is for this user alone");
        }
    };
    tighten(data, 0700);
    tighten(data + "store", 0700);
    for (const char* name : {"token", "serve.log", "haul.lock"})
        tighten(data + name, 0600);
    if (DIR* folder = ::opendir((data + "store").c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            if (entry->d_name[0] != '.')
                tighten(data + "store/" + entry->d_name, 0600);
        }
        ::closedir(folder);
    }
}

// Many connections must not meet a descriptor limit below the owner's own bounds.
void raiseDescriptorLimit()
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The Host names a TCP request may give: those asked for, else the machine's name; on a
// wildcard address also every address of the machine and the loopback names.
std::vector<std::string> hostNames(const std::vector<std::string>& asked, const boost::asio::ip::address& ip)
{
    std::vector<std::string> names = asked;
    if (names.empty()) {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
            names.push_back(name);
    }
    if (ip.is_loopback() || ip.is_unspecified())
        names.push_back("localhost");
    if (ip.is_unspecified()) {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) == 0) {
            for (const ifaddrs* item = list; item; item = item->ifa_next) {
                char text[INET6_ADDRSTRLEN] = {};
                if (!item->ifa_addr)
                    continue;
                if (item->ifa_addr->sa_family == AF_INET) {
                    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr, text,
                                sizeof text);
                    names.push_back(text);
                } else if (item->ifa_addr->sa_family == AF_INET6 && ip.is_v6()) {
                    const auto* six = reinterpret_cast<const sockaddr_in6*>(item->ifa_addr);
                    if (six->sin6_scope_id != 0)
                        continue; // link-local: no browser sends it as a Host
                    ::inet_ntop(AF_INET6, &six->sin6_addr, text, sizeof text);
                    names.push_back(std::string("[") + text + "]");
                }
            }
            ::freeifaddrs(list);
        }
    }
    return names;
}

ApiServer::Limits interfaceLimits()
{
    ApiServer::Limits limits;
    limits.connectionsPerDoor = int(configInt("Service/MaxConnections"));
    limits.request = std::chrono::seconds(configInt("Service/RequestTimeoutSeconds"));
    limits.idle = std::chrono::seconds(configInt("Service/IdleTimeoutSeconds"));
    return limits;
}

EventHub::Limits streamLimits()
{
    EventHub::Limits limits;
    limits.perSubscriber = std::size_t(configInt("Service/StreamBufferKiB")) << 10;
    limits.total = std::size_t(configInt("Service/StreamBuffersMiB")) << 20;
    return limits;
}

// The plugin's failure lines name their source line ("Haulwright[123] -> text"), which tells
// a person reading the owner's messages nothing: they reach standard error through a pipe
// that drops it. Returns false (lines unchanged) when no pipe can be made.
bool dropSourceLines()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    if (!HostLogger::instance().setLogFile("/proc/self/fd/" + std::to_string(fds[1]))) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    ::close(fds[1]);
    // Lives as long as the process; it ends with it.
    std::thread([reader = fds[0]] {
        std::string pending;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(reader, chunk, sizeof chunk)) > 0) {
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                // "Name[123] -> text" becomes "Name -> text".
                const std::size_t arrow = line.find("] -> ");
                const std::size_t open = arrow == std::string::npos ? arrow : line.rfind('[', arrow);
                if (open != std::string::npos && open + 1 < arrow &&
                    line.find_first_not_of("0123456789", open + 1) == arrow)
                    line.erase(open, arrow + 1 - open);
                (void)!::write(STDERR_FILENO, line.data(), line.size());
            }
        }
    }).detach();
    return true;
}

// Qt's own remarks (a converter registered twice, ...) concern developers: shown at debug level.
void quietQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "haul serve: %s\n", text.toLocal8Bit().constData());
}

} // namespace

int Owner::idleExitSeconds()
{
    return int(configInt("Service/IdleExitSeconds"));
}

int Owner::run()
{
    bool levelOk = false;
    const Level level = levelNamed(options.logLevel, &levelOk);
    if (!levelOk) {
        std::fprintf(stderr, "haul: --log-level takes error, warning, info or debug, got \"%s\"\n",
                     options.logLevel.c_str());
        return 2;
    }
    if (level != Level::Debug)
        qInstallMessageHandler(quietQtMessage);
    const auto log = [level](Level at, const std::string& text) {
        if (at <= level)
            std::fprintf(stderr, "haul serve: %s\n", text.c_str());
    };

    std::string address;
    unsigned short port = 0;
    boost::asio::ip::address listenIp;
    if (!options.listen.empty()) {
        const std::size_t colon = options.listen.rfind(':');
        std::string host = colon == std::string::npos ? std::string() : options.listen.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        const long number = colon == std::string::npos ? -1 : configNumber<long>(options.listen.substr(colon + 1), -1);
        boost::system::error_code ec;
        const auto ip = boost::asio::ip::make_address(host, ec);
        if (ec || number < 0 || number > 65535) {
            std::fprintf(stderr, "haul: --listen needs ADDRESS:PORT with a literal IP address, got \"%s\"\n",
                         options.listen.c_str());
            return 2;
        }
        if (!ip.is_loopback() && !options.allowRemote) {
            std::fprintf(stderr,
                         "haul: %s is not a loopback address; anyone who can reach it and knows the token could "
                         "download to this machine (add --allow-remote if that is what you want)\n",
                         host.c_str());
            return 2;
        }
        address = host;
        port = static_cast<unsigned short>(number);
        listenIp = ip;
    }

    HostSession host;
    std::string error;
    if (!host.configure(options.host, &error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    const std::string data = host.dataPath();
    // The plugin's lines are for whoever asked for them: -v, a log file, or debug level.
    if (options.host.logFile.empty() && level != Level::Debug) {
        if (options.host.verbose && !options.host.quiet)
            dropSourceLines();
        else
            HostLogger::instance().setQuiet(true);
    }
    OwnerLock lock;
    pid_t holder = 0;
    if (!lock.acquire(data, &holder, &error)) {
        if (error.empty())
            std::fprintf(stderr, "haul: the data directory %s is owned by process %d; not starting a second owner\n",
                         data.c_str(), static_cast<int>(holder));
        else
            std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    raiseDescriptorLimit();
    std::string token;
    if (!address.empty() && !makeToken(tokenPath(data), options.tokenFile, &token, &error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }

    // Destroyed in reverse: the server's threads first, the component and bus last.
    std::unique_ptr<DownloadBook> book;
    try {
        std::string domain;
        Configuration::instance().getValue("Identities/DomainID", domain, 0);
        book.reset(new DownloadBook(storeFilePath("DownloadRequests", domain)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "haul: cannot open the store: %s\n", e.what());
        return 1;
    }
    EventHub hub(streamLimits());
    std::string allowedList;
    Configuration::instance().getValue("Service/AllowedDirectories", allowedList, 0);
    DownloadService::Settings settings;
    settings.limit = host.maxDownloads();
    std::string resumeOnStart;
    settings.resumeOnStart =
        Configuration::instance().getValue("Service/ResumeOnStart", resumeOnStart, 0) == 0 && resumeOnStart == "yes";
    settings.history = std::size_t(configInt("Service/History"));
    settings.maxRate = configInt("Downloader/MaxRate");
    settings.note = [log](const std::string& line) { log(Level::Info, line); };
    DownloadService service(hub, *book, settings, AllowedFolders(allowedList, data));
    ApiServer server(service, hub, interfaceLimits());
    // The query stays out: it may hold the token.
    if (level == Level::Debug)
        server.setRequestLog([log](const std::string& line) { log(Level::Debug, line); });
    // The component first: a request posted before it subscribed would reach no one. Then the
    // downloads of earlier runs, before any client may ask about them.
    if (!host.startComponent(&error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    tightenDataDirectory(data, [log](const std::string& text) { log(Level::Info, text); });
    service.open();
    // Started by systemd for its socket (haul.socket): that socket is the door, and its file
    // stays systemd's when the owner leaves.
    const int inherited = activationSocket();
    if (!(inherited >= 0 ? server.adoptUnix(inherited, &error) : server.listenUnix(socketPath(data), &error)) ||
        (!address.empty() &&
         !server.listenTcp(address, port, token, hostNames(options.listenHosts, listenIp), &error))) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    ClusterMember cluster(service, hub, [log](int at, const std::string& text) { log(Level(at), text); });
    if (!options.cluster.empty() && !cluster.start(options.cluster, &error)) {
        std::fprintf(stderr, "haul: %s\n", error.c_str());
        return 1;
    }
    log(Level::Info,
        "process " + std::to_string(::getpid()) + " owns " + data + ", listening on " + socketPath(data) +
            (address.empty() ? std::string() : " and " + server.tcpUrl() + " (token in " + tokenPath(data) + ")"));
    // The page's link carries a one-time code: shown to a person at a terminal, never logged.
    if (!address.empty() && ::isatty(STDOUT_FILENO)) {
        std::printf("page: %s\n", server.newPageLink().c_str());
        std::fflush(stdout);
    }

    InterruptWatcher watcher;
    watcher.setArmed(true);
    int stopSignal = 0;
    QObject::connect(&watcher, &InterruptWatcher::interrupted, [&stopSignal](int signal) {
        stopSignal = signal;
        QCoreApplication::quit();
    });
    const int idleSeconds = options.idleExit ? idleExitSeconds() : 0;
    QTimer idleCheck;
    QElapsedTimer idleFor;
    if (options.idleExit) {
        idleFor.start();
        QObject::connect(&idleCheck, &QTimer::timeout, [&] {
            if (!service.idle() || server.busyCount() > 0)
                idleFor.restart();
            else if (idleFor.elapsed() >= idleSeconds * 1000LL)
                QCoreApplication::quit();
        });
        idleCheck.start(200);
    }
    QCoreApplication::exec();
    idleCheck.stop();

    log(Level::Info, stopSignal ? "signal " + std::to_string(stopSignal) + ": pausing every download"
                                : "idle for " + std::to_string(idleSeconds) + " s: leaving");
    cluster.stopTaking();
    server.refuseNew();
    service.refuseNew();
    host.stopComponent();
    if (!service.waitStopped(stopTimeoutMs))
        log(Level::Warning, "some downloads did not stop in time");
    cluster.stop();
    // Streams end once they have sent the last events, then the connections close.
    hub.close();
    server.stop();
    if (inherited < 0)
        ::unlink(socketPath(data).c_str());
    log(Level::Info, "stopped");
    watcher.setArmed(false);
    return 0;
}
