#!/usr/bin/env python3
"""What the host pays for the agent: each workload with kivhost off and on, in one run.

The agent runs as an operator runs it: a copy of the release tree (build/stage) with its
shipped configuration, `kivhost --seconds 0` in userspace mode, documents to a file. Each round
runs every workload with the agent off and then on (the order alternates between rounds), and
the table gives the median over the rounds of on/off time per operation. With the agent on, its
CPU is read from /proc over each workload (its idle CPU over the same time taken off), and a
storm of instant execs gives its CPU per 1,000 execs, its resident memory after the storm and
whether every creation was reported.

Needs root and eBPF (BTF); without them it says so and exits 0.
Usage: bench/overhead/overhead.py [--stage DIR] [--rounds 3] [--seconds 2] [--storm 1000]
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
TICK = os.sysconf("SC_CLK_TCK")
IDLE_S = 5
WATCHED_PARENT = "/tmp"        # a path filter entry of the shipped file.conf
UNWATCHED_PARENT = "/var/lib"  # same filesystem here, in no list

# name, workload of load.c, directory, target ratio
WORKLOADS = [
    ("getppid system calls", "getppid", None, 1.05),
    ("64-byte pipe write + read", "pipe", None, 1.05),
    ("fork + exec + wait of /bin/true", "exec", None, 1.05),
    ("open + read + close of an existing file", "open", "unwatched", 1.05),
    ("file churn in a watched directory", "churn", "watched", 1.3),
    ("file churn in an unwatched directory", "churn", "unwatched", 1.05),
    ("loopback TCP connect + accept + close", "tcp", None, 1.05),
    ("unconnected UDP sendto to loopback", "udp", None, 1.05),
]


def log(msg):
    print(f"overhead: {msg}", file=sys.stderr, flush=True)


def cpu_s(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK  # utime, stime


def memory_kb(pid):
    """VmRSS and VmHWM, and the resident KB of anonymous memory, BPF maps and files."""
    out = {"anon": 0, "bpf": 0, "file": 0}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            k, _, v = line.partition(":")
            if k in ("VmRSS", "VmHWM"):
                out[k] = int(v.split()[0])
    cur = None
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            if "-" in line[:17] and line[0] in "0123456789abcdef":
                parts = line.split()
                name = parts[5] if len(parts) > 5 else ""
                cur = "bpf" if "bpf" in name else "file" if name.startswith("/") else "anon"
            elif line.startswith("Rss:") and cur:
                out[cur] += int(line.split()[1])
    return out


class Agent:
    def __init__(self, stage, work):
        self.root = os.path.join(work, "install")
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.copytree(stage, self.root, symlinks=True)
        self.docs = os.path.join(work, "documents.ndjson")
        self.err = os.path.join(work, "kivhost.err")
        self.proc = None

    def start(self):
        with open(self.err, "w") as err:
            self.proc = subprocess.Popen(
                [os.path.join(self.root, "bin", "kivhost"), "--seconds", "0", "--output", self.docs],
                stdin=subprocess.DEVNULL, stdout=err, stderr=subprocess.STDOUT)
        for _ in range(600):
            if self.proc.poll() is not None:
                break
            with open(self.err) as f:
                if "sensor started" in f.read():
                    time.sleep(2)  # the first pass over /proc and the marks settle
                    return True
            time.sleep(0.1)
        log(f"kivhost did not start; see {self.err}")
        self.stop()
        return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def creations(self, needle):
        n = 0
        try:
            with open(self.docs, errors="replace") as f:
                for line in f:
                    if '"PROCESS_CREATION"' in line and needle in line:
                        n += 1
        except FileNotFoundError:
            pass
        return n


def run_load(load, workload, seconds, dirs, where):
    argv = [load, workload, str(seconds)]
    if where:
        argv.append(dirs[where])
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    return float(out.strip())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--stage", default=os.path.join(ROOT, "build", "stage"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=2.0, help="per workload and round")
    ap.add_argument("--storm", type=int, default=1000,
                    help="instant execs in the storm (0: no storm)")
    ap.add_argument("--only", help="these workloads of load.c only, comma-separated (churn,udp)")
    ap.add_argument("--json", help="write the results here as well")
    ap.add_argument("--perf", metavar="FILE",
                    help="record the agent with perf (call graphs) during the first storm")
    args = ap.parse_args()

    if os.geteuid() != 0:
        log("skipped: needs root (userspace mode's sources need it)")
        return 0
    if not os.path.exists("/sys/kernel/btf/vmlinux"):
        log("skipped: the kernel has no BTF, so the eBPF sources cannot run")
        return 0
    workloads = WORKLOADS
    if args.only:
        wanted = set(args.only.split(","))
        workloads = [w for w in WORKLOADS if w[1] in wanted]
        if not workloads:
            log(f"--only {args.only}: no such workload (known: "
                f"{','.join(sorted({w[1] for w in WORKLOADS}))})")
            return 2
    stage = os.path.abspath(args.stage)
    if not os.access(os.path.join(stage, "bin", "kivhost"), os.X_OK):
        log(f"no kivhost in {stage}/bin: run `make` first")
        return 1

    work = tempfile.mkdtemp(prefix="kivover.", dir="/var/tmp")
    dirs = {"watched": tempfile.mkdtemp(prefix="kivover.", dir=WATCHED_PARENT),
            "unwatched": tempfile.mkdtemp(prefix="kivover.", dir=UNWATCHED_PARENT)}
    load = os.path.join(work, "load")
    subprocess.run(["cc", "-O2", "-o", load, os.path.join(HERE, "load.c")], check=True)
    storm_dir = dirs["unwatched"]
    shutil.copy("/bin/true", os.path.join(storm_dir, "true"))
    agent = Agent(stage, work)
    rates = {w[0]: {"off": [], "on": []} for w in workloads}
    agent_ms = {w[0]: [] for w in workloads}
    storms = []
    try:
        for r in range(args.rounds):
            for phase in (("off", "on") if r % 2 == 0 else ("on", "off")):
                log(f"round {r + 1}/{args.rounds}, agent {phase}")
                if phase == "on" and not agent.start():
                    return 1
                pid = agent.proc.pid if phase == "on" else None
                idle_rate = 0.0
                if pid:
                    c0, t0 = cpu_s(pid), time.monotonic()
                    time.sleep(IDLE_S)
                    idle_rate = (cpu_s(pid) - c0) / (time.monotonic() - t0)
                    rss_idle = memory_kb(pid)
                for name, workload, where, _ in workloads:
                    c0, t0 = (cpu_s(pid), time.monotonic()) if pid else (0, 0)
                    rates[name][phase].append(run_load(load, workload, args.seconds, dirs, where))
                    if pid:
                        spent = cpu_s(pid) - c0 - idle_rate * (time.monotonic() - t0)
                        agent_ms[name].append(spent * 1000)
                if pid and args.storm > 0:
                    tag = f"storm-r{r}"
                    before = agent.creations(os.path.join(storm_dir, "true"))
                    c0, t0 = cpu_s(pid), time.monotonic()
                    perf = None
                    if args.perf and r == 0:
                        perf = subprocess.Popen(["perf", "record", "-q", "-g", "-o", args.perf,
                                                 "-p", str(pid)])
                        time.sleep(1)
                    subprocess.run([load, "storm", str(args.storm), storm_dir], check=True)
                    deadline = time.monotonic() + 30
                    seen = 0
                    while time.monotonic() < deadline:
                        seen = agent.creations(os.path.join(storm_dir, "true")) - before
                        if seen >= args.storm:
                            break
                        time.sleep(0.5)
                    time.sleep(1)
                    if perf:
                        perf.send_signal(signal.SIGINT)
                        perf.wait()
                    spent = cpu_s(pid) - c0 - idle_rate * (time.monotonic() - t0)
                    storms.append({"round": tag, "cpu_ms_per_1000": spent * 1000 * 1000 / args.storm,
                                   "creations": seen, "idle_cpu_ms_per_s": idle_rate * 1000,
                                   "rss_idle_kb": rss_idle["VmRSS"], **memory_kb(pid)})
                if pid:
                    agent.stop()
    finally:
        agent.stop()
        for d in dirs.values():
            shutil.rmtree(d, ignore_errors=True)

    print(f"{'workload':44} {'off ops/s':>11} {'on ops/s':>11} {'off->on':>8} {'target':>7}"
          f" {'agent ms/s':>10}")
    results = []
    for name, _, _, target in workloads:
        ratios = [off / on for off, on in zip(rates[name]["off"], rates[name]["on"])]
        ratio = statistics.median(ratios)
        ms = statistics.median(agent_ms[name]) / args.seconds
        ok = "ok" if ratio <= target else "OVER"
        print(f"{name:44} {statistics.median(rates[name]['off']):11.0f} "
              f"{statistics.median(rates[name]['on']):11.0f} x{ratio:7.3f} x{target:<5} {ms:10.1f} {ok}")
        results.append({"workload": name, "ratio": ratio, "ratios": ratios, "target": target,
                        "agent_cpu_ms_per_s": ms})
    for s in storms:
        print(f"storm {s['round']}: {s['creations']}/{args.storm} creations, agent "
              f"{s['cpu_ms_per_1000']:.1f} ms CPU per 1000 execs (idle "
              f"{s['idle_cpu_ms_per_s']:.1f} ms/s taken off), VmRSS idle {s['rss_idle_kb'] / 1024:.1f}"
              f" MB, after {s['VmRSS'] / 1024:.1f} MB (anon {s['anon'] / 1024:.1f}, BPF maps "
              f"{s['bpf'] / 1024:.1f}, files {s['file'] / 1024:.1f}), VmHWM {s['VmHWM'] / 1024:.1f} MB")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"workloads": results, "storms": storms}, f, indent=1)
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
