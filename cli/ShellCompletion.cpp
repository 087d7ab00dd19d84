#include "ShellCompletion.h"

#include "ConfigKeys.h"
#include "OptionTable.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

namespace {

using V = OptionInfo::Values;

// Each once, in table order.
class Words
{
public:
    void add(const std::string& word)
    {
        if (std::find(list.begin(), list.end(), word) == list.end())
            list.push_back(word);
    }
    void add(const OptionInfo& option)
    {
        if (option.shortName)
            add(option.shortName);
        add(option.name);
    }
    std::string joined(const char* separator) const
    {
        std::string out;
        for (const std::string& word : list)
            out += (out.empty() ? "" : separator) + word;
        return out;
    }
    bool empty() const { return list.empty(); }

private:
    std::vector<std::string> list;
};

std::vector<std::string> commandNames(bool withShows)
{
    std::vector<std::string> names;
    for (const CommandInfo& command : commandTable()) {
        if (withShows || !command.shows)
            names.push_back(command.name);
    }
    return names;
}

std::string spaced(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& word : words)
        out += (out.empty() ? "" : " ") + word;
    return out;
}

// Inside '...' of zsh: a quote ends the string, brackets and colons end a field of _arguments.
std::string zshQuoted(const std::string& text, const char* special)
{
    std::string out;
    for (const char c : text) {
        if (c == '\'')
            out += "'\\''";
        else if (std::string(special).find(c) != std::string::npos)
            out += std::string("\\") + c;
        else
            out += c;
    }
    return out;
}

std::string zshSpec(const OptionInfo& option)
{
    std::string described;
    const std::string rest = "[" + zshQuoted(option.help, "[]") + "]";
    if (option.shortName) {
        const std::string s = option.shortName, l = option.name;
        described = (option.repeatable ? "'*'" : "'(" + s + " " + l + ")'") + "{" + s + "," + l + "}'" + rest;
    } else {
        described = std::string("'") + (option.repeatable ? "*" : "") + option.name + rest;
    }
    if (option.takesValue()) {
        std::string message = option.placeholder;
        std::transform(message.begin(), message.end(), message.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        described += ":" + zshQuoted(message, ":") + ":";
        switch (option.values) {
        case V::File:
            described += "_files";
            break;
        case V::Directory:
            described += "_files -/";
            break;
        case V::Host:
            described += "_hosts";
            break;
        case V::ConfigKey:
            described += "->key";
            break;
        case V::Choice:
            described += std::string("(") + option.choices + ")";
            break;
        case V::Any:
            break;
        }
    }
    return described + "'";
}

} // namespace

