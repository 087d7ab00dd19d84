#include "CommandLine.h"

#include "ConfigCheck.h"
#include "InputPolicy.h"
#include "NearestName.h"

#include <QFile>
#include <QString>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace {

const std::set<std::string> commands = {"get", "resume", "pause", "abort", "forget", "list", "demo", "serve", "page"};

// Options taking a value; the rest are switches. Per command, what it accepts beyond the
// global ones.
const std::set<std::string> valueOptions = {"--config",  "--data-dir", "--set",         "--log",       "-d",
                                            "--dir",     "--sha1",     "--user",        "-i",          "--input",
                                            "--id",      "--size",     "--rate",        "--listen",    "--log-level",
                                            "--cluster", "--retries",  "--listen-host", "--token-file"};
const std::set<std::string> switchOptions = {"--all", "--detach", "--allow-remote", "--idle-exit", "--failed"};
const std::set<std::string> globalOptions = {"--config",  "--data-dir", "--set",    "--log", "--quiet",
                                             "-q",        "--json",     "--help",   "-h",    "-v",
                                             "--verbose", "--cluster",  "--version"};
const std::map<std::string, std::set<std::string>> commandOptions = {
    {"get", {"-d", "--dir", "--sha1", "--user", "-i", "--input", "--id", "--detach", "--retries"}},
    {"resume", {"--all", "--failed", "--retries"}},
    {"forget", {"--failed"}},
    {"pause", {}},
    {"abort", {}},
    {"serve", {"--listen", "--allow-remote", "--listen-host", "--token-file", "--idle-exit", "--log-level"}},
    {"page", {}},
    {"list", {}},
    {"demo", {"--size", "--rate"}},
};

const char* const globalHelp = "Global options (any command):\n"
                               "  --config FILE      read configuration keys from an INI file\n"
                               "  --data-dir DIR     data directory (store, download/, cert/)\n"
                               "  --set KEY=VALUE    set a configuration key (repeatable)\n"
                               "  --log FILE         write the plugin's log lines to FILE\n"
                               "  --quiet, -q        no progress lines, no log lines on stderr\n"
                               "  --verbose, -v      the plugin's log lines on stderr too\n"
                               "  --json             every reply and progress message as one JSON object a line\n"
                               "  --cluster URL      nats://HOST:PORT: serve as a host of that cluster, or act on it\n"
                               "  --help, -h         this help\n"
                               "  --version          haul's version\n";

std::int64_t parseSize(const std::string& option, const std::string& text)
{
    // Plain bytes, or with a binary suffix: 300M, 64K, 1G.
    std::string digits = text;
    std::int64_t unit = 1;
    if (!digits.empty()) {
        const char suffix = static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
        const std::map<char, std::int64_t> units = {{'K', 1ll << 10}, {'M', 1ll << 20}, {'G', 1ll << 30}};
        const auto found = units.find(suffix);
        if (found != units.end()) {
            unit = found->second;
            digits.pop_back();
        }
    }
    bool ok = false;
    const qint64 value = QString::fromStdString(digits).toLongLong(&ok);
    if (!ok || value < 0)
        throw UsageError(option + " needs a size such as 300M, got \"" + text + "\"");
    return value * unit;
}

std::vector<std::string> readUrlFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw UsageError("cannot read " + path + ": " + file.errorString().toStdString());
    std::vector<std::string> urls;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        urls.push_back(line.toStdString());
    }
    return urls;
}

void checkUrl(const std::string& text)
{
    const std::string problem = inputPolicy::urlProblem(text);
    if (!problem.empty())
        throw UsageError(problem);
}

// " (did you mean NAME?)" for the known name nearest to typed, if one is near.
std::string suggestion(const std::string& typed, const std::set<std::string>& known, std::string* nearest = nullptr)
{
    const std::string name = nearestName(typed, std::vector<std::string>(known.begin(), known.end()));
    if (nearest)
        *nearest = name;
    return name.empty() ? name : " (did you mean " + name + "?)";
}

[[noreturn]] void unknownCommand(const std::string& word)
{
    std::set<std::string> known = commands;
    known.insert({"help", "version"});
    std::string nearest;
    const std::string hint = suggestion(word, known, &nearest);
    throw UsageError("unknown command \"" + word + "\"" + hint, commands.count(nearest) ? nearest : std::string());
}

