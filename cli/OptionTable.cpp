#include "OptionTable.h"

#include <algorithm>
#include <sstream>

namespace {

using V = OptionInfo::Values;

bool mentioned(const std::string& name, const std::string& text)
{
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        word.erase(std::remove_if(word.begin(), word.end(), [](char c) { return c == '[' || c == ']'; }), word.end());
        if (word == name)
            return true;
    }
    return false;
}

} // namespace

bool OptionInfo::spelled(const std::string& spelling) const
{
    return spelling == name || (shortName && spelling == shortName);
}

bool OptionInfo::takenBy(const std::string& command) const
{
    if (global())
        return true;
    std::istringstream words(commands);
    std::string word;
    while (words >> word) {
        if (word == command)
            return true;
    }
    return false;
}

const std::vector<OptionInfo>& optionTable()
{
    static const std::vector<OptionInfo> options = {
        {"--config", nullptr, nullptr, "FILE", "read configuration keys from an INI file",
         "INI file of configuration keys (\"[Downloader]\" \"MaxDownloads=5\")", V::File, nullptr, false},
        {"--data-dir", nullptr, nullptr, "DIR", "data directory (store, download/, cert/)",
         "data directory (\"Directories/DataPath\"); default $XDG_DATA_HOME/haulwright/", V::Directory, nullptr, false},
        {"--set", nullptr, nullptr, "KEY=VALUE", "set a configuration key (repeatable)",
         "any configuration key; repeatable; overrides --config. It reaches the owner that a command starts; an "
         "owner already running keeps its own configuration",
         V::ConfigKey, nullptr, true},
        {"--log", nullptr, nullptr, "FILE", "write the plugin's log lines to FILE",
         "write the plugin's log lines to FILE (passed to an owner a command starts)", V::File, nullptr, false},
        {"--quiet", "-q", nullptr, nullptr, "no progress lines, no log lines on stderr",
         "no progress lines and no log lines on stderr; result lines remain", V::Any, nullptr, false},
        {"--verbose", "-v", nullptr, nullptr, "the plugin's log lines on stderr too",
         "the plugin's log lines on stderr too (those an owner started on demand writes to DATA/serve.log while "
         "the command runs); without it (or --log) no log line reaches the terminal",
         V::Any, nullptr, false},
        {"--json", nullptr, nullptr, nullptr, "every reply and progress message as one JSON object a line",
         "every reply and progress message that reaches the client, one JSON object a line on standard output", V::Any,
         nullptr, false},
        {"--cluster", nullptr, nullptr, "URL", "nats://HOST:PORT[,...]: serve as a host of that cluster, or act on it",
         "nats://HOST:PORT, several separated by commas, a user name and password in the URL when the server "
         "wants them: serve also joins that cluster; get, resume, pause, abort and list act on the cluster instead "
         "of a data directory",
         V::Any, nullptr, false},
        {"--help", "-h", nullptr, nullptr, "this help", "usage (of the command, when one is given)", V::Any, nullptr,
         false},
        {"--version", nullptr, nullptr, nullptr, "haul's version", "prints \"haul VERSION\"", V::Any, nullptr, false},

        {"--dir", "-d", "get", "DIR", "destination folder (default: the current folder)",
         "destination folder, created if missing (default: the current folder; with --cluster each host's "
         "DATA/download/)",
         V::Directory, nullptr, false},
        {"--output", "-o", "get", "NAME", "save the single URL's file as NAME (a path: in that folder)",
         "saves the single URL's file as NAME instead of the server's or the URL's name; a NAME with a folder "
         "saves there (relative to -d when given). A file of that name stays: the new one takes NAME_2",
         V::File, nullptr, false},
        {"--sha1", nullptr, "get", "HEX", "expected SHA-1 digest of the file",
         "expected SHA-1 (40 hex digits, any case); a mismatch fails with 274", V::Any, nullptr, false},
        {"--user", nullptr, "get", "NAME", "user name; the password comes from HAUL_PASSWORD or the terminal",
         "user name; the password is read from HAUL_PASSWORD, else from the terminal without echo. It is never "
         "taken from the command line, logged or persisted.",
         V::Any, nullptr, false},
        {"--input", "-i", "get", "FILE", "read URLs from FILE (- for standard input), one a line",
         "more URLs, one a line, from FILE or any stream (- for standard input, a pipe, <(...)); blank lines "
         "and lines starting with # skipped",
         V::File, nullptr, false},
        {"--id", nullptr, "get", "TEXT", "session identifier of a single download (default: a new UUID)",
         "session identifier of a single download (default: a new UUID; with --cluster one made as --batch "
         "tells); refused while a download of that identifier runs",
         V::Any, nullptr, false},
        {"--batch", nullptr, "get", "NAME",
         "with --cluster: names this submission (default: made from its URLs and folders)",
         "with --cluster: downloads without --id get ids made from NAME, the URL, the folder and the digest, so "
         "the same command run again (after a kill, say) queues nothing twice and follows what is already "
         "there. Without --batch the ids are made from the rest alone: a new NAME downloads the same URLs again",
         V::Any, nullptr, false},
        {"--header", "-H", "get", "\"NAME: VALUE\"", "add a header to each request of the downloads (repeatable)",
         "adds a header to each request of the downloads (repeatable, at most 32). An Authorization header is a "
         "credential: it goes only to the URL's own origin, lives in the owner's memory only and is never shown. "
         "Host, Range, If-Range, Accept-Encoding and the connection's own headers are haul's to set",
         V::Any, nullptr, true},
        {"--user-agent", "-A", "get", "TEXT", "the User-Agent of the requests (default: haul/VERSION)", nullptr, V::Any,
         nullptr, false},
        {"--connections", "-x", "get", "N", "fetch each file over N connections at once (1 to 16)",
         "fetches each file over N connections at once, each a piece of it (1 to 16; default "
         "Downloader/Connections, 1), when the server tells the size and honours ranges; else over one",
         V::Any, nullptr, false},
        {"--limit-rate", nullptr, "get", "RATE", "at most RATE bytes a second for each download (K, M, G suffixes)",
         "each download takes at most RATE bytes a second (K, M and G multiply by 1024); Downloader/MaxRate "
         "limits all together",
         V::Any, nullptr, false},
        {"--no-timestamp", nullptr, "get", nullptr,
         "the saved file keeps the time it was written (default: the server's Last-Modified)", nullptr, V::Any, nullptr,
         false},
        {"--replace", nullptr, "get", nullptr, "replace a known download of the same --id (its partial file goes)",
         nullptr, V::Any, nullptr, false},
        {"--detach", nullptr, "get", nullptr, "hand the downloads to the owner, print their ids and return",
         "hand the downloads to the owner, print \"started: NAME [id ID]\" for each and return 0 at once; the "
         "owner goes on without this command",
         V::Any, nullptr, false},
        {"--retries", nullptr, "get", "N",
         "try again what a retry may mend (cut short, timeout, refused or reset connection, HTTP 5xx, 408, 429) "
         "up to N times (default 5)",
         "tries again, up to N times (default 5; 0 never), what a retry may mend: a body cut short (259), a "
         "timeout (273), a refused or reset connection, HTTP 5xx, 408 and 429; never another 4xx, 274, 263, 264 "
         "or a TLS failure. Each retry is a \"Resume\" through the owner, so \"Range\" asks for the rest. It waits "
         "1 s, 2 s, 4 s ... (at most 30 s, each +-25 %) or the server's Retry-After (at most 10 min), showing "
         "\"retrying in Ns (k/N): REASON\" in the row; Ctrl-C during the wait ends it and the download is "
         "reported paused.",
         V::Any, nullptr, false},

        {"--all", nullptr, "resume", nullptr, "every paused or interrupted download", nullptr, V::Any, nullptr, false},
        {"--ids", nullptr, "list", nullptr, "only the identifiers, one a line, of an owner that runs now (none is started)",
         nullptr, V::Any, nullptr, false},
        {"--failed", nullptr, "resume", nullptr, "the downloads whose last try failed (with --all: those too)", nullptr,
         V::Any, nullptr, false},
        {"--retries", nullptr, "resume", "N", "as for get (default 5)", nullptr, V::Any, nullptr, false},
        {"--user", nullptr, "resume", "NAME", "user name for the resumed downloads; the password as for get", nullptr,
         V::Any, nullptr, false},

        {"--failed", nullptr, "forget", nullptr, "every download whose last try failed", nullptr, V::Any, nullptr,
         false},

        {"--listen", nullptr, "serve", "ADDRESS:PORT",
         "also serve on TCP and its page; requests need the token in DATA/token (new at every start) or the "
         "page's session",
         "also serve the interface and its page on TCP; every request needs the token of DATA/token (new at "
         "every start) or the page's session, and may save only under Service/AllowedDirectories",
         V::Any, nullptr, false},
        {"--allow-remote", nullptr, "serve", nullptr, "allow a --listen address that is not a loopback address",
         "allow a --listen address that is not a loopback address (plain HTTP: put a TLS reverse proxy in front)",
         V::Any, nullptr, false},
        {"--listen-host", nullptr, "serve", "NAME",
         "a name a TCP request's Host may give besides the address (repeatable; default: this machine's name)", nullptr,
         V::Host, nullptr, true},
        {"--token-file", nullptr, "serve", "FILE", "keep this token (yours alone, mode 600) instead of a new one",
         "use the token in FILE (the user's, mode 600) instead of a new one at every start", V::File, nullptr, false},
        {"--idle-exit", nullptr, "serve", nullptr, "leave after Service/IdleExitSeconds with nothing to do", nullptr,
         V::Any, nullptr, false},
        {"--log-level", nullptr, "serve", "LEVEL", "error, warning, info (default) or debug", nullptr, V::Choice,
         "error warning info debug", false},

        {"--size", nullptr, "demo", "BYTES", "size of the file served, with K, M or G (default 300M)", nullptr, V::Any,
         nullptr, false},
        {"--rate", nullptr, "demo", "BYTES_PER_SEC", "bytes a second the server sends, with K, M or G (default 60M)",
         nullptr, V::Any, nullptr, false},
    };
    return options;
}

