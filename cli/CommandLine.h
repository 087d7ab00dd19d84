#pragma once

#include "HostOptions.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// Wrong arguments: the message is printed with a hint to the help of topic (a command, or
// the general help when empty) and haul exits 2.
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const std::string& what, std::string topic = std::string())
        : std::runtime_error(what), topic(std::move(topic))
    {
    }
    std::string topic;
};

// A configuration that would not be read as written: the message names the place; haul exits 2.
class ConfigError : public UsageError
{
public:
    using UsageError::UsageError;
};

// Everything the command line asked for, checked. Built once on the main thread.
struct CommandLine
{
    std::string command; // get, resume, pause, abort, forget, limit, list, demo, serve, page; empty with --help alone
    bool help = false;
    bool version = false;

    std::string configFile;
    std::string dataDir;
    std::string logFile;
    std::vector<std::pair<std::string, std::string>> settings;
    bool quiet = false;
    bool verbose = false;
    bool json = false;

    std::vector<std::string> arguments; // URLs or identifiers
    std::string destination;
    std::string sha1;
    std::string user;     // get, resume; the password is not here
    bool replace = false; // get --id: a new download replaces a known one of that id
    std::string inputFile;
    std::string id;
    std::string batch; // get --cluster: names the submission, so that running it again queues nothing twice
    bool all = false;
    bool idsOnly = false; // list --ids: for shell completion, which must start no owner
    bool detach = false;
    bool failed = false; // resume, forget: the downloads whose last try failed
    int retries = 5;

    std::string listen;
    bool allowRemote = false;
    std::vector<std::string> listenHosts;
    std::vector<std::string> headers; // get --header: "Name: value", in order
    std::string userAgent;            // get --user-agent
    bool noTimestamp = false;         // get --no-timestamp
    std::string output;               // get -o: the saved file's name, or a path to it
    std::int64_t limitRate = 0;       // get --limit-rate: bytes a second
    std::int64_t rate = 0;            // limit RATE: bytes a second
    int connections = 0;              // get --connections: 1 to 16; 0: as configured
    std::string tokenFile;
    bool idleExit = false;
    std::string logLevel = "info";
    std::string cluster; // nats://HOST:PORT

    std::int64_t demoSize = 300ll << 20;
    std::int64_t demoRate = 60ll << 20;

    // The global options that configure a host.
    HostOptions hostOptions() const;

    // Throws UsageError; URLs of -i FILE are read here.
    static CommandLine parse(const std::vector<std::string>& args);
    // The general usage, or that of one command.
    static std::string usage(const std::string& command);
    // haul's answer to args before any command runs: help or the version (0, on out) or a usage
    // error (2, the message and a hint on err); -1 when line is to be run. The build asks it for
    // the installed files made from the option table: "--print-completion bash|zsh" and
    // "--print-manual TEMPLATE" (0 with the file on out, else 1).
    static int interpret(const std::vector<std::string>& args, CommandLine& line, std::string& out, std::string& err);
};