std::string checkedSha1(const std::string& text)
{
    std::string hex = text;
    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::tolower(c); });
    const bool valid =
        hex.size() == 40 && std::all_of(hex.begin(), hex.end(), [](unsigned char c) { return std::isxdigit(c); });
    if (!valid)
        throw UsageError("--sha1 needs 40 hexadecimal digits, got \"" + text + "\"");
    return hex;
}

void apply(CommandLine& line, const std::string& name, const std::string& value)
{
    if (name == "--config")
        line.configFile = value;
    else if (name == "--data-dir")
        line.dataDir = value;
    else if (name == "--log")
        line.logFile = value;
    else if (name == "--set") {
        const std::size_t equals = value.find('=');
        if (equals == std::string::npos || equals == 0)
            throw UsageError("--set needs KEY=VALUE, got \"" + value + "\"");
        line.settings.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    } else if (name == "--quiet" || name == "-q")
        line.quiet = true;
    else if (name == "--json")
        line.json = true;
    else if (name == "--verbose" || name == "-v")
        line.verbose = true;
    else if (name == "--help" || name == "-h")
        line.help = true;
    else if (name == "--version")
        line.version = true;
    else if (name == "-d" || name == "--dir")
        line.destination = value;
    else if (name == "--sha1")
        line.sha1 = checkedSha1(value);
    else if (name == "--user")
        line.user = value;
    else if (name == "-i" || name == "--input")
        line.inputFile = value;
    else if (name == "--id") {
        const std::string problem = inputPolicy::idProblem(value);
        if (!problem.empty())
            throw UsageError("--id: " + problem);
        line.id = value;
    } else if (name == "--all")
        line.all = true;
    else if (name == "--detach")
        line.detach = true;
    else if (name == "--failed")
        line.failed = true;
    else if (name == "--retries") {
        bool ok = false;
        const int count = QString::fromStdString(value).toInt(&ok);
        if (!ok || count < 0 || count > 1000)
            throw UsageError("--retries needs a count from 0 to 1000, got \"" + value + "\"");
        line.retries = count;
    } else if (name == "--listen")
        line.listen = value;
    else if (name == "--allow-remote")
        line.allowRemote = true;
    else if (name == "--listen-host")
        line.listenHosts.push_back(value);
    else if (name == "--token-file")
        line.tokenFile = value;
    else if (name == "--idle-exit")
        line.idleExit = true;
    else if (name == "--cluster")
        line.cluster = value;
    else if (name == "--log-level")
        line.logLevel = value;
    else if (name == "--size")
        line.demoSize = parseSize(name, value);
    else if (name == "--rate")
        line.demoRate = parseSize(name, value);
}

bool accepted(const std::string& command, const std::string& name)
{
    if (globalOptions.count(name))
        return true;
    const auto found = commandOptions.find(command);
    return found != commandOptions.end() && found->second.count(name);
}

void checkArguments(CommandLine& line)
{
    const std::string& command = line.command;
    if (command == "get") {
        if (!line.inputFile.empty()) {
            const std::vector<std::string> listed = readUrlFile(line.inputFile);
            line.arguments.insert(line.arguments.end(), listed.begin(), listed.end());
        }
        if (line.arguments.empty())
            throw UsageError("get needs at least one URL");
        for (const std::string& url : line.arguments)
            checkUrl(url);
        if (!line.id.empty() && line.arguments.size() != 1)
            throw UsageError("--id names the download of a single URL");
    } else if (command == "resume") {
        if ((line.all || line.failed) == !line.arguments.empty())
            throw UsageError("resume needs identifiers or --all/--failed (not both)");
    } else if (command == "forget") {
        if (line.failed == !line.arguments.empty())
            throw UsageError("forget needs identifiers or --failed (not both)");
    } else if (command == "abort" || command == "pause") {
        if (line.arguments.empty())
            throw UsageError(command + " needs at least one identifier");
    } else if (!line.arguments.empty()) {
        throw UsageError(command + " takes no arguments, got \"" + line.arguments.front() + "\"");
    }
    if (!line.cluster.empty()) {
        const QUrl url(QString::fromStdString(line.cluster), QUrl::StrictMode);
        if (url.scheme() != "nats" || url.host().isEmpty() || url.port() <= 0)
            throw UsageError("--cluster needs nats://HOST:PORT, got \"" + line.cluster + "\"");
        if (command == "demo" || command == "forget")
            throw UsageError(command + " does not take --cluster: it works on one data directory");
        if (line.failed)
            throw UsageError("--failed is for one data directory; with --cluster name the downloads");
        // The request is stored by the queue: a password would be kept there in clear.
        if (!line.user.empty())
            throw UsageError("--user cannot go with --cluster: the password would be stored in the queue");
        if (command == "resume" && line.all)
            throw UsageError("resume --all is for one data directory; with --cluster name the downloads");
    }
    if (command == "demo" && (line.demoSize <= 0 || line.demoRate <= 0))
        throw UsageError("--size and --rate must be positive");
}

} // namespace

