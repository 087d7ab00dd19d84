#pragma once

#include <string>
#include <vector>

// One option of haul as some commands take it. An option that means something different to two
// commands (--retries, --failed, --user) has a row for each, alike in spelling and value.
struct OptionInfo
{
    // What a shell offers for the value.
    enum class Values
    {
        Any,
        File,
        Directory,
        Host,
        ConfigKey, // KEY= of the configuration table
        Choice     // the words of choices
    };
    const char* name;        // "--dir"
    const char* shortName;   // "-d"; nullptr for none
    const char* commands;    // the commands taking it, space separated; nullptr: every command
    const char* placeholder; // of its value ("DIR"); nullptr: a switch
    const char* help;        // one line, for `haul help` and the shells' menus
    const char* manual;      // the manual page's text where it says more than help; else nullptr
    Values values;
    const char* choices; // Values::Choice only
    bool repeatable;

    bool global() const { return commands == nullptr; }
    bool takesValue() const { return placeholder != nullptr; }
    bool spelled(const std::string& spelling) const;
    // Taken by command (or by every one).
    bool takenBy(const std::string& command) const;
};

// A word haul takes first: a command, or "help" and "version", which only show haul itself.
struct CommandInfo
{
    const char* name;
    const char* arguments; // "URL...", "ID... | --all [--failed] | --failed"; "" for none
    const char* summary;   // one line for the command list of `haul help` and the shells' menus
    const char* about;     // the lines of `haul help NAME` before its options
    const char* after;     // the lines after them (Ctrl-C, exit status); may be ""
    bool shows;            // help and version: no command of its own
    bool takesUrls;        // its arguments are URLs rather than identifiers
};

const std::vector<OptionInfo>& optionTable();
const std::vector<CommandInfo>& commandTable();

// The row of spelling that command takes (a global one for any command); else the first row of
// that spelling; nullptr when haul has no such option.
const OptionInfo* findOption(const std::string& spelling, const std::string& command = std::string());
// nullptr for a word that is no command (help and version included).
const CommandInfo* findCommand(const std::string& name);
// The rows of command's own options, in table order; of the global ones for "".
std::vector<const OptionInfo*> optionsOf(const std::string& command);
// "get URL... [-d DIR] [--sha1 HEX] ...": the command, its arguments and each option of its own.
std::string synopsis(const CommandInfo& command);
