"""Command-line peers, timed as whole processes (start-up and index load included).

Each tool lists commands per workload; the run writes to /dev/null when timed
and to a file once more so that its residues can be checked.
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import threading
import time

TIMEOUT = 1800


def _version(argv: list[str]) -> str:
    try:
        out = subprocess.run(argv, capture_output=True, text=True, errors="replace", timeout=60)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return str(exc)
    return (out.stdout or out.stderr).splitlines()[0].strip() if (out.stdout or out.stderr) else ""


def fasta_records(path: str) -> list[str]:
    """Residues of each record of a FASTA file, lines joined."""
    records, current = [], None
    with open(path) as f:
        for line in f:
            if line.startswith(">"):
                if current is not None:
                    records.append("".join(current))
                current = []
            else:
                current.append(line.rstrip("\r\n"))
    if current is not None:
        records.append("".join(current))
    return records


def samtools_regions_file(bed_path: str) -> str:
    """The BED intervals as samtools regions (name:start-end, 1-based inclusive)."""
    path = bed_path[:-4] + ".samtools.txt"
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(bed_path):
        with open(bed_path) as src, open(path, "w") as dst:
            for line in src:
                c, s, e = line.split("\t")[:3]
                dst.write(f"{c}:{int(s) + 1}-{int(e)}\n")
    return path


class CliTool:
    name = ""
    program = ""
    env: dict[str, str] | None = None   # environment the commands run in

    def __init__(self, genome: str):
        self.genome = genome

    @classmethod
    def availability(cls) -> tuple[bool, str]:
        if shutil.which(cls.program) is None:
            return False, f"{cls.program} not found on PATH"
        return True, cls.version()

    @classmethod
    def version(cls) -> str:
        return _version([cls.program, "--version"])

    def commands(self, workload: str, inputs, output: str) -> dict[str, list[str]]:
        """{variant label: argv} writing its residues to output."""
        return {}

    def parse(self, workload: str, output: str) -> list[str]:
        return fasta_records(output)

    def index_files(self) -> list[str]:
        return [self.genome + ".fai"]


class Samtools(CliTool):
    name = "samtools"
    program = "samtools"

    def commands(self, workload, inputs, output):
        if workload == "index":
            return {"samtools faidx": ["samtools", "faidx", self.genome]}
        if workload in ("batch", "same_chr"):
            regions = samtools_regions_file(inputs)
            return {"samtools faidx -r": ["samtools", "faidx", self.genome, "-r", regions, "-o", output]}
        if workload == "whole":
            return {"samtools faidx": ["samtools", "faidx", self.genome, inputs, "-o", output]}
        return {}


class Bedtools(CliTool):
    name = "bedtools"
    program = "bedtools"

    def commands(self, workload, inputs, output):
        if workload in ("batch", "same_chr"):
            return {"bedtools getfasta": ["bedtools", "getfasta", "-fi", self.genome, "-bed", inputs,
                                          "-fo", output]}
        return {}


class SekvoCli(CliTool):
    """This project's own command-line tool, run with this interpreter."""
    name = "sekvo-cli"

    def __init__(self, genome: str):
        super().__init__(genome)
        self.prefix, self.env = self.command()

    @staticmethod
    def command() -> tuple[list[str], dict[str, str]]:
        from cli_vs_peers import sekvo_command
        return sekvo_command()

    @classmethod
    def availability(cls):
        try:
            prefix, env = cls.command()
            out = subprocess.run(prefix + ["--version"], capture_output=True, text=True, env=env, timeout=60)
        except Exception as exc:  # module or command missing
            return False, f"{type(exc).__name__}: {exc}"
        if out.returncode != 0:
            return False, (out.stderr.strip().splitlines() or ["sekvo command failed"])[-1]
        return True, out.stdout.strip()

    def commands(self, workload, inputs, output):
        if workload == "index":
            return {"sekvo index": self.prefix + ["index", self.genome]}
        if workload in ("batch", "same_chr"):
            return {"sekvo getfasta": self.prefix + ["getfasta", self.genome, "--bed", inputs, "-o", output]}
        if workload == "whole":
            return {"sekvo faidx": self.prefix + ["faidx", self.genome, inputs, "-o", output]}
        return {}


CLI_TOOLS: dict[str, type[CliTool]] = {t.name: t for t in (Samtools, Bedtools, SekvoCli)}


def timed_run(argv: list[str], env=None, stdout=subprocess.DEVNULL, stderr=None) -> float:
    """Seconds a command takes to run and exit; CalledProcessError if it fails.

    Waited for with a blocking wait: subprocess.run(timeout=...) polls the
    child with sleeps growing to 50 ms, which adds up to 50 ms to each run.
    A timer kills a command that hangs instead."""
    began = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=stdout, stderr=stderr)
    killer = threading.Timer(TIMEOUT, proc.kill)
    killer.start()
    try:
        code = proc.wait()
    finally:
        killer.cancel()
    took = time.perf_counter() - began
    if code != 0:
        raise subprocess.CalledProcessError(code, argv)
    return took


def time_command(argv: list[str], reps: int, before=None, env=None) -> dict:
    times = []
    for _ in range(reps):
        if before:
            before()
        times.append(timed_run(argv, env=env))
    return {"median": statistics.median(times), "min": min(times), "times": times}