CommandLine CommandLine::parse(const std::vector<std::string>& args)
{
    CommandLine line;
    std::vector<std::pair<std::string, std::string>> options;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            if (line.command.empty() && !optionsEnded) {
                if (arg == "help") {
                    line.help = true;
                    continue;
                }
                if (arg == "version") {
                    line.version = true;
                    continue;
                }
                if (!commands.count(arg))
                    unknownCommand(arg);
                line.command = arg;
            } else {
                line.arguments.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        const std::size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        if (!valueOptions.count(name) && !globalOptions.count(name) && !switchOptions.count(name)) {
            // The options of the command so far, else every one.
            std::set<std::string> known = globalOptions;
            const auto own = commandOptions.find(line.command);
            if (own != commandOptions.end()) {
                known.insert(own->second.begin(), own->second.end());
            } else {
                known.insert(valueOptions.begin(), valueOptions.end());
                known.insert(switchOptions.begin(), switchOptions.end());
            }
            throw UsageError("unknown option " + name + suggestion(name, known));
        }
        if (valueOptions.count(name)) {
            if (!hasValue) {
                if (i + 1 >= args.size())
                    throw UsageError(name + " needs a value");
                value = args[++i];
            }
        } else if (hasValue) {
            throw UsageError(name + " takes no value");
        }
        options.emplace_back(name, value);
    }
    // With "haul help get" the argument names the command whose help is wanted.
    if (line.help && line.command.empty() && !line.arguments.empty()) {
        if (!commands.count(line.arguments.front()))
            unknownCommand(line.arguments.front());
        line.command = line.arguments.front();
        line.arguments.clear();
    }
    for (const auto& option : options) {
        if (!line.command.empty() && !accepted(line.command, option.first))
            throw UsageError(line.command + " does not take " + option.first);
        if (line.command.empty() && !globalOptions.count(option.first))
            throw UsageError(option.first + " belongs to a command");
        apply(line, option.first, option.second);
    }
    if (line.help || line.version)
        return line;
    if (line.command.empty())
        throw UsageError("no command given");
    checkArguments(line);
    // Before any owner starts: it would take a wrong key for a missing one, a wrong value for the default.
    const std::string problem = configProblem(line.configFile, line.settings);
    if (!problem.empty())
        throw ConfigError(problem);
    return line;
}