const std::vector<CommandInfo>& commandTable()
{
    static const std::vector<CommandInfo> commands = {
        {"get", "URL...", "download files", "Downloads each URL through the plugin; prints the saved path of each.\n",
         "Ctrl-C pauses the running downloads; a second Ctrl-C exits at once.\n"
         "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted.\n",
         false, true},
        {"resume", "ID... | --all [--failed] | --failed", "continue paused downloads (--all, --failed)",
         "Continues paused or interrupted downloads from their partial files.\n",
         "Exit status: 0 all finished, 1 any failed, 2 usage error, 130 interrupted.\n", false, false},
        {"pause", "ID...", "pause running downloads",
         "Pauses running downloads; their partial files and records stay for a resume.\n",
         "Exit status: 0 all paused, 1 any not running, 2 usage error.\n", false, false},
        {"abort", "ID...", "stop downloads and discard them",
         "Stops running downloads and discards them, paused or failed ones too: partial file and record.\n",
         "Exit status: 0 all aborted, 1 any refused, 2 usage error.\n", false, false},
        {"forget", "ID... | --failed", "drop downloads that are not running (--failed: the failed ones)",
         "Drops persisted downloads that are not running, with their partial files, without\n"
         "contacting any server.\n",
         "Exit status: 0 all forgotten, 1 any refused (running or unknown), 2 usage error.\n", false, false},
        {"limit", "RATE [ID...]", "change rate limits while downloads run",
         "Sets the rate of each download ID from now on, or without IDs of every download\n"
         "together until the owner stops (Downloader/MaxRate keeps one across starts). RATE is\n"
         "bytes a second, with K, M or G (1024, 1024², 1024³); 0 lifts the limit.\n",
         "Exit status: 0 all set, 1 any refused (unknown or ended), 2 usage error.\n", false, false},
        {"list", "", "show the persisted downloads",
         "Lists the persisted requests: identifier, URL, destination, partial file size, and\n"
         "state: running, queued, paused, failed (code and text) or interrupted.\n",
         "", false, false},
        {"demo", "", "show a download, pause, resume and verification on 127.0.0.1",
         "Serves a generated file on 127.0.0.1, downloads it, pauses, resumes, verifies it,\n"
         "then asks for it again.\n",
         "", false, false},
        {"serve", "", "own the data directory and serve the other commands",
         "Owns the data directory in the foreground: loads the plugin once and serves other haul\n"
         "commands and programs on DATA/haul.sock (HTTP/1.1 and JSON). SIGTERM, SIGINT or SIGHUP\n"
         "pause every download and end it with status 0.\n",
         "Exit status: 0 stopped, 1 could not start (another owner, no plugin), 2 usage error.\n", false, false},
        {"page", "", "print a one-time link to the running owner's page",
         "Prints a new link to the page of the running owner (haul serve --listen). The link\n"
         "logs a browser in once, within ten minutes; then it is worth nothing.\n",
         "", false, false},
        {"help", "[COMMAND]", "the options of COMMAND", "", "", true, false},
        {"version", "", "haul's version", "", "", true, false},
    };
    return commands;
}

