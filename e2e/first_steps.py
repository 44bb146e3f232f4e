#!/usr/bin/env python3
"""The program's first steps on a machine with no Kalvo, judged the same way
on Windows itself (the hosted CI workflow, .github/workflows/ci.yml) and here
under Wine (the end-to-end runner's no-bootloader scenario and the release
test run the same code, through Wine).

  first_steps.py program EXE [--planted DIR [--names hid,setupapi] [--system-libraries]]
                             [--wine WINE]
  first_steps.py launcher (--zip ZIP | --dist DIR) [--wine WINE]

program: the program, started from a folder of its own, must end with status
2 and print exactly the not-found line, nothing else. With --planted, the
folder of the recorder (a DLL that only records being loaded,
e2e/planted_dll) and the search probe: the recorder is planted under each of
the library names (--names, and with --system-libraries every DLL of the
system directory) beside the program and in its current directory; the
probe, loading hid.dll by name, must get the recorder (else its absence
elsewhere proves nothing); then the program must end as before, with no
recorder loaded.
launcher: the launcher of the unpacked package (the only zip in --dist, or
--zip), as a user starts it with no Kalvo, with a key for its pause: status
2, the program's not-found line and the launcher's explanation of it.

With --wine, every Windows program runs under that Wine, in the prefix that
WINEPREFIX names, with DLL overrides that make Wine search for the planted
names as Windows does for a DLL that is not a known DLL: the program's own
folder first. Exit status 0 when the check passed; each failure is printed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

PROGRAM = "kalvo-update.exe"
NOT_FOUND = (b"No Kalvo found. Please restart Kalvo in bootloader mode "
             b"(press and hold CONFIG during power on).\n")
EXIT_NO_BOOTLOADER = 2
# What e2e/planted_dll writes into the call trace beside the program that
# loaded it.
CALL_TRACE_FILE = "kalvo-e2e-calls.txt"
PLANTED_MARK = "planted DLL loaded"
RECORDER = "recorder.dll"
SEARCH_PROBE = "search_probe.exe"
# Never one of Windows' known DLLs, so always searched for by name: the probe
# loads it to show that a search finds the planted recorder.
PROBED = ("hid.dll",)
LAUNCHER = "Update Kalvo.cmd"
LAUNCHER_NOT_FOUND = "No Kalvo in bootloader mode was found."
# Bounds a hang only: a program that finds no Kalvo ends at once.
PROGRAM_TIMEOUT_S = 120
# Wine's own runtime installers would ask questions on a machine without a
# screen; nothing here needs them.
NO_RUNTIME_INSTALLERS = "mscoree,mshtml="


def wine_environment(prefix=None, overrides=""):
    """The environment of a Windows program under Wine, in `prefix` (else
    the one WINEPREFIX names), with the DLL `overrides` given."""
    env = dict(os.environ)
    if prefix:
        env["WINEPREFIX"] = str(prefix)
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = ";".join(x for x in (NO_RUNTIME_INSTALLERS, overrides) if x)
    # Console programs only: no window may open, whatever the machine has.
    for name in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    return env


def native_first(names):
    """Wine's overrides for a search in Windows' order for a DLL that is not a
    known DLL: a file of that name (the program's folder first), then Wine's
    own."""
    stems = ",".join(Path(n).stem for n in names)
    return f"{stems}=n,b" if stems else ""


def system_library_names(system_directory, leave_out=()):
    """The names of the DLLs in a system directory, lower case, without any in
    `leave_out` (stems)."""
    return sorted(p.name.lower() for p in Path(system_directory).glob("*.dll")
                  if p.stem.lower() not in leave_out)


def plant(recorder, names, folders):
    for folder in folders:
        for name in names:
            # Copies, not links: Wine takes a second name for a file already
            # loaded as that module, and the recorder would not run again.
            shutil.copyfile(recorder, Path(folder) / name)


def recorder_loads(program_folder):
    """The recorders loaded by processes started from `program_folder`, as
    the recorders wrote them into the call trace there."""
    trace = Path(program_folder) / CALL_TRACE_FILE
    if not trace.exists():
        return []
    return [x for x in trace.read_text(errors="replace").splitlines() if x.startswith(PLANTED_MARK)]


class Starter:
    """Starts a Windows program and returns its exit status and standard
    output: directly on Windows, through Wine here."""

    def __init__(self, wine=None, prefix=None):
        self.wine, self.prefix = wine, prefix

    def __call__(self, command, cwd, overrides="", stdin=b""):
        env = dict(os.environ)
        if self.wine:
            env = wine_environment(self.prefix, overrides)
            command = [self.wine] + command
        result = subprocess.run(command, cwd=cwd, env=env, input=stdin, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=PROGRAM_TIMEOUT_S)
        return result.returncode, result.stdout


def judge_not_found(status, transcript, failures, what=PROGRAM):
    if status != EXIT_NO_BOOTLOADER:
        failures.append(f"{what} ended with status {status}, expected {EXIT_NO_BOOTLOADER}")
    if transcript != NOT_FOUND:
        failures.append(f"{what} printed {transcript!r}, expected exactly {NOT_FOUND!r}")


def probe_search(start, probe, names, work, current, failures):
    """Runs the search probe from `work`, with `current` its current
    directory: each of `names` loaded by name must be the recorder planted
    there. Without that, the recorders' absence elsewhere proves nothing."""
    status, _ = start([str(probe)] + list(names), current, native_first(names))
    found = recorder_loads(work)
    if status != 0 or len(found) != len(names):
        failures.append(f"the search probe ended with status {status} and loaded {len(found)} "
                        f"recorders for {', '.join(names)}, expected one each")
    (Path(work) / CALL_TRACE_FILE).unlink(missing_ok=True)


def first_steps(exe, work, start, planted=None, names=(), probed=PROBED):
    """The program copied into `work` and started with `work/current` its
    current directory: alone, then, with a `planted` folder (the recorder and
    the search probe), beside a recorder under each of `names` there and in
    its current directory. Returns the failures."""
    failures = []
    work = Path(work)
    program = work / PROGRAM
    if Path(exe).resolve() != program.resolve():
        shutil.copy2(exe, program)
    current = work / "current"
    current.mkdir(exist_ok=True)

    status, transcript = start([str(program)], current)
    judge_not_found(status, transcript, failures)
    print(f"alone: status {status}, {len(transcript)} bytes on standard output")
    if planted is None:
        return failures

    plant(Path(planted) / RECORDER, names, (work, current))
    shutil.copy2(Path(planted) / SEARCH_PROBE, work / SEARCH_PROBE)
    probe_search(start, work / SEARCH_PROBE, probed, work, current, failures)
    status, transcript = start([str(program)], current, native_first(names))
    judge_not_found(status, transcript, failures, f"{PROGRAM} beside the recorders")
    loaded = recorder_loads(work)
    if loaded:
        failures.append(f"{PROGRAM} loaded recorders: {loaded}")
    print(f"with a recorder planted as each of {len(names)} libraries beside it and in its current "
          f"directory: status {status}, {len(loaded)} recorders loaded")
    return failures


def program(args, start):
    work = Path(tempfile.mkdtemp(prefix="kalvo-first-steps-"))
    names = [n if n.lower().endswith(".dll") else f"{n}.dll" for n in args.names.split(",") if n]
    if args.system_libraries:
        names = sorted(set(names) | set(system_library_names(system_directory())))
    return first_steps(args.exe, work, start, args.planted, names), work


def system_directory():
    return Path(os.environ.get("SystemRoot", r"C:\Windows")) / "System32"


def launched(folder, start):
    """The launcher in the unpacked package's `folder`, started as a user
    starts it, with a key for its pause. Returns the failures and what it
    said."""
    failures = []
    status, said = start(["cmd", "/c", LAUNCHER], folder, stdin=b"\r\n")
    text = said.decode(errors="replace")
    if status != EXIT_NO_BOOTLOADER:
        failures.append(f"{LAUNCHER} ended with status {status}, expected {EXIT_NO_BOOTLOADER}")
    for expected in (NOT_FOUND.decode().rstrip("\n"), LAUNCHER_NOT_FOUND):
        if expected not in text:
            failures.append(f"{LAUNCHER} did not say {expected!r}")
    if failures:
        failures.append(f"it said:\n{text}")
    return failures, text


def launcher(args, start):
    package = Path(args.zip) if args.zip else only_zip(Path(args.dist))
    work = Path(tempfile.mkdtemp(prefix="kalvo-launcher-"))
    with zipfile.ZipFile(package) as z:
        z.extractall(work)
    found = list(work.glob(f"*/{LAUNCHER}"))
    if len(found) != 1:
        return [f"{package} holds {len(found)} copies of {LAUNCHER}, expected one folder with it"], work
    failures, text = launched(found[0].parent, start)
    print(f"{LAUNCHER} from {package.name} said:\n{text}")
    return failures, work


def only_zip(folder):
    zips = sorted(folder.glob("*.zip"))
    if len(zips) != 1:
        raise SystemExit(f"expected one zip in {folder}, found {[z.name for z in zips]}")
    return zips[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    alone = commands.add_parser("program")
    alone.add_argument("exe")
    alone.add_argument("--planted", help="folder of the recorder and the search probe")
    alone.add_argument("--names", default="hid,setupapi",
                       help="library names to plant the recorder as (hid,setupapi)")
    alone.add_argument("--system-libraries", action="store_true",
                       help="plant it as every DLL of the system directory too (Windows only)")
    launched = commands.add_parser("launcher")
    package = launched.add_mutually_exclusive_group(required=True)
    package.add_argument("--zip")
    package.add_argument("--dist", help="a folder holding one zip")
    for command in (alone, launched):
        command.add_argument("--wine", help="run the Windows programs under this Wine")
    args = parser.parse_args()
    start = Starter(args.wine)
    failures, work = (program if args.command == "program" else launcher)(args, start)
    for failure in failures:
        print("FAILED:", failure)
    if failures:
        print(f"files kept in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