std::string CommandLine::usage(const std::string& command)
{
    std::string text;
    if (command == "get") {
        text = "Usage: haul get URL... [-d DIR] [--sha1 HEX] [--user NAME] [-i FILE] [--id TEXT]\n"
               "Downloads each URL through the plugin; prints the saved path of each.\n"
               "  -d, --dir DIR      destination folder (default: the data directory's download/)\n"
               "  --sha1 HEX         expected SHA-1 digest of the file\n"
               "  --user NAME        user name; the password comes from HAUL_PASSWORD or the terminal\n"
               "  -i, --input FILE   read URLs from FILE, one a line (# comments, blank lines skipped)\n"
               "  --id TEXT          session identifier of a single download (default: a new UUID)\n"
               "  --detach           hand the downloads to the owner, print their ids and return\n"
               "  --retries N        try again what a retry may mend (cut short, timeout, refused or\n"
               "                     reset connection, HTTP 5xx, 408, 429) up to N times (default 5)\n"
               "Ctrl-C pauses the running downloads; a second Ctrl-C exits at once.\n"
               "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted.\n";
    } else if (command == "resume") {
        text = "Usage: haul resume ID... | haul resume --all [--failed] | haul resume --failed\n"
               "Continues paused or interrupted downloads from their partial files.\n"
               "  --all              every paused or interrupted download\n"
               "  --failed           the downloads whose last try failed (with --all: those too)\n"
               "  --retries N        as for get (default 5)\n"
               "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted.\n";
    } else if (command == "abort") {
        text = "Usage: haul abort ID...\n"
               "Discards persisted downloads: partial file and record.\n"
               "Exit status: 0 all aborted, 1 any refused, 2 usage error.\n";
    } else if (command == "forget") {
        text = "Usage: haul forget ID... | haul forget --failed\n"
               "Drops persisted downloads that are not running, with their partial files, without\n"
               "contacting any server.\n"
               "  --failed           every download whose last try failed\n"
               "Exit status: 0 all forgotten, 1 any refused (running or unknown), 2 usage error.\n";
    } else if (command == "pause") {
        text = "Usage: haul pause ID...\n"
               "Pauses running downloads; their partial files and records stay for a resume.\n"
               "Exit status: 0 all paused, 1 any not running, 2 usage error.\n";
    } else if (command == "serve") {
        text = "Usage: haul serve [--listen ADDRESS:PORT [--allow-remote] [--listen-host NAME]...]\n"
               "                  [--token-file FILE] [--idle-exit] [--log-level LEVEL]\n"
               "Owns the data directory in the foreground: loads the plugin once and serves other haul\n"
               "commands and programs on DATA/haul.sock (HTTP/1.1 and JSON). SIGTERM, SIGINT or SIGHUP\n"
               "pause every download and end it with status 0.\n"
               "  --listen ADDR:PORT also serve on TCP and its page; requests need the token in\n"
               "                     DATA/token (new at every start) or the page's session\n"
               "  --allow-remote     allow a --listen address that is not a loopback address\n"
               "  --listen-host NAME a name a TCP request's Host may give besides the address\n"
               "                     (repeatable; default: this machine's name)\n"
               "  --token-file FILE  keep this token (yours alone, mode 600) instead of a new one\n"
               "  --idle-exit        leave after Service/IdleExitSeconds (default 30) with nothing to do\n"
               "  --log-level LEVEL  error, warning, info (default) or debug\n"
               "Exit status: 0 stopped, 1 could not start (another owner, no plugin), 2 usage error.\n";
    } else if (command == "page") {
        text = "Usage: haul page\n"
               "Prints a new link to the page of the running owner (haul serve --listen). The link\n"
               "logs a browser in once, within ten minutes; then it is worth nothing.\n";
    } else if (command == "list") {
        text = "Usage: haul list\n"
               "Lists the persisted requests: identifier, URL, destination, partial file size, and\n"
               "state: running, queued, paused, failed (code and text) or interrupted.\n";
    } else if (command == "demo") {
        text = "Usage: haul demo [--size BYTES] [--rate BYTES_PER_SEC]\n"
               "Serves a generated file on 127.0.0.1, downloads it, pauses, resumes, verifies it,\n"
               "then asks for it again. Sizes take K, M or G suffixes (default 300M at 60M/s).\n";
    } else {
        text = "Usage: haul [global options] COMMAND [options] [arguments]\n"
               "Commands:\n"
               "  get URL...         download files\n"
               "  resume ID...       continue paused downloads (--all, --failed)\n"
               "  pause ID...        pause running downloads\n"
               "  abort ID...        discard paused downloads\n"
               "  forget ID...       drop downloads that are not running (--failed: the failed ones)\n"
               "  list               show the persisted downloads\n"
               "  demo               show a download, pause, resume and verification on 127.0.0.1\n"
               "  serve              own the data directory and serve the other commands\n"
               "  page               print a one-time link to the running owner's page\n"
               "  help COMMAND       the options of COMMAND\n";
    }
    return text + globalHelp;
}

int CommandLine::interpret(const std::vector<std::string>& args, CommandLine& line, std::string& out, std::string& err)
{
    try {
        line = parse(args);
    } catch (const ConfigError& e) {
        err = std::string("haul: ") + e.what() + "\n";
        return 2;
    } catch (const UsageError& e) {
        std::string command = e.topic;
        for (const std::string& arg : args) {
            if (command.empty() && commands.count(arg))
                command = arg;
        }
        err = std::string("haul: ") + e.what() + "\nhaul: see 'haul help'" +
              (command.empty() ? "" : " or 'haul help " + command + "'") + "\n";
        return 2;
    }
    if (line.help) {
        out = usage(line.command);
        return 0;
    }
    if (line.version) {
        out = "haul " HAUL_VERSION "\n";
        return 0;
    }
    return -1;
}

HostOptions CommandLine::hostOptions() const
{
    HostOptions options;
    options.configFile = configFile;
    options.dataDir = dataDir;
    options.logFile = logFile;
    options.settings = settings;
    options.quiet = quiet;
    options.verbose = verbose;
    return options;
}
