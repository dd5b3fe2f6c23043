#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace movu::cli {
namespace {

struct OptionInfo {
    std::string_view name;
    std::string_view value;  // empty for a flag
    std::string_view help;
};

const std::vector<OptionInfo>& OptionCatalogue() {
    static const std::vector<OptionInfo> options = {
        {"--account", "TEXT", "account identity (X-Account); absent: a null pointer"},
        {"--platform", "TEXT", "platform identity (X-Platform); absent: null, header left out"},
        {"--broker", "TEXT", "broker identity (X-Broker); absent: null"},
        {"--server", "TEXT", "trade server identity (X-Server); absent: null"},
        {"--client-version", "TEXT", "client version identity (X-Client-Version); absent: null"},
        {"--date", "TEXT", "calendar day, e.g. 2024-03-05 (sent as given, trimmed)"},
        {"--since", "N", "unix time; changes after it (sent when greater than 0; default 0)"},
        {"--payload", "JSON", "heartbeat body (absent or blank: {})"},
        {"--path", "PATH", "service path, e.g. /v1/client/ping.php"},
        {"--query", "TEXT", "query text, e.g. date=2024-03-05"},
        {"--method", "VERB", "HTTP method, e.g. GET or POST"},
        {"--body", "TEXT", "request body"},
        {"--base-url", "URL", "base URL, e.g. http://127.0.0.1:8787"},
        {"--base-urls", "LIST", "base URLs separated by ; , blanks or line breaks"},
        {"--secret", "TEXT", "product secret"},
        {"--data-path", "DIR", "terminal data folder; the token cache goes under DIR/MQL4/Files/qz_movu/"},
        {"--text", "TEXT", "text to protect or protected text to read"},
        {"--url", "URL", "what to open with the desktop's default handler"},
        {"--job", "ID", "job id, or 'last' for the job last started in this run"},
        {"--wait", "", "poll every 50 ms until the job has finished (starts: then cancel it)"},
        {"--timeout", "SECONDS", "give up waiting after this long (default 60)"},
        {"--narrow", "", "use the A export (8-bit texts or buffer) instead of the default one; alias -A"},
        {"--wide", "", "use the default (UTF-16) export; the default"},
        {"--buffer-size", "N", "result buffer capacity in code units or bytes (default 4194304; 0: no buffer)"},
        {"--raw", "", "print the result text exactly as received, not pretty-printed"},
        {"--expect", "CODE", "the result code this step should give (default 0)"},
        {"--help", "", "show help"},
    };
    return options;
}

const OptionInfo* FindOption(std::string_view name) {
    for (const auto& o : OptionCatalogue())
        if (o.name == name) return &o;
    return nullptr;
}

const std::vector<std::string_view> kIdentity = {"--account", "--platform", "--broker", "--server", "--client-version"};
const std::vector<std::string_view> kGlobalOnly = {"--library", "--quiet", "--version"};
const std::vector<std::string_view> kGlobalWithSteps = {"--raw", "--buffer-size"};
const std::vector<std::string_view> kGlobalSettings = {"--base-url", "--base-urls", "--data-path", "--secret"};

bool Contains(const std::vector<std::string_view>& list, std::string_view name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

// The options a command accepts, with "identity" expanded.
std::vector<std::string_view> Accepted(const CommandInfo& c) {
    std::vector<std::string_view> out;
    for (auto o : c.options) {
        if (o == "identity")
            out.insert(out.end(), kIdentity.begin(), kIdentity.end());
        else
            out.push_back(o);
    }
    if (!c.narrowExport.empty()) {
        out.push_back("--narrow");
        out.push_back("--wide");
    }
    // Setters return nothing, so there is no result to expect.
    const bool hasResult = c.id != Cmd::SetBaseUrl && c.id != Cmd::SetBaseUrls && c.id != Cmd::SetSecret &&
                           c.id != Cmd::SetDataPath && c.id != Cmd::Codes;
    if (hasResult) out.push_back("--expect");
    out.push_back("--help");
    return out;
}

std::string Canonical(std::string_view word) {
    if (word == "-A") return "--narrow";
    if (word == "-h") return "--help";
    if (word == "-q") return "--quiet";
    return std::string(word);
}

bool IsFlag(std::string_view name) {
    if (name == "--quiet" || name == "--version") return true;
    if (name == "--library") return false;
    const OptionInfo* o = FindOption(name);
    return o && o->value.empty();
}

// Reads one option at words[i] into `into`; advances i. `accepted` limits the names.
void ReadOption(const std::vector<std::string>& words, std::size_t& i, Options& into,
                const std::vector<std::string_view>& accepted, const std::string& command, const std::string& where) {
    std::string word = words[i];
    std::string name = word;
    std::optional<std::string> inlineValue;
    if (auto eq = word.find('='); word.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = word.substr(0, eq);
        inlineValue = word.substr(eq + 1);
    }
    name = Canonical(name);
    const std::string context = command.empty() ? "" : " for '" + command + "'";
    if (!Contains(accepted, name)) {
        if (!command.empty() && (Contains(kGlobalOnly, name) || Contains(kGlobalSettings, name)))
            throw UsageError(where + "option " + name + " is a global option: give it before the first command" +
                                 (Contains(kGlobalSettings, name) ? " (or use a set-... step)" : ""),
                             command);
        if (FindOption(name) || Contains(kGlobalOnly, name))
            throw UsageError(where + "option " + name + " does not apply" + context, command);
        throw UsageError(where + "unknown option " + name + context, command);
    }
    if (into.flags.count(name) || into.values.count(name))
        throw UsageError(where + "option " + name + " given twice" + context, command);
    if (IsFlag(name)) {
        if (inlineValue) throw UsageError(where + "option " + name + " takes no value", command);
        into.flags.insert(name);
        ++i;
        return;
    }
    if (!inlineValue) {
        if (i + 1 >= words.size() || words[i + 1] == "--then")
            throw UsageError(where + "option " + name + " needs a value" + context, command);
        inlineValue = words[i + 1];
        ++i;
    }
    into.values.emplace(name, *inlineValue);
    ++i;
}

// Value checks made while parsing, so a bad step stops the run before anything is called.
void CheckValues(const Options& o, const std::string& command) {
    try {
        if (auto v = o.Value("--buffer-size")) ParseInt("--buffer-size", *v, 0, 256 * 1024 * 1024);
        if (auto v = o.Value("--since")) ParseInt("--since", *v, INT64_MIN, INT64_MAX);
        if (auto v = o.Value("--expect")) ParseInt("--expect", *v, INT32_MIN, INT32_MAX);
        if (auto v = o.Value("--timeout")) ParseSeconds("--timeout", *v);
        if (auto v = o.Value("--job"); v && *v != "last") ParseInt("--job", *v, INT32_MIN, INT32_MAX);
    } catch (UsageError& e) {
        e.command = command;
        throw;
    }
    if (o.Value("--base-url") && o.Value("--base-urls") && command.empty())
        throw UsageError("give --base-url or --base-urls, not both");
    if (o.Flag("--narrow") && o.Flag("--wide")) throw UsageError("--narrow and --wide exclude each other", command);
}

}  // namespace

const std::vector<CommandInfo>& Commands() {
    static const std::vector<CommandInfo> commands = {
        {Cmd::SetBaseUrl,
         "set-base-url",
         "Movu_SetBaseUrl",
         "Movu_SetBaseUrlA",
         "replace the base URL list by one URL",
         {"--base-url"},
         "movu set-base-url --base-url http://127.0.0.1:8787 --then calendar-day --account 1"},
        {Cmd::SetBaseUrls,
         "set-base-urls",
         "Movu_SetBaseUrls",
         "Movu_SetBaseUrlsA",
         "replace the base URL list (tried in order by token requests and jobs)",
         {"--base-urls"},
         "movu set-base-urls --base-urls 'http://127.0.0.1:9;http://127.0.0.1:8787'"},
        {Cmd::SetSecret,
         "set-secret",
         "Movu_SetProductSecret",
         "Movu_SetProductSecretA",
         "store the product secret",
         {"--secret"},
         "movu set-secret --secret s3cret"},
        {Cmd::SetDataPath,
         "set-data-path",
         "Movu_SetTerminalDataPath",
         "Movu_SetTerminalDataPathA",
         "set the terminal data folder (token cache under MQL4/Files/qz_movu/)",
         {"--data-path"},
         "movu set-data-path --data-path /tmp/terminal"},
        {Cmd::CalendarDay,
         "calendar-day",
         "Movu_CalendarDay",
         "Movu_CalendarDayA",
         "the calendar of one day",
         {"identity", "--date", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 calendar-day --account 1 --date 2024-03-05"},
        {Cmd::CalendarMeta,
         "calendar-meta",
         "Movu_CalendarMeta",
         "Movu_CalendarMetaA",
         "calendar metadata: currencies, importance levels, sources",
         {"identity", "--date", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 calendar-meta --account 1"},
        {Cmd::CalendarChanges,
         "calendar-changes",
         "Movu_CalendarChanges",
         "Movu_CalendarChangesA",
         "calendar changes of a day since a unix time",
         {"identity", "--date", "--since", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 calendar-changes --account 1 --date 2024-03-05 --since 1709640000"},
        {Cmd::Heartbeat,
         "heartbeat",
         "Movu_Heartbeat",
         "Movu_HeartbeatA",
         "report a heartbeat (POST of the payload)",
         {"identity", "--payload", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 heartbeat --account 1 --payload '{\"equity\":1000}'"},
        {Cmd::VipStatus,
         "vip-status",
         "Movu_VipStatus",
         "Movu_VipStatusA",
         "the account's VIP status",
         {"identity", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 vip-status --account 1"},
        {Cmd::GetAsync,
         "get-async",
         "Movu_GetAsyncSignedW",
         "Movu_GetAsyncSignedA",
         "start any signed request as a background job",
         {"identity", "--path", "--query", "--method", "--body", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 get-async --account 1 --path /v1/client/ping.php --method GET --wait"},
        {Cmd::StartCalendarDay,
         "start-calendar-day",
         "Movu_StartCalendarDayW",
         "Movu_StartCalendarDayA",
         "start the calendar of a day as a job",
         {"identity", "--date", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 start-calendar-day --account 1 --date 2024-03-05 --wait"},
        {Cmd::StartCalendarMeta,
         "start-calendar-meta",
         "Movu_StartCalendarMetaW",
         "Movu_StartCalendarMetaA",
         "start the calendar metadata as a job",
         {"identity", "--date", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 start-calendar-meta --account 1 --wait"},
        {Cmd::StartPing,
         "start-ping",
         "Movu_StartPingW",
         "Movu_StartPingA",
         "start a ping as a job",
         {"identity", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 start-ping --account 1 --wait"},
        {Cmd::StartRegister,
         "start-register",
         "Movu_StartRegisterW",
         "Movu_StartRegisterA",
         "start a client registration as a job",
         {"identity", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 start-register --account 1 --wait"},
        {Cmd::StartVipStatus,
         "start-vip-status",
         "Movu_StartVipStatusW",
         "Movu_StartVipStatusA",
         "start the VIP status as a job",
         {"identity", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 start-vip-status --account 1 --then poll --job last --wait"},
        {Cmd::Poll,
         "poll",
         "Movu_PollA",
         "",
         "a job's state, HTTP status and (once finished) text",
         {"--job", "--wait", "--timeout", "--buffer-size", "--raw"},
         "movu --base-url http://127.0.0.1:8787 start-ping --account 1 --then poll --job last --wait --then cancel "
         "--job last"},
        {Cmd::Cancel,
         "cancel",
         "Movu_Cancel",
         "",
         "withdraw a job and release it",
         {"--job"},
         "movu ... start-ping --account 1 --then cancel --job last"},
        {Cmd::Protect,
         "protect",
         "Movu_ProtectTextW",
         "",
         "protect a text for the current user",
         {"--text", "--buffer-size", "--raw"},
         "movu protect --text 'my password'"},
        {Cmd::Unprotect,
         "unprotect",
         "Movu_UnprotectTextW",
         "",
         "read a protected text back",
         {"--text", "--buffer-size", "--raw"},
         "movu unprotect --text \"$(movu -q protect --text hello)\""},
        {Cmd::OpenUrl,
         "open-url",
         "Movu_OpenUrl",
         "",
         "open a URL with the desktop's default handler",
         {"--url"},
         "movu open-url --url http://127.0.0.1:8787/"},
        {Cmd::Codes, "codes", "", "", "print the table of result codes", {}, "movu codes"},
    };
    return commands;
}

const CommandInfo* FindCommand(std::string_view name) {
    for (const auto& c : Commands())
        if (c.name == name) return &c;
    return nullptr;
}

std::int64_t ParseInt(std::string_view option, const std::string& text, std::int64_t low, std::int64_t high) {
    const std::string what = "option " + std::string(option);
    std::size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (text.size() == start || text.find_first_not_of("0123456789", start) != std::string::npos)
        throw UsageError(what + " needs a whole number, not '" + text + "'");
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno == ERANGE || value < low || value > high)
        throw UsageError(what + " must lie between " + std::to_string(low) + " and " + std::to_string(high) + ", not " +
                         text);
    return value;
}

double ParseSeconds(std::string_view option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value <= 0)
        throw UsageError("option " + std::string(option) + " needs a positive number of seconds, not '" + text + "'");
    return value;
}

std::vector<Step> ParseSteps(const std::vector<std::string>& words, const std::string& origin) {
    std::vector<Step> steps;
    const std::string where = origin.empty() ? "" : origin + ": ";
    std::size_t i = 0;
    while (i < words.size()) {
        if (words[i] == "--then") throw UsageError(where + "--then needs a command before and after it");
        const CommandInfo* command = FindCommand(words[i]);
        if (!command) {
            if (words[i].rfind("-", 0) == 0)
                throw UsageError(where + "option " + words[i] + " comes before any command");
            throw UsageError(where + "unknown command '" + words[i] + "'");
        }
        Step step;
        step.command = command;
        step.origin = origin;
        const auto accepted = Accepted(*command);
        const std::string name(command->name);
        ++i;
        while (i < words.size() && words[i] != "--then") {
            if (words[i].rfind("-", 0) != 0 || words[i] == "-")
                throw UsageError(where + "unexpected word '" + words[i] + "' for '" + name +
                                     "'; options start with --, steps are joined with --then",
                                 name);
            ReadOption(words, i, step.options, accepted, name, where);
        }
        CheckValues(step.options, name);
        steps.push_back(std::move(step));
        if (i < words.size()) {  // at --then
            ++i;
            if (i == words.size()) throw UsageError(where + "--then needs a command after it");
        }
    }
    return steps;
}

std::vector<std::string> SplitWords(std::string_view line, const std::string& origin) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                word += c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\'))
                word += line[++i];
            else
                word += c;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words.push_back(std::move(word)), word.clear(), inWord = false;
        } else if (c == '#' && !inWord) {
            break;
        } else {
            inWord = true;
            if (c == '\'' || c == '"')
                quote = c;
            else if (c == '\\' && i + 1 < line.size())
                word += line[++i];
            else
                word += c;
        }
    }
    if (quote) throw UsageError(origin + ": unterminated " + std::string(1, quote) + " quote");
    if (inWord) words.push_back(std::move(word));
    return words;
}

Invocation Parse(const std::vector<std::string>& args) {
    Invocation inv;
    std::vector<std::string_view> globalAccepted = kGlobalOnly;
    for (const auto* list : {&kGlobalWithSteps, &kGlobalSettings, &kIdentity})
        globalAccepted.insert(globalAccepted.end(), list->begin(), list->end());
    globalAccepted.push_back("--help");

    std::size_t i = 0;
    while (i < args.size() && args[i].rfind("-", 0) == 0 && args[i] != "-" && args[i] != "--then")
        ReadOption(args, i, inv.globals, globalAccepted, "", "");
    CheckValues(inv.globals, "");

    if (inv.globals.Flag("--help")) {
        inv.help = true;
        return inv;
    }
    if (inv.globals.Flag("--version")) {
        if (i != args.size()) throw UsageError("nothing may follow --version");
        inv.version = true;
        return inv;
    }
    if (i == args.size()) throw UsageError("no command given");

    if (args[i] == "help") {
        inv.help = true;
        if (i + 1 < args.size()) {
            inv.helpFor = FindCommand(args[i + 1]);
            if (!inv.helpFor) throw UsageError("unknown command '" + args[i + 1] + "'");
        }
        return inv;
    }
    if (args[i] == "script") {
        if (i + 1 >= args.size()) throw UsageError("script needs a FILE ('-' reads the standard input)");
        if (i + 2 < args.size()) throw UsageError("nothing may follow 'script FILE'");
        inv.scriptFile = args[i + 1];
        return inv;
    }
    std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    inv.steps = ParseSteps(rest, "");
    for (const auto& step : inv.steps) {
        if (step.options.Flag("--help")) {
            inv.help = true;
            inv.helpFor = step.command;
            return inv;
        }
    }
    return inv;
}

std::string GlobalHelp() {
    std::ostringstream out;
    out << "movu - calls the exports of the movu_mt5 library from the command line\n"
           "\n"
           "usage: movu [GLOBAL OPTIONS] COMMAND [OPTIONS] [--then COMMAND [OPTIONS]]...\n"
           "       movu [GLOBAL OPTIONS] script FILE      (one step per line, '-' for stdin)\n"
           "       movu help [COMMAND] | movu COMMAND --help | movu codes\n"
           "\n"
           "The library keeps its settings and jobs in this process only, so one run may hold\n"
           "several steps: settings given as global options apply first, then each step runs in\n"
           "order. The run stops at the first step whose result is not the expected one.\n"
           "\n"
           "Global options:\n"
           "  --library PATH        the library to load (default: beside this program, then in\n"
           "                        MQL5/Libraries below its folder as the release zip puts it)\n"
           "  --base-url URL        call Movu_SetBaseUrl first\n"
           "  --base-urls LIST      call Movu_SetBaseUrls first\n"
           "  --data-path DIR       call Movu_SetTerminalDataPath first\n"
           "  --secret TEXT         call Movu_SetProductSecret first\n"
           "  --account ... --client-version   identity used by every step that does not give its own\n"
           "  --buffer-size N       default result buffer capacity (4194304)\n"
           "  --raw                 print result texts exactly as received (default: JSON pretty-printed)\n"
           "  -q, --quiet           print only the result texts, no status lines\n"
           "  --version             print the version of movu and exit\n"
           "  -h, --help            this help\n"
           "\n"
           "Commands, each with the export it calls:\n";
    const std::string indent(23, ' ');
    for (const auto& c : Commands()) {
        out << "  " << c.name << std::string(c.name.size() < 21 ? 21 - c.name.size() : 1, ' ') << c.summary << "\n";
        if (c.wideExport.empty()) continue;
        out << indent << c.wideExport;
        if (!c.narrowExport.empty()) out << ", with --narrow (-A): " << c.narrowExport;
        out << "\n";
    }
    out << "\n"
           "Each step prints 'EXPORT: CODE meaning' and the result text. Exit status: 0 when every\n"
           "step gave its expected result, 1 when one did not, 2 for a bad command line, 3 when the\n"
           "library could not be loaded.\n"
           "\n"
           "Example:\n"
           "  movu --base-url http://127.0.0.1:8787 --data-path /tmp/terminal \\\n"
           "       calendar-day --account 1 --date 2024-03-05 --then vip-status --account 1\n";
    return out.str();
}

std::string CommandHelp(const CommandInfo& c) {
    std::ostringstream out;
    out << "usage: movu [GLOBAL OPTIONS] " << c.name;
    const auto accepted = Accepted(c);
    for (auto name : accepted) {
        if (name == "--help" || name == "--wide") continue;
        const OptionInfo* o = FindOption(name);
        out << " [" << name;
        if (o && !o->value.empty()) out << " " << o->value;
        out << "]";
    }
    std::string summary(c.summary);
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    out << "\n\n" << summary << ".\n";
    if (!c.wideExport.empty()) {
        out << "Calls " << c.wideExport;
        if (!c.narrowExport.empty()) out << " (with --narrow: " << c.narrowExport << ")";
        out << ".\n";
    }
    out << "\nOptions:\n";
    for (auto name : accepted) {
        const OptionInfo* o = FindOption(name);
        if (!o) continue;
        std::string left = std::string(name) + (o->value.empty() ? "" : " " + std::string(o->value));
        out << "  " << left << std::string(left.size() < 22 ? 22 - left.size() : 1, ' ') << o->help << "\n";
    }
    out << "\nExample:\n  " << c.example << "\n";
    return out.str();
}

}  // namespace movu::cli
