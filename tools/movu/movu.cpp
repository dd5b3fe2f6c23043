// movu: a command-line host for the movu_mt5 library. It loads the library at
// run time, as the terminal does, and calls one export per step.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>
#endif

#include "cli.h"
#include "library.h"
#include "result_codes.h"
#include "utf.h"

namespace movu::cli {
namespace {

constexpr std::int32_t kDefaultBufferSize = 4 * 1024 * 1024;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr double kDefaultTimeoutSeconds = 60;

enum ExitCode { kExitOk = 0, kExitUnexpected = 1, kExitUsage = 2, kExitLibrary = 3 };

// A step that could not run as asked although the command line was well formed.
struct StepError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Write(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// A UTF-16 argument kept alive for the call; null when the option was absent.
class Arg16 {
public:
    explicit Arg16(const std::string* utf8) {
        if (utf8) value_ = Utf8To16(*utf8);
    }
    const movu_char16* get() const { return value_ ? value_->c_str() : nullptr; }

private:
    std::optional<Text16> value_;
};

class Arg8 {
public:
    explicit Arg8(const std::string* utf8) {
        if (utf8) value_ = *utf8;
    }
    const char* get() const { return value_ ? value_->c_str() : nullptr; }

private:
    std::optional<std::string> value_;
};

struct Identity16 {
    Arg16 account, platform, broker, server, clientVersion;
};
struct Identity8 {
    Arg8 account, platform, broker, server, clientVersion;
};

struct TextResult {
    std::int32_t code = 0;
    std::string text;
    bool filled = false;  // the text reaches capacity - 1: it may have been cut
};

class Runner {
public:
    Runner(const Exports& api, const Options& globals) : api_(api), globals_(globals) {
        quiet_ = globals.Flag("--quiet");
    }

    void ApplyGlobalSettings() {
        // The order the terminal's programs use: where to send, then where to keep files.
        if (auto v = globals_.Value("--base-urls")) api_.SetBaseUrls(Utf8To16(*v).c_str());
        if (auto v = globals_.Value("--base-url")) api_.SetBaseUrl(Utf8To16(*v).c_str());
        if (auto v = globals_.Value("--data-path")) api_.SetTerminalDataPath(Utf8To16(*v).c_str());
        if (auto v = globals_.Value("--secret")) api_.SetProductSecret(Utf8To16(*v).c_str());
    }

    // True when the step gave its expected result.
    bool Run(const Step& step) {
        step_ = &step;
        const auto& o = step.options;
        expected_ = o.Value("--expect")
                        ? static_cast<std::int32_t>(ParseInt("--expect", *o.Value("--expect"), INT32_MIN, INT32_MAX))
                        : 0;
        const bool narrow = o.Flag("--narrow");
        switch (step.command->id) {
            case Cmd::SetBaseUrl: return Setter(narrow, api_.SetBaseUrl, api_.SetBaseUrlA, "--base-url");
            case Cmd::SetBaseUrls: return Setter(narrow, api_.SetBaseUrls, api_.SetBaseUrlsA, "--base-urls");
            case Cmd::SetSecret: return Setter(narrow, api_.SetProductSecret, api_.SetProductSecretA, "--secret");
            case Cmd::SetDataPath:
                return Setter(narrow, api_.SetTerminalDataPath, api_.SetTerminalDataPathA, "--data-path");
            case Cmd::CalendarDay:
            case Cmd::CalendarMeta: return CalendarRequest(narrow, step.command->id == Cmd::CalendarDay);
            case Cmd::CalendarChanges: return CalendarChanges(narrow);
            case Cmd::Heartbeat: return Heartbeat(narrow);
            case Cmd::VipStatus: return VipStatus(narrow);
            case Cmd::GetAsync:
            case Cmd::StartCalendarDay:
            case Cmd::StartCalendarMeta:
            case Cmd::StartPing:
            case Cmd::StartRegister:
            case Cmd::StartVipStatus: return StartJob(narrow);
            case Cmd::Poll: return Poll();
            case Cmd::Cancel: return Cancel();
            case Cmd::Protect:
            case Cmd::Unprotect: return Protection(step.command->id == Cmd::Protect);
            case Cmd::OpenUrl: return OpenUrl();
            case Cmd::Codes: Write(CodeTable()); return true;
        }
        return false;
    }

private:
    const std::string* Opt(std::string_view name) const { return step_->options.Value(name); }

    // Identity options fall back to the global ones.
    const std::string* IdentityOpt(std::string_view name) const {
        if (auto v = Opt(name)) return v;
        return globals_.Value(name);
    }
    Identity16 Wide() const {
        return {Arg16(IdentityOpt("--account")), Arg16(IdentityOpt("--platform")), Arg16(IdentityOpt("--broker")),
                Arg16(IdentityOpt("--server")), Arg16(IdentityOpt("--client-version"))};
    }
    Identity8 Narrow() const {
        return {Arg8(IdentityOpt("--account")), Arg8(IdentityOpt("--platform")), Arg8(IdentityOpt("--broker")),
                Arg8(IdentityOpt("--server")), Arg8(IdentityOpt("--client-version"))};
    }

    std::int32_t BufferSize() const {
        const std::string* v = Opt("--buffer-size");
        if (!v) v = globals_.Value("--buffer-size");
        return v ? static_cast<std::int32_t>(ParseInt("--buffer-size", *v, 0, INT32_MAX)) : kDefaultBufferSize;
    }
    bool Raw() const { return step_->options.Flag("--raw") || globals_.Flag("--raw"); }
    std::string Export(bool narrow) const {
        return std::string(narrow ? step_->command->narrowExport : step_->command->wideExport);
    }

    template <class Call>
    TextResult WithWideBuffer(Call call) const {
        const std::int32_t capacity = BufferSize();
        std::vector<movu_char16> buffer(static_cast<std::size_t>(capacity) + 1, 0);
        TextResult r;
        r.code = call(capacity > 0 ? buffer.data() : nullptr, capacity);
        std::size_t n = 0;
        while (n < static_cast<std::size_t>(capacity) && buffer[n] != 0) ++n;
        r.text = Utf16To8(buffer.data(), n);
        r.filled = capacity > 0 && n == static_cast<std::size_t>(capacity) - 1 && n > 0;
        return r;
    }

    template <class Call>
    TextResult WithNarrowBuffer(Call call) const {
        const std::int32_t capacity = BufferSize();
        std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1, 0);
        TextResult r;
        r.code = call(capacity > 0 ? buffer.data() : nullptr, capacity);
        std::size_t n = 0;
        while (n < static_cast<std::size_t>(capacity) && buffer[n] != 0) ++n;
        r.text.assign(buffer.data(), n);
        r.filled = capacity > 0 && n == static_cast<std::size_t>(capacity) - 1 && n > 0;
        return r;
    }

    // "Movu_CalendarDay: 0 ok" and whether it was the expected code.
    bool Report(const std::string& label, Family family, std::int32_t code, const std::string& detail = {}) const {
        const bool asExpected = code == expected_;
        if (!quiet_) {
            std::string line = label + ": " + std::to_string(code) + " " + Meaning(family, code);
            if (!detail.empty()) line += "; " + detail;
            if (expected_ != 0 && asExpected) line += " (as expected)";
            Write(line + "\n");
        }
        if (!asExpected)
            std::fprintf(stderr, "movu: %s%s gave %d, expected %d\n", Where().c_str(), label.c_str(), code, expected_);
        return asExpected;
    }

    std::string Where() const { return step_->origin.empty() ? "" : step_->origin + ": "; }

    void PrintText(const TextResult& r, const char* unit) const {
        if (r.text.empty()) {
            if (!quiet_ && !Raw()) Write("(empty text)\n");
        } else if (Raw()) {
            Write(r.text);
            Write("\n");
        } else {
            Write(Pretty(r.text));
        }
        if (r.filled)
            std::fprintf(stderr,
                         "movu: note: the text fills the whole buffer (%d %s); it may have been cut, "
                         "raise --buffer-size\n",
                         BufferSize(), unit);
    }

    static std::string Pretty(const std::string& text) {
        auto first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && (text[first] == '{' || text[first] == '[')) {
            auto json = nlohmann::ordered_json::parse(text, nullptr, false);
            if (!json.is_discarded())
                return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
        }
        return text.back() == '\n' ? text : text + "\n";
    }

