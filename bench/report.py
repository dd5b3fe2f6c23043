#!/usr/bin/env python3
"""Turns one run's benchmark outputs into BENCHMARKS.md (on stdout).

  report.py --results DIR --build DIR --command TEXT

DIR holds core.json and kit.json (Google Benchmark, --benchmark_out) and sync.txt and
jobs.txt, whose "key=value" lines carry the hand-measured figures; an
optional --before file (an earlier run of the sync benchmark, kept in bench/baseline/)
gives the HTTPS/HTTP ratio before a change beside the current one.

  report.py ... [--before FILE]
"""
import argparse
import ctypes
import datetime
import json
import os
import platform
import re
import subprocess
from pathlib import Path


def key_values(path: Path) -> dict:
    figures = {}
    for line in path.read_text().splitlines():
        m = re.fullmatch(r"([a-z_]+(?:\.[a-z_0-9]+)+)=(\S+)", line.strip())
        if m:
            figures[m.group(1)] = float(m.group(2))
    return figures


def core_medians(path: Path) -> dict:
    """Seconds per iteration by benchmark name: the median of the repetitions,
    else the single run."""
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    out, medians = {}, set()
    for b in json.loads(path.read_text())["benchmarks"]:
        if b.get("error_occurred"):
            continue
        name = b["run_name"].removesuffix("/real_time")
        seconds = b["real_time"] * scale[b["time_unit"]]
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            out[name] = seconds
            medians.add(name)
        elif b.get("run_type", "iteration") == "iteration" and name not in medians:
            out[name] = seconds
    return out


def kit_medians(path: Path) -> dict:
    """CPU seconds per iteration by benchmark name (median of the repetitions)
    and the per-event counters: the kit's figures are compared across sizes
    within one run, so CPU time keeps other load on the machine out of them."""
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    out = {}
    for b in json.loads(path.read_text())["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            out[b["run_name"]] = b["cpu_time"] * scale[b["time_unit"]]
            if "per_event_ns" in b:
                out[b["run_name"] + ":per_event"] = b["per_event_ns"]
    return out


def kit_rows(kit: dict) -> list:
    out = []

    def sizes(name):
        return ", ".join(f"{n:,}: {duration(kit[f'{name}/{n}'])}" for n in (1000, 4000, 16000) if f"{name}/{n}" in kit)

    if "MergeFullDay/16000" in kit and "MergeFullDayQuadratic/16000" in kit:
        out.append(("MQL5 kit: merge of a full day, 16,000 events", f"MovuMergeEvents: {duration(kit['MergeFullDay/16000'])}",
                    f"the former merge (id search per event, insertion sort): {duration(kit['MergeFullDayQuadratic/16000'])}",
                    ratio(kit["MergeFullDay/16000"], kit["MergeFullDayQuadratic/16000"]),
                    f"goal: under 50 ms; compiled through the shim, CPU time, median of 5; former merge {sizes('MergeFullDayQuadratic')}"))
    steps = (("Parse", "parse a day answer (MovuParseEvents)", ""),
             ("MergeFullDay", "merge of a full day", ""),
             ("MergeChanges", "merge of 100 changes into a held day", ""),
             ("LookupHeld", "replay lookup, the same moment's answer", "per event"),
             ("LookupAcross", "replay lookup, each on the other side of an observation", "per event"))
    for name, label, per in steps:
        big, small = kit.get(f"{name}/16000"), kit.get(f"{name}/1000")
        if big is None or small is None:
            continue
        note = f"goal: growth at most 20; {sizes(name)}; CPU time, median of 5"
        if per:
            note += (f"; per event at 16,000: {kit[f'{name}/16000:per_event'] * 1e6:.3f} µs (goal: under 1 µs)")
        out.append((f"MQL5 kit growth: {label}", f"16,000 events: {duration(big)}", f"1,000 events: {duration(small)}",
                    ratio(big, small), note))
    return out


def duration(seconds: float) -> str:
    for unit, size in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= size:
            value = seconds / size
            break
    else:
        unit, value = "ns", seconds / 1e-9
    return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"


def ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}" if b > 0 else "n/a"