const OptionInfo* findOption(const std::string& spelling, const std::string& command)
{
    const OptionInfo* first = nullptr;
    for (const OptionInfo& option : optionTable()) {
        if (!option.spelled(spelling))
            continue;
        if (option.takenBy(command))
            return &option;
        if (!first)
            first = &option;
    }
    return first;
}

const CommandInfo* findCommand(const std::string& name)
{
    for (const CommandInfo& command : commandTable()) {
        if (!command.shows && name == command.name)
            return &command;
    }
    return nullptr;
}

std::vector<const OptionInfo*> optionsOf(const std::string& command)
{
    std::vector<const OptionInfo*> rows;
    for (const OptionInfo& option : optionTable()) {
        if (command.empty() ? option.global() : !option.global() && option.takenBy(command))
            rows.push_back(&option);
    }
    return rows;
}

std::string synopsis(const CommandInfo& command)
{
    std::string text = command.name;
    if (*command.arguments)
        text += std::string(" ") + command.arguments;
    for (const OptionInfo* option : optionsOf(command.name)) {
        // The forms of the arguments name these already ("--all [--failed]").
        if (mentioned(option->name, command.arguments))
            continue;
        text += std::string(" [") + (option->shortName ? option->shortName : option->name);
        if (option->takesValue())
            text += std::string(" ") + option->placeholder;
        text += option->repeatable ? "]..." : "]";
    }
    return text;
}