    template <class Wide, class Narrow>
    bool Setter(bool narrow, Wide wide, Narrow narrowFn, std::string_view option) {
        const std::string* value = Opt(option);
        if (narrow) {
            Arg8 arg(value);
            narrowFn(arg.get());
        } else {
            Arg16 arg(value);
            wide(arg.get());
        }
        if (!quiet_) Write(Export(narrow) + ": applied (setters return nothing)\n");
        return true;
    }

    bool Finish(bool narrow, Family family, const TextResult& r) {
        bool ok = Report(Export(narrow), family, r.code);
        PrintText(r, narrow ? "bytes" : "UTF-16 units");
        return ok;
    }

    bool CalendarRequest(bool narrow, bool day) {
        Identity16 id = Wide();
        Arg16 date(Opt("--date"));
        auto fnW = day ? api_.CalendarDay : api_.CalendarMeta;
        auto fnA = day ? api_.CalendarDayA : api_.CalendarMetaA;
        TextResult r = narrow ? WithNarrowBuffer([&](char* out, std::int32_t cap) {
            return fnA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(), id.clientVersion.get(),
                       date.get(), out, cap);
        })
                              : WithWideBuffer([&](movu_char16* out, std::int32_t cap) {
                                    return fnW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                               id.clientVersion.get(), date.get(), out, cap);
                                });
        return Finish(narrow, Family::Request, r);
    }

    bool CalendarChanges(bool narrow) {
        Identity16 id = Wide();
        Arg16 date(Opt("--date"));
        const std::int64_t since = Opt("--since") ? ParseInt("--since", *Opt("--since"), INT64_MIN, INT64_MAX) : 0;
        TextResult r = narrow ? WithNarrowBuffer([&](char* out, std::int32_t cap) {
            return api_.CalendarChangesA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                         id.clientVersion.get(), date.get(), since, out, cap);
        })
                              : WithWideBuffer([&](movu_char16* out, std::int32_t cap) {
                                    return api_.CalendarChanges(id.account.get(), id.platform.get(), id.broker.get(),
                                                                id.server.get(), id.clientVersion.get(), date.get(),
                                                                since, out, cap);
                                });
        return Finish(narrow, Family::Request, r);
    }

    bool Heartbeat(bool narrow) {
        Identity16 id = Wide();
        Arg16 payload(Opt("--payload"));
        TextResult r =
            narrow ? WithNarrowBuffer([&](char* out, std::int32_t cap) {
                return api_.HeartbeatA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                       id.clientVersion.get(), payload.get(), out, cap);
            })
                   : WithWideBuffer([&](movu_char16* out, std::int32_t cap) {
                         return api_.Heartbeat(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                               id.clientVersion.get(), payload.get(), out, cap);
                     });
        return Finish(narrow, Family::Request, r);
    }

    bool VipStatus(bool narrow) {
        Identity16 id = Wide();
        TextResult r = narrow ? WithNarrowBuffer([&](char* out, std::int32_t cap) {
            return api_.VipStatusA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                   id.clientVersion.get(), out, cap);
        })
                              : WithWideBuffer([&](movu_char16* out, std::int32_t cap) {
                                    return api_.VipStatus(id.account.get(), id.platform.get(), id.broker.get(),
                                                          id.server.get(), id.clientVersion.get(), out, cap);
                                });
        return Finish(narrow, Family::Request, r);
    }

    std::int32_t CallStart(bool narrow, std::int32_t* jobId) const {
        const Cmd cmd = step_->command->id;
        if (narrow) {
            Identity8 id = Narrow();
            Arg8 date(Opt("--date"));
            switch (cmd) {
                case Cmd::GetAsync: {
                    Arg8 path(Opt("--path")), query(Opt("--query")), method(Opt("--method")), body(Opt("--body"));
                    return api_.GetAsyncSignedA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                                id.clientVersion.get(), path.get(), query.get(), method.get(),
                                                body.get(), jobId);
                }
                case Cmd::StartCalendarDay:
                    return api_.StartCalendarDayA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                                  id.clientVersion.get(), date.get(), jobId);
                case Cmd::StartCalendarMeta:
                    return api_.StartCalendarMetaA(id.account.get(), id.platform.get(), id.broker.get(),
                                                   id.server.get(), id.clientVersion.get(), date.get(), jobId);
                case Cmd::StartPing:
                    return api_.StartPingA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                           id.clientVersion.get(), jobId);
                case Cmd::StartRegister:
                    return api_.StartRegisterA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                               id.clientVersion.get(), jobId);
                default:
                    return api_.StartVipStatusA(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                                id.clientVersion.get(), jobId);
            }
        }
        Identity16 id = Wide();
        Arg16 date(Opt("--date"));
        switch (cmd) {
            case Cmd::GetAsync: {
                Arg16 path(Opt("--path")), query(Opt("--query")), method(Opt("--method")), body(Opt("--body"));
                return api_.GetAsyncSignedW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                            id.clientVersion.get(), path.get(), query.get(), method.get(), body.get(),
                                            jobId);
            }
            case Cmd::StartCalendarDay:
                return api_.StartCalendarDayW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                              id.clientVersion.get(), date.get(), jobId);
            case Cmd::StartCalendarMeta:
                return api_.StartCalendarMetaW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                               id.clientVersion.get(), date.get(), jobId);
            case Cmd::StartPing:
                return api_.StartPingW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                       id.clientVersion.get(), jobId);
            case Cmd::StartRegister:
                return api_.StartRegisterW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                           id.clientVersion.get(), jobId);
            default:
                return api_.StartVipStatusW(id.account.get(), id.platform.get(), id.broker.get(), id.server.get(),
                                            id.clientVersion.get(), jobId);
        }
    }

    bool StartJob(bool narrow) {
        std::int32_t jobId = 0;
        const std::int32_t rc = CallStart(narrow, &jobId);
        const Family family = narrow ? Family::StartNarrow : Family::StartWide;
        const bool wait = step_->options.Flag("--wait");
        if (rc != 0) return Report(Export(narrow), family, rc);
        lastJob_ = jobId;
        if (!wait) return Report(Export(narrow), family, rc, "job " + std::to_string(jobId));
        if (!quiet_) Write(Export(narrow) + ": 0 ok; job " + std::to_string(jobId) + "\n");
        bool ok = WaitAndPrint(jobId, /*cancelOnTimeout=*/true);
        std::int32_t cancelled = api_.Cancel(jobId);
        if (!quiet_)
            Write("Movu_Cancel(job " + std::to_string(jobId) + "): " + std::to_string(cancelled) + " " +
                  Meaning(Family::Cancel, cancelled) + "\n");
        return ok && cancelled == 0;
    }

    std::int32_t JobOption() const {
        const std::string* v = Opt("--job");
        if (!v) throw StepError("'" + std::string(step_->command->name) + "' needs --job ID (or --job last)");
        if (*v == "last") {
            if (!lastJob_) throw StepError("--job last: no job has been started in this run yet");
            return *lastJob_;
        }
        return static_cast<std::int32_t>(ParseInt("--job", *v, INT32_MIN, INT32_MAX));
    }

    static const char* StateName(std::int32_t state) {
        switch (state) {
            case 0: return "running";
            case 1: return "succeeded";
            case -1: return "failed";
            default: return "unknown";
        }
    }

    // Polls until the job has finished (or the time is up) and prints its outcome.
    bool WaitAndPrint(std::int32_t jobId, bool cancelOnTimeout) {
        const double timeout = Opt("--timeout") ? ParseSeconds("--timeout", *Opt("--timeout")) : kDefaultTimeoutSeconds;
        const auto deadline =
            std::chrono::steady_clock::now() +
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(timeout));
        int polls = 0;
        for (;;) {
            std::int32_t state = -1, http = 0;
            TextResult r = WithNarrowBuffer(
                [&](char* out, std::int32_t cap) { return api_.PollA(jobId, &state, &http, out, cap); });
            ++polls;
            if (state != 0 || r.code == -2) return PrintPoll(jobId, state, http, r, polls);
            if (std::chrono::steady_clock::now() >= deadline) {
                std::fprintf(stderr, "movu: %sjob %d still running after %g s%s\n", Where().c_str(), jobId, timeout,
                             cancelOnTimeout ? "; cancelling it" : "");
                return false;
            }
            std::this_thread::sleep_for(kPollInterval);
        }
    }

    bool PrintPoll(std::int32_t jobId, std::int32_t state, std::int32_t http, const TextResult& r, int polls) {
        std::string detail = "state " + std::to_string(state) +
                             (r.code == -2 ? "" : std::string(" ") + StateName(state)) + ", http " +
                             std::to_string(http);
        if (polls > 1) detail += ", after " + std::to_string(polls) + " polls";
        bool ok = Report("Movu_PollA(job " + std::to_string(jobId) + ")", Family::Poll, r.code, detail);
        if (state != 0 && r.code != -2) PrintText(r, "bytes");
        return ok;
    }

    bool Poll() {
        const std::int32_t jobId = JobOption();
        if (step_->options.Flag("--wait")) return WaitAndPrint(jobId, false);
        std::int32_t state = -1, http = 0;
        TextResult r =
            WithNarrowBuffer([&](char* out, std::int32_t cap) { return api_.PollA(jobId, &state, &http, out, cap); });
        return PrintPoll(jobId, state, http, r, 1);
    }

    bool Cancel() {
        const std::int32_t jobId = JobOption();
        return Report("Movu_Cancel(job " + std::to_string(jobId) + ")", Family::Cancel, api_.Cancel(jobId));
    }

    bool Protection(bool protect) {
        Arg16 text(Opt("--text"));
        TextResult r = WithNarrowBuffer([&](char* out, std::int32_t cap) {
            return protect ? api_.ProtectTextW(text.get(), out, cap) : api_.UnprotectTextW(text.get(), out, cap);
        });
        bool ok = Report(Export(false), protect ? Family::Protect : Family::Unprotect, r.code);
        PrintText(r, "bytes");
        return ok;
    }

    bool OpenUrl() {
        Arg16 url(Opt("--url"));
        return Report(Export(false), Family::OpenUrl, api_.OpenUrl(url.get()));
    }

    const Exports& api_;
    const Options& globals_;
    bool quiet_ = false;
    const Step* step_ = nullptr;
    std::int32_t expected_ = 0;
    std::optional<std::int32_t> lastJob_;
};

