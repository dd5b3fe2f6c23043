// The command line of `movu`: global options, then one or more steps joined
// with --then (or read from a script file), each a command with its options.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace movu::cli {

enum class Cmd {
    SetBaseUrl,
    SetBaseUrls,
    SetSecret,
    SetDataPath,
    CalendarDay,
    CalendarMeta,
    CalendarChanges,
    Heartbeat,
    VipStatus,
    GetAsync,
    StartCalendarDay,
    StartCalendarMeta,
    StartPing,
    StartRegister,
    StartVipStatus,
    Poll,
    Cancel,
    Protect,
    Unprotect,
    OpenUrl,
    Codes,
};

struct CommandInfo {
    Cmd id;
    std::string_view name;
    std::string_view wideExport;    // the default export
    std::string_view narrowExport;  // with --narrow; empty when there is one form only
    std::string_view summary;
    std::vector<std::string_view> options;  // "identity" stands for the five identity options
    std::string_view example;
};

const std::vector<CommandInfo>& Commands();
const CommandInfo* FindCommand(std::string_view name);

// A bad command line; `command` names the step whose help would explain it.
struct UsageError : std::runtime_error {
    UsageError(const std::string& message, std::string command = {})
        : std::runtime_error(message), command(std::move(command)) {}
    std::string command;
};

struct Options {
    std::map<std::string, std::string, std::less<>> values;  // by option name, e.g. "--account"
    std::set<std::string, std::less<>> flags;

    bool Flag(std::string_view name) const { return flags.count(name) != 0; }
    const std::string* Value(std::string_view name) const {
        auto it = values.find(name);
        return it == values.end() ? nullptr : &it->second;
    }
};

struct Step {
    const CommandInfo* command = nullptr;
    Options options;
    std::string origin;  // "script.txt:3" for steps read from a file
};

struct Invocation {
    Options globals;
    std::vector<Step> steps;
    bool help = false;     // print help and run nothing
    bool version = false;  // print the version and run nothing
    const CommandInfo* helpFor = nullptr;
    std::optional<std::string> scriptFile;  // steps come from this file ("-": stdin)
};

// Parses argv (UTF-8, without the program name). Throws UsageError.
Invocation Parse(const std::vector<std::string>& args);

// Parses one step list (the words after the global options, or one script line).
std::vector<Step> ParseSteps(const std::vector<std::string>& words, const std::string& origin);

// Splits one script line into words: blanks separate, '...' and "..." quote,
// a backslash escapes the next character outside single quotes, # starts a comment.
std::vector<std::string> SplitWords(std::string_view line, const std::string& origin);

// Checked conversions of option values; they throw UsageError naming the option.
std::int64_t ParseInt(std::string_view option, const std::string& text, std::int64_t low, std::int64_t high);
double ParseSeconds(std::string_view option, const std::string& text);

std::string GlobalHelp();
std::string CommandHelp(const CommandInfo& command);

}  // namespace movu::cli
