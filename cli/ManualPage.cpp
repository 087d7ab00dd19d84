#include "ManualPage.h"

#include "ConfigKeys.h"
#include "OptionTable.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace {

// Text for roff: a backslash printed as such, and every "-" of a word that starts with one
// ("--listen-host", "-1") a minus sign, which a copy and paste keeps, never a hyphen.
std::string escaped(const std::string& text)
{
    std::string out;
    bool option = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '-' && (i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1]))))
            option = true;
        else if (c != '-' && !std::isalnum(static_cast<unsigned char>(c)))
            option = false;
        if (c == '\\')
            out += "\\e";
        else if (c == '-' && option)
            out += "\\-";
        else
            out += c;
    }
    return out;
}

// "\%" before a word keeps roff from hyphenating it: only there, since inside a word it marks
// the very place where it may.
const char* const unbroken = "\\%";

// Running text: words holding an option never hyphenated ("--re-tries"), and no line taken
// for a request.
std::string prose(const std::string& text)
{
    std::istringstream words(text);
    std::string word, out;
    while (words >> word) {
        const bool option = word.find('-') != std::string::npos && escaped(word) != word;
        out += (out.empty() ? "" : " ") + (option ? unbroken : std::string()) + escaped(word);
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\''))
        out = "\\&" + out;
    return out;
}

std::string bold(const std::string& text)
{
    return std::string("\\fB") + unbroken + escaped(text) + "\\fR";
}

std::string italic(const std::string& text)
{
    return "\\fI" + escaped(text) + "\\fR";
}

// "get URL... [-d DIR]" as "\fBget\fR \fIURL\fR... [\fB\-d\fR \fIDIR\fR]", no word broken.
std::string roffSynopsis(const std::string& text)
{
    std::istringstream words(text);
    std::string word, out;
    bool first = true;
    while (words >> word) {
        const std::size_t begin = std::min(word.find_first_not_of('['), word.size());
        std::size_t end = word.size();
        while (end > begin && (word[end - 1] == ']' || word[end - 1] == '.'))
            --end;
        const std::string core = word.substr(begin, end - begin);
        std::string shown = escaped(core);
        if (!core.empty() && (first || core[0] == '-'))
            shown = "\\fB" + shown + "\\fR";
        else if (!core.empty() && std::isupper(static_cast<unsigned char>(core[0])))
            shown = italic(core);
        out += (out.empty() ? "" : " ") + std::string(unbroken) + word.substr(0, begin) + shown + word.substr(end);
        first = false;
    }
    return out;
}

std::string optionEntries(const std::string& command)
{
    std::string out;
    for (const OptionInfo* option : optionsOf(command)) {
        std::string label =
            option->shortName ? bold(option->shortName) + ", " + bold(option->name) : bold(option->name);
        if (option->takesValue())
            label += " " + italic(option->placeholder);
        out += ".TP\n" + label + "\n" + prose(option->manual ? option->manual : option->help) + "\n";
    }
    return out;
}

std::string keyEntries()
{
    std::string out;
    for (const ConfigKey& key : configKeys()) {
        std::string help = key.help;
        if (key.hostValue)
            help += std::string("; haul uses ") + key.hostValue + " unless set";
        out += ".TP\n" + bold(key.name) + " " + prose("(" + key.values() + "; default " + key.defaultText + ")") +
               "\n" + prose(help) + "\n";
    }
    return out;
}

std::string synopsisLines()
{
    std::string out;
    for (const CommandInfo& command : commandTable()) {
        if (!command.shows)
            out += ".B haul\n[\\fIGLOBAL OPTIONS\\fR] " + roffSynopsis(synopsis(command)) + "\n.br\n";
    }
    return out;
}

} // namespace

std::string manualPage(const std::string& path, std::string* error)
{
    std::ifstream in(path);
    if (!in) {
        *error = "haul: cannot read the manual's template " + path + "\n";
        return std::string();
    }
    std::string out, line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.size() < 2 || line.front() != '@' || line.back() != '@') {
            out += line + "\n";
            continue;
        }
        const std::string marker = line.substr(1, line.size() - 2);
        if (marker == "SYNOPSIS")
            out += synopsisLines();
        else if (marker == "OPTIONS")
            out += optionEntries(std::string());
        else if (marker == "KEYS")
            out += keyEntries();
        else if (marker.compare(0, 8, "OPTIONS ") == 0 && findCommand(marker.substr(8)))
            out += optionEntries(marker.substr(8));
        else {
            *error = "haul: " + path + ":" + std::to_string(number) + ": no table for " + line + "\n";
            return std::string();
        }
    }
    return out;
}