std::vector<Step> ReadScript(const std::string& file) {
    std::istream* in = &std::cin;
    std::ifstream stream;
    if (file != "-") {
        stream.open(file, std::ios::binary);
        if (!stream) throw UsageError("cannot open script file '" + file + "'");
        in = &stream;
    }
    std::vector<Step> steps;
    std::string line;
    for (int number = 1; std::getline(*in, line); ++number) {
        const std::string origin = file + ":" + std::to_string(number);
        auto words = SplitWords(line, origin);
        if (words.empty()) continue;
        for (auto& step : ParseSteps(words, origin)) {
            if (step.options.Flag("--help")) throw UsageError(origin + ": --help has no place in a script");
            steps.push_back(std::move(step));
        }
    }
    if (steps.empty()) throw UsageError("script '" + file + "' holds no command");
    return steps;
}

int Main(const std::vector<std::string>& args) {
    Invocation inv;
    try {
        inv = Parse(args);
        if (inv.scriptFile) inv.steps = ReadScript(*inv.scriptFile);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "movu: %s\n", e.what());
        if (const CommandInfo* command = FindCommand(e.command)) {
            std::string help = CommandHelp(*command);
            std::fprintf(stderr, "%s\nTry 'movu %s --help'.\n", help.substr(0, help.find('\n')).c_str(),
                         e.command.c_str());
        } else {
            std::fprintf(stderr,
                         "usage: movu [GLOBAL OPTIONS] COMMAND [OPTIONS] [--then COMMAND [OPTIONS]]...\n"
                         "Try 'movu --help'.\n");
        }
        return kExitUsage;
    }
    if (inv.help) {
        Write(inv.helpFor ? CommandHelp(*inv.helpFor) : GlobalHelp());
        return kExitOk;
    }
    if (inv.version) {
        Write("movu " MOVU_VERSION "\n");
        return kExitOk;
    }
    const bool needsLibrary =
        std::any_of(inv.steps.begin(), inv.steps.end(), [](const Step& s) { return s.command->id != Cmd::Codes; });
    Library library;
    if (needsLibrary) {
        std::vector<std::string> candidates;
        if (auto v = inv.globals.Value("--library"))
            candidates.push_back(*v);
        else
            candidates = Library::DefaultPaths();
        std::string errors;
        bool loaded = false;
        for (const auto& path : candidates) {
            if (library.Load(path)) {
                loaded = true;
                break;
            }
            errors += "\n  " + library.error();
        }
        if (!loaded) {
            std::fprintf(stderr,
                         "movu: the movu_mt5 library could not be loaded:%s\nGive its path with --library PATH.\n",
                         candidates.empty() ? "\n  no path to try" : errors.c_str());
            return kExitLibrary;
        }
    }
    Exports none;
    Runner runner(needsLibrary ? library.exports() : none, inv.globals);
    if (needsLibrary) runner.ApplyGlobalSettings();
    for (const auto& step : inv.steps) {
        try {
            bool ok = runner.Run(step);
            std::fflush(stdout);
            if (!ok) return kExitUnexpected;
        } catch (const StepError& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "movu: %s%s\n", step.origin.empty() ? "" : (step.origin + ": ").c_str(), e.what());
            return kExitUsage;
        }
    }
    return kExitOk;
}

}  // namespace
}  // namespace movu::cli

#ifdef _WIN32
int main() {
    // Arguments as UTF-16 from the system, so any text reaches the library intact.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; argv && i < argc; ++i) {
        std::wstring w(argv[i]);
        args.push_back(movu::cli::Utf16To8(reinterpret_cast<const movu_char16*>(w.c_str()), w.size()));
    }
    if (argv) LocalFree(argv);
    SetConsoleOutputCP(CP_UTF8);
    // Texts go out byte for byte: no CR inserted before LF.
    _setmode(_fileno(stdout), _O_BINARY);
    int rc = movu::cli::Main(args);
    std::fflush(stdout);
    return rc;
}
#else
int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int rc = movu::cli::Main(args);
    std::fflush(stdout);
    return rc;
}
#endif