std::string bashCompletion()
{
    Words files, folders, keyed, others, valued, global;
    std::map<std::string, Words> choices;
    for (const OptionInfo& option : optionTable()) {
        if (option.global())
            global.add(option);
        if (!option.takesValue())
            continue;
        valued.add(option);
        if (option.values == V::File)
            files.add(option);
        else if (option.values == V::Directory)
            folders.add(option);
        else if (option.values == V::Choice)
            choices[option.choices].add(option);
        else if (option.values == V::ConfigKey)
            keyed.add(option);
        else
            others.add(option);
    }
    Words keys;
    for (const ConfigKey& key : configKeys())
        keys.add(std::string(key.name) + "=");

    std::string out = "# bash completion for haul, written by `haul --print-completion bash` from its option table.\n"
                      "# Uses the bash-completion package's helpers where they are, plain bash where not.\n"
                      "_haul_files()\n"
                      "{\n"
                      "    if declare -F _filedir >/dev/null; then\n"
                      "        _filedir \"$@\"\n"
                      "    elif [[ $1 == -d ]]; then\n"
                      "        mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n"
                      "    else\n"
                      "        mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
                      "    fi\n"
                      "}\n"
                      "_haul()\n"
                      "{\n"
                      "    local cur prev words cword\n"
                      "    if declare -F _init_completion >/dev/null; then\n"
                      "        _init_completion || return\n"
                      "    else\n"
                      "        words=(\"${COMP_WORDS[@]}\") cword=$COMP_CWORD\n"
                      "        cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}\n"
                      "    fi\n"
                      "\n"
                      "    case $prev in\n";
    const auto branch = [&out](const Words& options, const std::string& body) {
        if (!options.empty())
            out += "        " + options.joined("|") + ")\n" + body + "            return ;;\n";
    };
    branch(files, "            _haul_files\n");
    branch(folders, "            _haul_files -d\n");
    for (const auto& [words, options] : choices)
        branch(options, "            COMPREPLY=($(compgen -W \"" + words + "\" -- \"$cur\"))\n");
    branch(keyed, "            COMPREPLY=($(compgen -W \"" + keys.joined(" ") +
                      "\" -- \"$cur\"))\n            compopt -o nospace\n");
    branch(others, "");
    out += "    esac\n"
           "\n"
           "    local command=\"\" i\n"
           "    for ((i = 1; i < cword; i++)); do\n"
           "        case ${words[i]} in\n"
           "            " +
           valued.joined("|") +
           ")\n"
           "                ((i++)) ;;\n"
           "            -*) ;;\n"
           "            *) command=${words[i]}; break ;;\n"
           "        esac\n"
           "    done\n"
           "\n"
           "    local options=\"\"\n"
           "    case $command in\n";
    for (const std::string& command : commandNames(false)) {
        Words own;
        for (const OptionInfo* option : optionsOf(command))
            own.add(*option);
        if (!own.empty())
            out += "        " + command + ") options=\"" + own.joined(" ") + "\" ;;\n";
    }
    out += "        help) COMPREPLY=($(compgen -W \"" + spaced(commandNames(false)) +
           "\" -- \"$cur\")); return ;;\n"
           "        \"\") if [[ $cur != -* ]]; then COMPREPLY=($(compgen -W \"" +
           spaced(commandNames(true)) +
           "\" -- \"$cur\")); return; fi ;;\n"
           "    esac\n"
           // Identifiers from an owner that runs now (the options before the command name its
           // data); limit's first argument is a rate.
           "    if [[ $cur != -* && ( $command == @(pause|resume|abort|forget) || ( $command == limit && "
           "cword -gt i+1 ) ) ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$(\"${words[0]}\" \"${words[@]:1:i-1}\" list --ids 2>/dev/null)\" -- "
           "\"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"" +
           global.joined(" ") +
           " $options\" -- \"$cur\"))\n"
           "    fi\n"
           "} &&\n"
           "    complete -F _haul haul\n";
    return out;
}

std::string zshCompletion()
{
    std::string out = "#compdef haul\n"
                      "# zsh completion for haul, written by `haul --print-completion zsh` from its option table.\n"
                      "\n"
                      "local -a global keys subcommands options\n"
                      "global=(\n";
    for (const OptionInfo* option : optionsOf(std::string()))
        out += "  " + zshSpec(*option) + "\n";
    out += ")\nkeys=(";
    for (const ConfigKey& key : configKeys())
        out += std::string(" ") + key.name;
    out += " )\nsubcommands=(\n";
    for (const CommandInfo& command : commandTable())
        out += "  '" + std::string(command.name) + ":" + zshQuoted(command.summary, ":") + "'\n";
    out += ")\n"
           "\n"
           "local curcontext=$curcontext state state_descr line ret=1\n"
           "typeset -A opt_args\n"
           "_arguments -C $global '1:command:->command' '*::argument:->argument' && ret=0\n"
           "\n"
           "case $state in\n"
           "  command)\n"
           "    _describe -t commands command subcommands && ret=0 ;;\n"
           "  argument)\n"
           "    case $words[1] in\n"
           "      help)\n"
           "        _values command " +
           spaced(commandNames(false)) +
           " && ret=0\n"
           "        return ret ;;\n";
    for (const CommandInfo& command : commandTable()) {
        if (command.shows)
            continue;
        out += "      " + std::string(command.name) + ")\n        options=(";
        for (const OptionInfo* option : optionsOf(command.name))
            out += "\n          " + zshSpec(*option);
        if (*command.arguments)
            out += command.takesUrls ? "\n          '*:URL:_urls'" : "\n          '*:identifier:'";
        out += ") ;;\n";
    }
    out += "      *)\n"
           "        options=() ;;\n"
           "    esac\n"
           "    state=\n"
           "    _arguments $global $options && ret=0 ;;\n"
           "esac\n"
           "# --set, before or after the command.\n"
           "if [[ $state == key ]]; then\n"
           "  compadd -S = -a keys && ret=0\n"
           "fi\n"
           "return ret\n";
    return out;
}
