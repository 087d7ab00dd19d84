#include "CommandLine.h"

#include "ConfigCheck.h"
#include "InputPolicy.h"
#include "ManualPage.h"
#include "NearestName.h"
#include "OptionTable.h"
#include "SafeText.h"
#include "ShellCompletion.h"

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>

namespace {

// Help lines are wrapped to fit this width.
const std::size_t helpWidth = 100;

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
    if (!ok || value < 0 || value > (std::int64_t(1) << 40) / unit)
        throw UsageError(option + " needs a size such as 300M (at most 1T), got \"" + text + "\"");
    return value * unit;
}

// One URL a line from path ("-": standard input), read as a stream: a pipe or a process
// substitution serves as well as a file. A line is bounded, so an endless one is refused.
std::vector<std::string> readUrlFile(const std::string& path)
{
    std::ifstream file;
    if (path != "-")
        file.open(path, std::ios::binary);
    std::istream& in = path == "-" ? std::cin : file;
    if (path != "-" && !file.is_open())
        throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    const std::size_t longest = 3 * inputPolicy::maxUrlBytes;
    std::vector<std::string> urls;
    std::string line;
    std::size_t number = 0;
    for (int c = in.get(); c != EOF || !line.empty(); c = in.get()) {
        if (c != '\n' && c != EOF) {
            if (line.size() == longest)
                throw UsageError("line " + std::to_string(number + 1) + " of " + path + " is longer than " +
                                 std::to_string(longest) + " bytes");
            line.push_back(static_cast<char>(c));
            continue;
        }
        ++number;
        const QString url = QString::fromStdString(line).trimmed();
        line.clear();
        if (!url.isEmpty() && !url.startsWith('#'))
            urls.push_back(url.toStdString());
        if (c == EOF)
            break;
    }
    if (in.bad())
        throw UsageError("cannot read " + path + ": " + std::strerror(errno));
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
    std::set<std::string> known;
    for (const CommandInfo& command : commandTable())
        known.insert(command.name);
    std::string nearest;
    const std::string hint = suggestion(word, known, &nearest);
    throw UsageError("unknown command \"" + word + "\"" + hint, findCommand(nearest) ? nearest : std::string());
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

// name is the option's long spelling.
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
    } else if (name == "--quiet")
        line.quiet = true;
    else if (name == "--json")
        line.json = true;
    else if (name == "--verbose")
        line.verbose = true;
    else if (name == "--help")
        line.help = true;
    else if (name == "--version")
        line.version = true;
    else if (name == "--dir")
        line.destination = value;
    else if (name == "--sha1")
        line.sha1 = checkedSha1(value);
    else if (name == "--user")
        line.user = value;
    else if (name == "--input")
        line.inputFile = value;
    else if (name == "--id") {
        const std::string problem = inputPolicy::idProblem(value);
        if (!problem.empty())
            throw UsageError("--id: " + problem);
        line.id = value;
    } else if (name == "--batch") {
        const std::string problem = inputPolicy::idProblem(value);
        if (!problem.empty())
            throw UsageError("--batch: " + problem);
        line.batch = value;
    } else if (name == "--header") {
        const std::string problem = inputPolicy::headerProblem(value);
        if (!problem.empty())
            throw UsageError("--header: " + problem);
        if (line.headers.size() >= inputPolicy::maxHeaders)
            throw UsageError("--header: at most " + std::to_string(inputPolicy::maxHeaders) + " headers");
        line.headers.push_back(value);
    } else if (name == "--output") {
        const std::string problem =
            inputPolicy::fileNameProblem(QFileInfo(QString::fromStdString(value)).fileName().toStdString());
        if (!problem.empty())
            throw UsageError("--output: " + problem);
        line.output = value;
    } else if (name == "--connections") {
        bool ok = false;
        line.connections = QString::fromStdString(value).toInt(&ok);
        if (!ok || line.connections < 1 || line.connections > 16)
            throw UsageError("--connections needs a number from 1 to 16, got \"" + value + "\"");
    } else if (name == "--limit-rate") {
        line.limitRate = parseSize(name, value);
    } else if (name == "--no-timestamp") {
        line.noTimestamp = true;
    } else if (name == "--user-agent") {
        const std::string problem = inputPolicy::userAgentProblem(value);
        if (!problem.empty())
            throw UsageError("--user-agent: " + problem);
        line.userAgent = value;
    } else if (name == "--replace")
        line.replace = true;
    else if (name == "--all")
        line.all = true;
    else if (name == "--ids")
        line.idsOnly = true;
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
    else
        throw std::logic_error("the option table has " + name + ", the parser does not");
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
        if (!line.output.empty() && line.arguments.size() != 1)
            throw UsageError("--output names the file of a single URL");
        if (!line.id.empty() && line.arguments.size() != 1)
            throw UsageError("--id names the download of a single URL");
        if (line.replace && line.id.empty())
            throw UsageError("--replace needs --id: it names the download to replace");
        if (!line.batch.empty() && line.cluster.empty())
            throw UsageError("--batch is for --cluster: one data directory knows what it was given");
    } else if (command == "resume") {
        if ((line.all || line.failed) == !line.arguments.empty())
            throw UsageError("resume needs identifiers or --all/--failed (not both)");
    } else if (command == "forget") {
        if (line.failed == !line.arguments.empty())
            throw UsageError("forget needs identifiers or --failed (not both)");
    } else if (command == "limit") {
        if (line.arguments.empty())
            throw UsageError("limit needs a RATE such as 500K (0: none), then the downloads' identifiers if any");
        line.rate = parseSize("limit", line.arguments.front());
        line.arguments.erase(line.arguments.begin());
    } else if (command == "abort" || command == "pause") {
        if (line.arguments.empty())
            throw UsageError(command + " needs at least one identifier");
    } else if (!line.arguments.empty()) {
        throw UsageError(command + " takes no arguments, got \"" + line.arguments.front() + "\"");
    }
    if (!line.cluster.empty()) {
        // Several servers of one cluster, comma-separated: the connection tries each.
        for (const QString& one : QString::fromStdString(line.cluster).split(',')) {
            const QUrl url(one.trimmed(), QUrl::StrictMode);
            if ((url.scheme() != "nats" && url.scheme() != "tls") || url.host().isEmpty() || url.port() <= 0)
                throw UsageError("--cluster needs nats://HOST:PORT (several separated by commas), got \"" +
                                 withoutUserInfo(one.toStdString()) + "\"");
        }
        if (command == "demo" || command == "forget" || command == "limit")
            throw UsageError(command + " does not take --cluster: it works on one data directory");
        if (line.failed)
            throw UsageError("--failed is for one data directory; with --cluster name the downloads");
        // The request is stored by the queue: a password would be kept there in clear.
        if (!line.user.empty())
            throw UsageError("--user cannot go with --cluster: the password would be stored in the queue");
        for (const std::string& url : command == "get" ? line.arguments : std::vector<std::string>()) {
            if (!QUrl(QString::fromStdString(url)).userInfo().isEmpty())
                throw UsageError("a URL with a user name cannot go with --cluster: the password would be stored in "
                                 "the queue (" +
                                 withoutUserInfo(url) + ")");
        }
        if (command == "resume" && line.all)
            throw UsageError("resume --all is for one data directory; with --cluster name the downloads");
        if (line.replace)
            throw UsageError("--replace is for one data directory; with --cluster abort the known download first");
        // The queue carries a request's URL, folder and digest, and nothing that could be a credential.
        if (!line.headers.empty() || !line.userAgent.empty() || !line.output.empty() || line.limitRate > 0)
            throw UsageError("--header, --user-agent, --output and --limit-rate are for one data directory: the "
                             "cluster's queue carries a URL, a folder and a digest");
    }
    if (command == "demo" && (line.demoSize <= 0 || line.demoRate <= 0))
        throw UsageError("--size and --rate must be positive");
}