def machine(build: Path) -> list:
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem_kib = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            mem_kib = int(line.split()[1])
    os_name = "unknown"
    if Path("/etc/os-release").exists():
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                os_name = line.split("=", 1)[1].strip('"')
    compiler = "unknown"
    cache = build / "CMakeCache.txt"
    if cache.exists():
        m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache.read_text(), re.M)
        if m:
            compiler = subprocess.run([m.group(1), "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    try:
        lib = ctypes.CDLL("libcurl.so.4")
        lib.curl_version.restype = ctypes.c_char_p
        curl = " ".join(lib.curl_version().decode().split()[:2])  # libcurl and its TLS library
    except OSError:
        curl = "unknown"
    return [
        f"- CPU: {cpu}, {os.cpu_count()} cores",
        f"- Memory: {mem_kib / 1024 / 1024:.1f} GiB",
        f"- Kernel: {platform.system()} {platform.release()}",
        f"- OS: {os_name}",
        f"- Compiler: {compiler} (Release, -O3)",
        f"- libcurl: {curl}",
    ]


def rows(core: dict, sync: dict, jobs: dict, service: dict, before: dict) -> list:
    out = []
    for scheme, label in (("http", "HTTP"), ("https", "HTTPS")):
        k = f"sync.{scheme}."
        if k + "ratio" not in sync:
            continue
        note = (f"mean of {sync[k + 'calls']:.0f} calls each, alternated (medians {duration(sync[k + 'library_median_us'] * 1e-6)}"
                f" / {duration(sync[k + 'bare_median_us'] * 1e-6)}); warm phase: {sync[k + 'token_requests']:.0f} token requests, "
                f"{sync[k + 'cache_reads']:.0f} cache file reads")
        if scheme == "https":
            note += "; a new connection per call, the TLS 1.2 session resumed, on both sides"
        out.append((f"Synchronous call, {label}", f"Movu_CalendarDayA, warm token: {duration(sync[k + 'library_us'] * 1e-6)}",
                    f"bare libcurl GET, same headers: {duration(sync[k + 'bare_us'] * 1e-6)}",
                    ratio(sync[k + "library_us"], sync[k + "bare_us"]), note))
    if "sync.https_over_http" in sync:
        note = "the same call and warm token, one run; goal: at most 2"
        if "sync.https_over_http" in before:
            note += f"; before TLS sessions were resumed: {before['sync.https_over_http']:.2f}"
        note += (f" (medians {duration(sync['sync.https.library_median_us'] * 1e-6)} / "
                 f"{duration(sync['sync.http.library_median_us'] * 1e-6)})")
        out.append(("Synchronous call, HTTPS vs HTTP", f"over HTTPS: {duration(sync['sync.https.library_us'] * 1e-6)}",
                    f"over HTTP: {duration(sync['sync.http.library_us'] * 1e-6)}", f"{sync['sync.https_over_http']:.2f}", note))
    for scheme, label in (("http", "HTTP"), ("https", "HTTPS")):
        k = f"memory.{scheme}."
        if k + "kib_per_job" in jobs:
            out.append((f"Memory per job in flight, {label}", f"{jobs[k + 'kib_per_job']:.1f} KiB resident per job",
                        f"bare libcurl GET on a thread of the default stack: {jobs[k + 'bare_kib']:.1f} KiB",
                        f"{jobs[k + 'ratio']:.2f}",
                        "1,000 jobs held 4 s by the service, worker stack 256 KiB, goal at most 64 KiB; after all are "
                        f"cancelled and their threads gone: {jobs[k + 'after_cancel_pct']:+.1f}% of start (after malloc_trim, "
                        "glibc trim threshold fixed at 128 KiB, from the state a first crowd left)"))
    if "AcquireToken/memory" in core and "BareLockAndCopy" in core:
        lib, bare = core["AcquireToken/memory"], core["BareLockAndCopy"]
        note = "median of the repetitions; 64-character token copied into a reused string on both sides"
        if "ClockRead" in core:
            note += (f"; the library's path also reads the wall clock for the expiry check "
                     f"({duration(core['ClockRead'])} alone) and compares the account")
        out.append(("Token from memory", f"AcquireToken answered from memory: {duration(lib)}",
                    f"std::mutex lock/unlock + copy of the token: {duration(bare)}", ratio(lib, bare), note))
    if "jobs.ratio" in jobs:
        n = jobs["jobs.count"]
        note = (f"the service answers each after {jobs['jobs.delay_ms']:.0f} ms; fewest succeeded {jobs['jobs.fewest_succeeded']:.0f}/{n:.0f}")
        if "floor.all_ms" in jobs:
            note += (f"; floor: {n:,.0f} bare threads sleeping {jobs['jobs.delay_ms']:.0f} ms take "
                     f"{duration(jobs['floor.all_ms'] * 1e-3)} (ratio {jobs['floor.ratio']:.2f} to one sleep)")
        out.append(("Job fan-out", f"{n:,.0f} jobs at once: {duration(jobs['jobs.all_ms'] * 1e-3)}",
                    f"one job: {duration(jobs['jobs.one_ms'] * 1e-3)}", ratio(jobs["jobs.all_ms"], jobs["jobs.one_ms"]), note))
        if "jobs.bare_all_ms" in jobs:
            out.append(("Job fan-out, bare", f"{n:,.0f} jobs at once: {duration(jobs['jobs.all_ms'] * 1e-3)}",
                        f"{n:,.0f} bare libcurl GETs on as many threads: {duration(jobs['jobs.bare_all_ms'] * 1e-3)}",
                        ratio(jobs["jobs.all_ms"], jobs["jobs.bare_all_ms"]),
                        f"same slow path, medians of 3 alternated runs; fewest bare succeeded {jobs['jobs.bare_fewest_succeeded']:.0f}/{n:.0f}"))
    if "service.native_rps" in service:
        baseline, r = "(no baseline in this run)", "–"
        if "service.baseline_rps" in service:
            baseline, r = f"the baseline server: {service['service.baseline_rps']:,.0f} requests/s", f"{service['service.ratio']:.2f}"
        out.append(("Service throughput", f"movu-devserver: {service['service.native_rps']:,.0f} requests/s", baseline, r,
                    "here the ratio is movu-devserver / baseline (higher: faster); signed day.php for 2024-03-05, "
                    "server on core 0 (taskset), 8 client threads on core 1, a new connection per request, "
                    "median of 3 alternated runs"))
    if "poll.ratio" in jobs:
        out.append(("Poll vs memcpy", f"Movu_PollA of a finished job, 64 KiB text: {duration(jobs['poll.poll_us'] * 1e-6)}",
                    f"memcpy of 64 KiB: {duration(jobs['poll.memcpy_us'] * 1e-6)}", ratio(jobs["poll.poll_us"], jobs["poll.memcpy_us"]),
                    "median of 5 rounds of 20,000 calls each, alternated"))
    for name, label, note in (
        ("50MiB", "50 MiB answer", "HTTP; a fresh body string per exchange on both sides; the bytes come from movu-devserver"),
        ("http", "One exchange (core), HTTP", "HttpExchange from the static core; small JSON answer"),
        ("https", "One exchange (core), HTTPS", "HttpExchange from the static core; new connection each time, TLS 1.2 session resumed, on both sides"),
    ):
        lib, bare = core.get(f"HttpExchange/{name}"), core.get(f"BareCurlGet/{name}")
        if lib is not None and bare is not None:
            out.append((label, f"HttpExchange: {duration(lib)}", f"bare libcurl GET: {duration(bare)}", ratio(lib, bare),
                        note + "; median of the repetitions"))
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", type=Path, required=True)
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--command", required=True)
    parser.add_argument("--before", type=Path)
    args = parser.parse_args()

    core_file = args.results / "core.json"
    core = core_medians(core_file) if core_file.exists() else {}
    sync = key_values(args.results / "sync.txt") if (args.results / "sync.txt").exists() else {}
    jobs = key_values(args.results / "jobs.txt") if (args.results / "jobs.txt").exists() else {}
    service = key_values(args.results / "service.txt") if (args.results / "service.txt").exists() else {}
    before = key_values(args.before) if args.before and args.before.exists() else {}
    kit = kit_medians(args.results / "kit.json") if (args.results / "kit.json").exists() else {}

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    lines = [
        "# Benchmarks",
        "",
        "Each figure is measured side by side with its baseline in the same run, against",
        "the bundled test service on 127.0.0.1. Ratio = library / baseline (below 1: the",
        "library was faster). Generated by the command below; do not edit by hand.",
        "",
        f"- Date: {now}",
        *machine(args.build),
        f"- Command: `{args.command}`",
        "",
        "| figure | library | baseline | ratio | notes |",
        "|---|---|---|---|---|",
    ]
    for row in rows(core, sync, jobs, service, before) + kit_rows(kit):
        lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
    lines += [
        "",
        "Both sides of every exchange use a fresh libcurl handle, HTTP/1.1, TLS 1.0 to 1.2,",
        "the test CA and a process-wide TLS session cache, as the library does.",
        "The raw outputs of this run are in",
        f"`{args.results}/`.",
    ]
    if core_file.exists() and json.loads(core_file.read_text())["context"].get("library_build_type") == "debug":
        lines += ["", "Google Benchmark calls its own library a debug build (Debian builds it without",
                  "NDEBUG); the timed loops themselves are compiled into the Release benchmark."]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