// Every spelling of the options of command and the global ones; of every option without one.
std::set<std::string> spellings(const std::string& command)
{
    std::set<std::string> known;
    for (const OptionInfo& option : optionTable()) {
        if (command.empty() || option.takenBy(command)) {
            known.insert(option.name);
            if (option.shortName)
                known.insert(option.shortName);
        }
    }
    return known;
}

// lead, then the words of text, in lines of at most helpWidth, each after the first indented
// by indent; broken at spaces outside brackets, so that "[--listen ADDRESS:PORT]" stays whole.
std::string wrapped(const std::string& lead, const std::string& text, std::size_t indent)
{
    std::vector<std::string> words(1);
    int depth = 0;
    for (const char c : text) {
        depth += c == '[' ? 1 : c == ']' ? -1 : 0;
        if (c == ' ' && depth == 0)
            words.emplace_back();
        else
            words.back() += c;
    }
    std::string out = lead;
    std::size_t column = lead.size();
    bool first = true;
    for (const std::string& word : words) {
        if (word.empty())
            continue;
        if (!first && column + 1 + word.size() > helpWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (!first) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        first = false;
    }
    return out + "\n";
}

using Rows = std::vector<std::pair<std::string, std::string>>;

// "  LABEL   TEXT" rows, the texts of every block of one page in one column.
std::string rows(const Rows& entries, std::size_t width)
{
    const std::size_t column = 2 + width + 2;
    std::string out;
    for (const auto& entry : entries)
        out += wrapped("  " + entry.first + std::string(column - 2 - entry.first.size(), ' '), entry.second, column);
    return out;
}

std::size_t labelWidth(const std::vector<Rows>& blocks)
{
    std::size_t width = 17;
    for (const Rows& block : blocks)
        for (const auto& entry : block)
            width = std::max(width, entry.first.size());
    return width;
}

Rows optionRows(const std::string& command)
{
    Rows entries;
    for (const OptionInfo* option : optionsOf(command)) {
        std::string label = option->shortName ? std::string(option->shortName) + ", " + option->name : option->name;
        if (option->takesValue())
            label += std::string(" ") + option->placeholder;
        entries.emplace_back(label, option->help);
    }
    return entries;
}

// The files the build installs, asked for by dist/CMakeLists.txt.
int printDistFile(const std::vector<std::string>& args, std::string& out, std::string& err)
{
    if (args.size() == 2 && args[0] == "--print-completion" && args[1] == "bash")
        out = bashCompletion();
    else if (args.size() == 2 && args[0] == "--print-completion" && args[1] == "zsh")
        out = zshCompletion();
    else if (args.size() == 2 && args[0] == "--print-manual")
        out = manualPage(args[1], &err);
    else
        err = "haul: " + args[0] + " takes bash or zsh (--print-completion) or a template (--print-manual)\n";
    return err.empty() ? 0 : 1;
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
                if (!findCommand(arg))
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
        const OptionInfo* option = findOption(name);
        if (!option) {
            // The options of the command so far, else every one.
            throw UsageError("unknown option " + name + suggestion(name, spellings(line.command)));
        }
        if (option->takesValue()) {
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
        if (!findCommand(line.arguments.front()))
            unknownCommand(line.arguments.front());
        line.command = line.arguments.front();
        line.arguments.clear();
    }
    for (const auto& option : options) {
        const OptionInfo* row = findOption(option.first, line.command);
        if (!line.command.empty() && !row->takenBy(line.command))
            throw UsageError(line.command + " does not take " + option.first);
        if (line.command.empty() && !row->global())
            throw UsageError(option.first + " belongs to a command");
        apply(line, row->name, option.second);
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
    const Rows global = optionRows(std::string());
    std::string text;
    if (const CommandInfo* info = findCommand(command)) {
        const std::string lead = "Usage: haul ";
        const Rows own = optionRows(command);
        const std::size_t width = labelWidth({own, global});
        text = wrapped(lead, synopsis(*info), lead.size() + command.size() + 1) + info->about + rows(own, width) +
               info->after + "Global options (any command):\n" + rows(global, width);
    } else {
        Rows commands;
        for (const CommandInfo& entry : commandTable()) {
            // "resume ID...", not every form of its arguments.
            const std::string arguments =
                std::string(entry.arguments).substr(0, std::string(entry.arguments).find(" |"));
            commands.emplace_back(arguments.empty() ? entry.name : std::string(entry.name) + " " + arguments,
                                  entry.summary);
        }
        const std::size_t width = labelWidth({commands, global});
        text = "Usage: haul [global options] COMMAND [options] [arguments]\nCommands:\n" + rows(commands, width) +
               "Global options (any command):\n" + rows(global, width);
    }
    return text;
}

int CommandLine::interpret(const std::vector<std::string>& args, CommandLine& line, std::string& out, std::string& err)
{
    if (!args.empty() && (args[0] == "--print-completion" || args[0] == "--print-manual"))
        return printDistFile(args, out, err);
    try {
        line = parse(args);
    } catch (const ConfigError& e) {
        err = std::string("haul: ") + e.what() + "\n";
        return 2;
    } catch (const UsageError& e) {
        std::string command = e.topic;
        for (const std::string& arg : args) {
            if (command.empty() && findCommand(arg))
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
