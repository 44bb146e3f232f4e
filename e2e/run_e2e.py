#!/usr/bin/env python3
"""Runs kalvo-update.exe end to end under Wine against the simulated Kalvo
bootloader of e2e/pipe_server, and judges what happened.

  run_e2e.py prefix-up   --prefix DIR --wine WINE --wineserver WINESERVER
                         [--system-dlls DIR | --backend hid-stack --harness DIR]
  run_e2e.py prefix-down --prefix DIR --wineserver WINESERVER
  run_e2e.py scenario NAME --prefix DIR [--plain-prefix DIR] --wine WINE --exe EXE
                           --harness DIR --work DIR --vendor 0x3A7C --fpga FILE --mcu FILE
                           [--backend test-dlls|hid-stack]

prefix-up makes a Wine prefix (once: it takes a while) and starts a
wineserver that stays up until prefix-down stops it, so that the scenarios
do not each pay for Wine's start. With --system-dlls it puts the test
hid.dll and setupapi.dll from that folder into the prefix's system
directory, the only place the program loads them from: the scenarios that
use them run in that prefix (--prefix), the ones that use Wine's own in a
plain one (--plain-prefix). A scenario gets a fresh folder with a copy of
the program and the interface list that the test DLLs present
(kalvo-e2e.txt); it starts the pipe server there, runs the program, stops
the server and compares the program's transcript and exit status and the
server's log with what the built-in images say they must be. Every file
stays in the folder for a look afterwards. The exit status is 0 when the
scenario passed.

Two backends present the scenario's interfaces to the program; a scenario is
written once and runs on each backend that can give it what it needs:
  test-dlls  our test hid.dll and setupapi.dll in the system directory of the
             prefix (TestDlls); Wine's own in the plain prefix
  hid-stack  Wine's own hid.dll, setupapi.dll and hidclass.sys, with each
             interface a virtual bootloader of e2e/hid_stack (HidStack); its
             prefix holds no test DLL
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

# The no-Kalvo checks shared with the hosted CI's Windows jobs; the harness's
# source tree gets no bytecode cache from the import.
sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import first_steps  # noqa: E402
from first_steps import (CALL_TRACE_FILE, NO_RUNTIME_INSTALLERS, NOT_FOUND,  # noqa: E402
                         wine_environment)

PAGE_BYTES = 2048
BLOCKS_PER_PAGE = 36
FPGA_HEADER_BYTES = 4
FIRST_FPGA_PAGE = 0x1000
FIRST_MCU_PAGE = 4
PRODUCT_ID = 0x00D2
RESTART_COMMAND = bytes([0x00, 0x46, 0x2A, 0x47, 0x00, 0xFF]) + bytes(58)
# A read try waits 2 s and a page's acknowledgement gets three of them.
READ_TRY_SECONDS = 2.0
ACK_WAIT_SECONDS = 3 * READ_TRY_SECONDS
# Acknowledgements sent late: past one read try but within the next; past
# all three, so that the page's next attempt reads it.
LATE_ACK_MS = 2500
QUEUED_ACK_MS = 6500
FPGA_START = b"Updating FPGA."
FAILED_END = b" failed.\n"
# The Kalvo is taken away once this many pages are confirmed.
REMOVE_AFTER_PAGES = 40
# Timer slack on a wait that the server itself times (a late acknowledgement).
TIMER_SLACK_SECONDS = 0.1
# The server logs a frame when it gets round to reading it, which on a busy
# machine can be well after the program wrote it: a gap that begins at such a
# frame looks shorter than the program's wait by as much. Half a read try
# still tells three read waits from two.
FRAME_LAG_SECONDS = READ_TRY_SECONDS / 2

INTERFACES_FILE = "kalvo-e2e.txt"
SERVER_LOG = "server.log"
PREFIX_READY_MARK = ".kalvo-e2e-prefix-ready"
TEST_DLLS_FIRST = "hid,setupapi=n"
SYSTEM_DLLS = ("hid.dll", "setupapi.dll")
# What the loader resolves before the program's first instruction: its
# imports (kernel32, msvcrt) and theirs, ntdll first (Wine's +loaddll trace).
LOADED_AT_START = ("ntdll", "kernelbase", "kernel32", "msvcrt", "ucrtbase")

HID_STACK_INSTALLER = "kalvo_vhid_install.exe"
# The function driver's log of the collections' opens, reads and closes, and
# the minidriver's of the reports it gave the class driver.
COLLECTIONS_LOG = "collections.log"
DEVICES_LOG = "devices.log"
STATUS_SUCCESS = 0
# Create options of a synchronous open; the program always opens overlapped.
FILE_SYNCHRONOUS_IO = 0x10 | 0x20
# A page gives up within 4 attempts of 36 writes of 3 tries of 200 ms and a
# read of 3 tries of 2000 ms.
PAGE_GIVE_UP_SECONDS = 110.4

# Bounds on the harness's own steps, which only a fault reaches: each far
# beyond what a busy machine takes (a fresh prefix in 15 to 60 s, the server's
# start and stop and an installation in seconds), and all of a scenario's
# together within its ctest timeout (e2e/scenarios.cmake). The server ends
# when its standard input does, with the runner if need be.
PREFIX_CREATION_TIMEOUT = 600
INSTALL_TIMEOUT = 240
SERVER_READY_TIMEOUT = 120
SERVER_STOP_TIMEOUT = 120


def run_quietly(command, env, timeout, log=None):
    """Runs a Wine tool with its output in `log` (or nowhere). Wine's helper
    processes inherit these handles, so they never get the caller's pipes."""
    out = open(log, "ab") if log else subprocess.DEVNULL
    try:
        return subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                              stderr=subprocess.STDOUT, timeout=timeout).returncode
    finally:
        if log:
            out.close()


def windows_path(path):
    """A Linux path as Wine's Z: drive shows it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def prefix_up(args):
    prefix = Path(args.prefix)
    env = wine_environment(prefix)
    # A wineserver left from an interrupted run would not be persistent.
    run_quietly([args.wineserver, "-k"], env, 60)
    started = time.monotonic()
    if not (prefix / PREFIX_READY_MARK).exists():
        # What an interrupted creation left is not to be trusted.
        shutil.rmtree(prefix, ignore_errors=True)
        prefix.parent.mkdir(parents=True, exist_ok=True)
        print("creating the Wine prefix", prefix)
        status = run_quietly([args.wine, "wineboot", "--init"], env, PREFIX_CREATION_TIMEOUT,
                             log=str(prefix) + ".log")
        # The wineserver writes the registry out when it ends.
        run_quietly([args.wineserver, "-w"], env, 120)
        if status != 0 or not (prefix / "system.reg").exists():
            print(f"wineboot failed (status {status}); see {prefix}.log")
            return 1
        (prefix / PREFIX_READY_MARK).write_text("made by e2e/run_e2e.py\n")
    if args.system_dlls:
        system32 = prefix / "drive_c" / "windows" / "system32"
        for dll in SYSTEM_DLLS:
            shutil.copy2(Path(args.system_dlls) / dll, system32 / dll)
    if run_quietly([args.wineserver, "-p"], env, 60) != 0:
        print("cannot start a wineserver for", prefix)
        return 1
    # Wine's services start with the first program: start them now.
    status = run_quietly([args.wine, "cmd", "/c", "exit", "0"], env, 120)
    if status != 0:
        print(f"Wine cannot start a program in {prefix} (status {status})")
        return 1
    if args.backend == "hid-stack":
        if not args.harness:
            print("the hid-stack backend needs --harness, where its drivers are")
            return 1
        # Before any device: a driver that Wine has loaded cannot be replaced.
        # KALVO_E2E_READ_GATE=open leaves Wine's class driver free to hold a
        # report back from a waiting read, to see it happen (e2e/hid_stack).
        installer = Path(args.harness) / HID_STACK_INSTALLER
        gate = ["open-read-gate"] if os.environ.get("KALVO_E2E_READ_GATE") == "open" else []
        status = run_quietly([args.wine, str(installer), "drivers", windows_path(args.harness)] +
                             gate, env, INSTALL_TIMEOUT, log=str(prefix) + ".log")
        if status != 0:
            print(f"cannot install the virtual bootloader's drivers; see {prefix}.log")
            return 1
    print(f"Wine prefix {prefix} up in {time.monotonic() - started:.1f} s")
    return 0


def prefix_down(args):
    env = wine_environment(Path(args.prefix))
    run_quietly([args.wineserver, "-k"], env, 60)
    status = run_quietly([args.wineserver, "-w"], env, 60)
    return 0 if status == 0 else 1


class Images:
    """The pages that the program's built-in images make on the device."""

    def __init__(self, fpga_file, mcu_file):
        fpga = Path(fpga_file).read_bytes()
        mcu = Path(mcu_file).read_bytes()
        stream = len(fpga).to_bytes(FPGA_HEADER_BYTES, "big") + fpga
        self.fpga_pages = -(-len(stream) // PAGE_BYTES)
        stream += bytes(self.fpga_pages * PAGE_BYTES - len(stream))
        self.mcu_pages = len(mcu) // PAGE_BYTES
        self.pages = {}
        for i in range(self.fpga_pages):
            self.pages[FIRST_FPGA_PAGE + i] = stream[i * PAGE_BYTES:(i + 1) * PAGE_BYTES]
        for i in range(self.mcu_pages):
            self.pages[FIRST_MCU_PAGE + i] = mcu[i * PAGE_BYTES:(i + 1) * PAGE_BYTES]

    def success_transcript(self):
        return (b"Updating FPGA." + b"." * self.fpga_pages + b" done.\n" +
                b"Updating MCU." + b"." * self.mcu_pages + b" done.\n" +
                b"Restarting...\n")


class ServedLog:
    """What the pipe server logged about one interface."""

    def __init__(self):
        self.events = []  # (kind, microseconds, detail)
        self.pages = {}
        self.restarts = None
        self.complaints = []
        self.errors = []

    def times(self, kind):
        return [t for k, t, _ in self.events if k == kind]

    def reports(self):
        return [(t, bytes.fromhex(d)) for k, t, d in self.events if k == "report"]


def read_server_log(path):
    served = {}
    for line in Path(path).read_text().splitlines():
        words = line.split(" ", 3)
        if not words or words[0].startswith("#") or words[0] in ("end", "interface", "clock"):
            continue
        kind, number = words[0], int(words[1])
        log = served.setdefault(number, ServedLog())
        if kind == "page":
            page, data = line.split(" ")[2:4]
            log.pages[int(page, 16)] = bytes.fromhex(data)
        elif kind == "restarts":
            log.restarts = int(words[2])
        elif kind == "complaint":
            log.complaints.append(line.split(" ", 2)[2])
        elif kind == "error":
            log.errors.append(line)
        else:
            log.events.append((kind, int(words[2]), words[3] if len(words) > 3 else ""))
    return served


def read_server_clock(path):
    """The server's clock origin: performance counter ticks and their rate."""
    for line in Path(path).read_text().splitlines():
        if line.startswith("clock "):
            return int(line.split()[1]), int(line.split()[2])
    raise RuntimeError(f"{path} has no clock line")


def page_list(numbers):
    return " ".join(f"0x{n:04X}" for n in sorted(numbers))


def frame_page(report):
    return report[3] | (report[4] << 8)


def is_block(report):
    return report[1:3] == b"F*" and report[5] < BLOCKS_PER_PAGE


class Checks:
    def __init__(self):
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, f"{what}: {actual!r}, expected {expected!r}")


class TestDlls:
    """Our test hid.dll and setupapi.dll, in the prefix's system directory and
    preferred to Wine's own, present the interfaces as named pipes; the pipe
    server's connections are the program's opens."""

    call_trace = True
    # Every time in the judged log comes from the server's one clock.
    clock_slack_us = 0

    def prefix(self, args, wines_own):
        # The test DLLs lie in one prefix's system directory, Wine's own in the other's.
        if not wines_own:
            return args.prefix
        if not getattr(args, "plain_prefix", None):
            raise RuntimeError("a scenario with Wine's own DLLs needs --plain-prefix")
        return args.plain_prefix

    def overrides(self, test_dlls):
        return TEST_DLLS_FIRST if test_dlls else ""

    def attach(self, s):
        pass

    def detach(self, s):
        pass

    def unplug(self, s, number):
        raise RuntimeError("the test DLLs cannot take an interface away")

    def merge(self, s, served):
        pass


class HidStack:
    """Wine's own hid.dll, setupapi.dll and hidclass.sys: each interface is a
    root-enumerated virtual bootloader (e2e/hid_stack) whose minidriver
    carries its reports to and from the pipe server. The server's connections
    are then the minidriver's; the program's opens and closes come from the
    function driver's log."""

    call_trace = False
    # Opens and closes are timed in the driver host, reports in the server:
    # a report's time is when the server got round to reading it.
    clock_slack_us = 50_000

    def prefix(self, args, wines_own):
        # Its prefix holds Wine's own DLLs only.
        return args.prefix

    def overrides(self, test_dlls):
        return ""

    def installer(self, s, *words, log="install.out"):
        command = [s.args.wine, str(Path(s.args.harness) / HID_STACK_INSTALLER)] + list(words)
        with open(s.work / log, "ab") as out:
            status = subprocess.run(command, cwd=s.work, env=wine_environment(s.args.prefix),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                    timeout=INSTALL_TIMEOUT).returncode
        if status != 0:
            raise RuntimeError(f"{HID_STACK_INSTALLER} {words[0]} failed (status {status}); "
                               f"see {s.work / log}")

    def attach(self, s):
        """Installs one virtual bootloader per interface, in the list's order."""
        if not s.interfaces:
            return
        self.installer(s, "install", INTERFACES_FILE, windows_path(s.work / COLLECTIONS_LOG),
                       windows_path(s.work / DEVICES_LOG))
        s.devices = {}
        for line in (s.work / "install.out").read_text().splitlines():
            words = line.split(" ")
            if words[0] == "device":
                s.devices[int(words[1])] = (words[2], words[3])

    def detach(self, s):
        if s.interfaces:
            self.installer(s, "remove-all", log="remove.out")

    def unplug(self, s, number):
        self.installer(s, "remove", s.devices[number][0], log="remove.out")

    def merge(self, s, served):
        """The program's opens and closes of each collection, on the server's
        clock, stand in the log for the pipe's connections, which become the
        minidriver's "link" and "unlink". The program's reads and the reports
        the class driver was given tell whether it kept one back (s.held_back)."""
        origin, rate = read_server_clock(s.work / SERVER_LOG)

        def server_us(ticks):
            return (ticks - origin) * 1_000_000 // rate

        renamed = {"connect": "link", "disconnect": "unlink"}
        for log in served.values():
            log.events = [(renamed.get(k, k), t, d) for k, t, d in log.events]
        number_of = {instance.rsplit("\\", 1)[1]: n for n, (instance, _) in s.devices.items()}
        # The program's handles, [interface number, file object, opened, closed, reads]:
        # a file object may come again for a later open.
        handles = []
        open_handle = {}
        system_opens = 0
        collections = s.work / COLLECTIONS_LOG
        for line in (collections.read_text().splitlines() if collections.exists() else []):
            words = line.split(" ")
            kind, number = words[0], number_of.get(words[1])
            if number is None:
                s.checks.expect(False, f"a collection the scenario did not make: {line}")
            elif kind == "read":
                # Written when the handle closes, before its close line.
                if words[2] in open_handle:
                    open_handle[words[2]][4].append(ClassRead(words[3:], server_us))
            elif kind == "reads-unkept":
                s.checks.expect(False, f"the function driver kept no record of {words[2]} reads")
            elif kind == "open" and int(words[4]) & FILE_SYNCHRONOUS_IO:
                system_opens += 1
            elif kind == "open" or words[3] in open_handle:
                at = server_us(int(words[2]))
                if kind == "open":
                    open_handle[words[3]] = [number, words[3], at, None, []]
                    handles.append(open_handle[words[3]])
                else:
                    open_handle.pop(words[3])[3] = at
                served.setdefault(number, ServedLog()).events.append(
                    ("connect" if kind == "open" else "disconnect", at, ""))
        for log in served.values():
            log.events.sort(key=lambda event: event[1])
        if system_opens:
            print(f"{system_opens} synchronous opens of the collections by the system "
                  "(Wine's raw input) left aside")
        s.held_back = reads_held_back(s, handles, server_us)


class ClassRead:
    """One read the program made on a collection, on the server's clock
    (microseconds): when it came and when it completed, as the function
    driver logged it, and when it went into the class driver's read handler
    and whether the handler left it waiting, as the minidriver logged it."""

    def __init__(self, words, server_us):
        self.irp = words[0]
        self.entered = server_us(int(words[1]))
        self.done = int(words[2]) != 0
        self.ended = server_us(int(words[2])) if self.done else None
        self.status = int(words[3])
        self.head = words[4]
        self.into_class = None  # (when, left waiting), once matched

    def took_report(self):
        return self.done and self.status == STATUS_SUCCESS

    def left_waiting(self):
        return self.into_class is not None and self.into_class[1]


class GivenReport:
    """One report the minidriver gave the class driver: when it did, and when
    the class driver asked for the next one, having queued that report for
    every handle and given it to the reads it woke (None: never)."""

    def __init__(self, words, server_us):
        self.given = server_us(int(words[0]))
        self.back = server_us(int(words[1])) if int(words[1]) else None
        self.head = words[2]


def read_devices_log(s, server_us):
    """The reports each interface's minidriver gave the class driver, in
    order, and the reads it let into the class driver's read handler
    ({request: [(when, left waiting)]}); prints what became of the reports
    from the pipe."""
    given, into_class = {}, {}
    devices = s.work / DEVICES_LOG
    for line in (devices.read_text().splitlines() if devices.exists() else []):
        words = line.split(" ")
        if words[0] == "class-read":
            into_class.setdefault(words[1], []).append((server_us(int(words[2])), words[3] == "1"))
            continue
        number = int(words[1].rsplit("-", 1)[1])
        if words[0] == "report":
            given.setdefault(number, []).append(GivenReport(words[2:], server_us))
        elif words[0] == "device":
            counts = dict(zip(words[2::2], (int(w) for w in words[3::2])))
            s.checks.equal((counts["unkept"], counts["reads-unkept"]), (0, 0),
                           f"reports and reads of interface {number} the minidriver kept no "
                           "record of")
            if counts["piped"]:
                print(f"interface {number}'s minidriver: {counts['piped']} reports from the pipe, "
                      f"{counts['waiting']} to a waiting read of the class driver, "
                      f"{counts['held']} held until its next read, {counts['waited']} waited at "
                      f"the read gate, {counts['dropped']} lost with the device; "
                      f"{counts['gate-reads']} of the program's reads held at the gate")
    return given, into_class


def held_back(checks, reads, reports):
    """The reads of one handle that the class driver left waiting while the
    report due to them was in the handle's queue, with that report. The
    handle's queue gives the reports in the order they came, so the report due
    to a read is the first one that no earlier read took. Once the class
    driver has taken that report in, a read it left waiting before must have
    it: a read that it left waiting and that ended after that without it
    (cancelled, or given it only with a later report) was held back."""
    stalls = []
    taken = 0
    for read in sorted(reads, key=lambda r: r.entered):
        due = reports[taken] if taken < len(reports) else None
        if read.took_report():
            if due is None or read.head != due.head:
                checks.expect(False, f"a read took {read.head} where the class driver was given "
                              f"{due.head if due else 'nothing more'}")
            taken += 1
        if (read.left_waiting() and due is not None and due.back is not None and
                (not read.done or read.ended > due.back)):
            stalls.append((read, due))
    return stalls


def reads_held_back(s, handles, server_us):
    """{interface number: [(read, report)]}: the program's reads that Wine's
    class driver held a report back from, each printed; `handles` are the
    program's handles, [interface number, file object, opened, closed,
    reads]."""
    given, into_class = read_devices_log(s, server_us)
    for _, _, _, _, reads in handles:
        for read in reads:
            end = read.ended if read.done else float("inf")
            read.into_class = next((x for x in into_class.get(read.irp, [])
                                    if read.entered <= x[0] <= end), None)
    found = {}
    for number, _, opened, closed, reads in handles:
        reports = [r for r in given.get(number, [])
                   if r.given >= opened and (closed is None or r.given <= closed)]
        found.setdefault(number, []).extend(held_back(s.checks, reads, reports))
    for number, stalls in found.items():
        for read, report in stalls:
            end = (f"ended at {read.ended / 1e6:.6f} s with status 0x{read.status:08X}"
                   if read.done else "never ended")
            print(f"Wine's class driver held back report {report.head} of interface {number} "
                  f"(given to it at {report.given / 1e6:.6f} s, taken in by "
                  f"{report.back / 1e6:.6f} s) from a read it left waiting at "
                  f"{read.into_class[0] / 1e6:.6f} s, which {end}")
    return found


BACKENDS = {"test-dlls": TestDlls, "hid-stack": HidStack}


class Scenario:
    def __init__(self, args, timeout, wines_own=False):
        self.args = args
        self.timeout = timeout
        self.work = Path(args.work)
        self.images = Images(args.fpga, args.mcu)
        self.vendor = int(args.vendor, 0)
        self.checks = Checks()
        self.tag = f"kalvo-e2e-{args.name}-{os.getpid()}"
        self.interfaces = []
        self.backend = BACKENDS[getattr(args, "backend", "test-dlls")]()
        self.prefix = self.backend.prefix(args, wines_own)
        self.devices = {}  # hid-stack: interface number -> (instance, interface path)
        # hid-stack: interface number -> [(read, report)] the class driver held back
        self.held_back = {}

    # --- the interfaces a scenario presents ---
    def add(self, serve="bootloader", vendor=None, product=PRODUCT_ID, string="FW01", noack=None,
            lateack=None):
        number = len(self.interfaces)
        vendor = self.vendor if vendor is None else vendor
        line = (f"pipe={self.tag}-{number} vendor=0x{vendor:04X} "
                f"product=0x{product:04X} version=0x0100 string={string} serve={serve}")
        if noack is not None:
            line += f" noack=0x{noack:04X}"
        if lateack is not None:
            line += f" lateack=0x{lateack[0]:04X}:{lateack[1]}"
        self.interfaces.append(line)
        return number

    # --- running ---
    def prepare(self):
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        shutil.copy2(self.args.exe, self.work / "kalvo-update.exe")
        (self.work / INTERFACES_FILE).write_text(
            "# made by e2e/run_e2e.py\n" + "".join(line + "\n" for line in self.interfaces))

    def start_server(self):
        server = Path(self.args.harness) / "pipe_server.exe"
        ready = self.work / (SERVER_LOG + ".ready")
        out = open(self.work / "server.out", "wb")
        process = subprocess.Popen(
            [self.args.wine, str(server), INTERFACES_FILE, SERVER_LOG],
            cwd=self.work, env=wine_environment(self.prefix), stdin=subprocess.PIPE,
            stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        out.close()
        deadline = time.monotonic() + SERVER_READY_TIMEOUT
        while not ready.exists():
            if process.poll() is not None or time.monotonic() > deadline:
                self.stop_server(process)
                raise RuntimeError("the pipe server did not come up; see "
                                   f"{self.work / 'server.out'}")
            time.sleep(0.02)
        return process

    def stop_server(self, process):
        # The server ends when its standard input does, and then writes its log.
        process.stdin.close()
        try:
            status = process.wait(timeout=SERVER_STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            status = None
        self.checks.equal(status, 0, "pipe server exit status (see server.out, server.log)")

    def run_program(self, overrides, timeout, program, cwd=None, during=None):
        env = wine_environment(self.prefix, overrides)
        with open(self.work / "transcript.bin", "wb") as out, \
                open(self.work / "program.err", "wb") as err:
            started = time.monotonic()
            process = subprocess.Popen([self.args.wine] + program, cwd=cwd or self.work,
                                       env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                       start_new_session=True)
            try:
                if during:
                    during(process)
                status = process.wait(timeout=max(0.0, started + timeout - time.monotonic()))
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
                status = None
            self.program_ended = time.monotonic()
            self.program_seconds = self.program_ended - started
        print(f"{program[0]} ran {self.program_seconds:.2f} s under Wine, status {status}")
        return status, (self.work / "transcript.bin").read_bytes()

    def starter(self, command, cwd, overrides="", stdin=b""):
        """Runs a program for e2e/first_steps.py's checks."""
        return self.run_program(overrides, self.timeout, command, cwd)

    def run(self, test_dlls=True, serve=True, program=("kalvo-update.exe",), during=None):
        """Runs `program` (the updater unless told otherwise; a function gives
        the command line once the interfaces are there) and returns its exit
        status and transcript, and the server's log. `during` gets the running
        program's process."""
        self.prepare()
        server = self.start_server() if serve else None
        try:
            if server:
                self.backend.attach(self)
            try:
                command = program() if callable(program) else list(program)
                status, transcript = self.run_program(self.backend.overrides(test_dlls),
                                                      self.timeout, command, during=during)
            finally:
                if server:
                    self.backend.detach(self)
        finally:
            if server:
                self.stop_server(server)
        served = read_server_log(self.work / SERVER_LOG) if serve else {}
        if serve:
            self.backend.merge(self, served)
        for log in served.values():
            for error in log.errors:
                self.checks.expect(False, f"pipe server: {error}")
        return status, transcript, served

    def call_trace(self):
        """The test DLLs' trace of the program's calls, checked for what holds
        in every scenario; empty on a backend without it."""
        if not self.backend.call_trace:
            return []
        path = self.work / CALL_TRACE_FILE
        lines = path.read_text().splitlines() if path.exists() else []
        self.checks.expect(lines, "the program did not call the test hid.dll and setupapi.dll")
        for line in lines:
            self.checks.expect(not line.startswith("anomaly"), f"test DLLs saw {line}")
        self.checks.equal(sum(x.startswith("SetupDiDestroyDeviceInfoList") for x in lines),
                          sum(x.startswith("SetupDiGetClassDevsA") for x in lines),
                          "device information sets destroyed (against sets made)")
        return lines

    # --- judging ---
    def check_pages(self, log, numbers):
        c = self.checks
        c.equal(page_list(set(numbers) - set(log.pages)), "", "pages the device lacks")
        c.equal(page_list(set(log.pages) - set(numbers)), "", "pages the device should not have")
        c.equal(page_list(n for n in numbers
                          if n in log.pages and log.pages[n] != self.images.pages[n]),
                "", "stored pages that differ from the built-in images")
        c.equal(log.complaints, [], "the device's complaints about the traffic")

    def check_updated(self, status, transcript, log):
        """A whole update with every page acknowledged at once."""
        c = self.checks
        c.equal(transcript, self.images.success_transcript(), "transcript")
        c.equal(status, 0, "exit status")
        self.check_pages(log, list(self.images.pages))
        reports = [r for _, r in log.reports()]
        c.equal(len(reports), len(self.images.pages) * BLOCKS_PER_PAGE + 1, "reports received")
        firsts = [frame_page(r) for r in reports if is_block(r) and r[5] == 0]
        c.equal(page_list(n for n in set(firsts) if firsts.count(n) > 1), "",
                "pages sent more than once")
        c.equal(log.restarts, 1, "restart commands")
        if reports:
            c.equal(reports[-1].hex(), RESTART_COMMAND.hex(), "the last report")
        c.equal(len(log.times("input")), len(self.images.pages), "acknowledgements sent")
        c.equal(len(log.times("connect")), 1, "connections")
        # The program closes the device after the restart command.
        disconnects = log.times("disconnect")
        if c.equal(len(disconnects), 1, "disconnections") and reports:
            c.expect(disconnects[0] + self.backend.clock_slack_us >= log.times("report")[-1],
                     "closed before the restart")

    def check_untouched(self, served, number, opened):
        log = served.get(number, ServedLog())
        self.checks.equal(len(log.reports()), 0, f"reports received by interface {number}")
        self.checks.equal(len(log.times("connect")), 1 if opened else 0,
                          f"times interface {number} was opened")
        if opened:
            self.checks.equal(len(log.times("disconnect")), 1,
                              f"times interface {number} was closed")


def full_update(s):
    kalvo = s.add()
    status, transcript, served = s.run()
    s.check_updated(status, transcript, served.get(kalvo, ServedLog()))
    s.call_trace()


def debugged_update(s):
    """A healthy bootloader, and the program under Wine's debugger with the
    commands of --debugger-script: tests/prove_stack.py's runs, which read
    the debugger's output (the transcript) themselves. Nothing is judged
    here but the harness."""
    s.add()
    script = str(Path(s.args.debugger_script).resolve())
    s.run(program=("winedbg", "--file", script, "kalvo-update.exe"))


def no_bootloader(s):
    """No Kalvo, Wine's own hid.dll and setupapi.dll: the program alone, then
    beside a recorder planted as hid.dll and setupapi.dll in its folder and
    its current directory, native first as Windows searches for a DLL that is
    not a known DLL. The Windows CI jobs run the same checks on Windows."""
    s.prepare()

    planted = Path(s.args.harness) / "planted"
    for failure in first_steps.first_steps(s.work / "kalvo-update.exe", s.work, s.starter, planted,
                                           SYSTEM_DLLS):
        s.checks.expect(False, failure)


def planted_dlls(s):
    """A recorder planted under the name of every library in the prefix's
    system directory, so of every library a full update loads, beside the
    program and in its current directory, each preferred to Wine's own as
    Windows searches for a DLL that is not a known DLL: a full update through
    Wine's own HID stack loads none of them.

    Wine's +loaddll trace of a full update lists kernelbase, kernel32,
    msvcrt and ucrtbase, loaded before the program's first instruction (its
    imports and theirs), then hid, sechost, advapi32, rpcrt4, version and
    setupapi. The first four are not planted: on Windows the program's
    imports are known DLLs, which take their own imports along and are never
    searched for; Wine has no known DLLs and would take planted ones."""
    kalvo = s.add()
    system32 = Path(s.prefix) / "drive_c" / "windows" / "system32"
    unplanted = set(LOADED_AT_START) | set(NO_RUNTIME_INSTALLERS.rstrip("=").split(","))
    names = first_steps.system_library_names(system32, unplanted)
    planted = Path(s.args.harness) / "planted"
    s.prepare()
    current = s.work / "current"
    current.mkdir()
    first_steps.plant(planted / first_steps.RECORDER, names, (s.work, current))
    planted_first = first_steps.native_first(names)

    probe = s.work / first_steps.SEARCH_PROBE
    shutil.copy2(planted / first_steps.SEARCH_PROBE, probe)
    failures = []
    first_steps.probe_search(s.starter, probe, SYSTEM_DLLS, s.work, current, failures)
    for failure in failures:
        s.checks.expect(False, failure)

    # The update itself, as Scenario.run runs it, from the current directory.
    server = s.start_server()
    try:
        s.backend.attach(s)
        try:
            status, transcript = s.run_program(planted_first, s.timeout,
                                               [str(s.work / "kalvo-update.exe")], current)
        finally:
            s.backend.detach(s)
    finally:
        s.stop_server(server)
    served = read_server_log(s.work / SERVER_LOG)
    s.backend.merge(s, served)
    for log in served.values():
        for error in log.errors:
            s.checks.expect(False, f"pipe server: {error}")
    s.checks.equal(first_steps.recorder_loads(s.work), [], "recorders that kalvo-update.exe loaded")
    s.check_updated(status, transcript, served.get(kalvo, ServedLog()))
    print(f"{len(names)} libraries planted in two folders")


def never_acknowledged(s):
    silent_page = FIRST_FPGA_PAGE + 5
    kalvo = s.add(noack=silent_page)
    status, transcript, served = s.run()
    log = served.get(kalvo, ServedLog())
    c = s.checks
    c.equal(transcript, b"Updating FPGA." + b"." * 5 + b" failed.\n", "transcript")
    c.equal(status, 3, "exit status")
    confirmed = list(range(FIRST_FPGA_PAGE, silent_page))
    s.check_pages(log, confirmed + [silent_page])
    reports = log.reports()
    silent = [(t, r) for t, r in reports if is_block(r) and frame_page(r) == silent_page]
    four_attempts = c.equal(len(silent), 4 * BLOCKS_PER_PAGE,
                            f"frames of page 0x{silent_page:04X}")
    c.equal([r[5] for _, r in silent], list(range(BLOCKS_PER_PAGE)) * 4,
            f"block order of page 0x{silent_page:04X}'s four attempts")
    c.equal(len(reports), (len(confirmed) + 4) * BLOCKS_PER_PAGE,
            "reports received (nothing after the last attempt)")
    c.equal(log.restarts, 0, "restart commands")
    # Each new attempt follows three full read waits for the acknowledgement.
    for attempt in range(1, 4 if four_attempts else 1):
        first = attempt * BLOCKS_PER_PAGE
        gap = (silent[first][0] - silent[first - 1][0]) / 1e6
        c.expect(gap >= ACK_WAIT_SECONDS - FRAME_LAG_SECONDS,
                 f"attempt {attempt + 1} began {gap:.3f} s after the previous one's last frame")
    s.call_trace()


def identification(s):
    wrong_vendor = s.add(vendor=s.vendor ^ 0x8000)
    wrong_string = s.add(string="WF01")
    no_string = s.add(string="-")
    busy = s.add(serve="busy")
    absent = s.add(serve="none")
    kalvo = s.add()
    second_kalvo = s.add()
    status, transcript, served = s.run()
    s.check_updated(status, transcript, served.get(kalvo, ServedLog()))
    for number in (wrong_vendor, wrong_string, no_string):
        s.check_untouched(served, number, opened=True)
    for number in (busy, second_kalvo):
        s.check_untouched(served, number, opened=False)
    s.checks.equal(len(served.get(busy, ServedLog()).times("held")), 1,
                   "the other client's hold on the busy interface")
    s.checks.expect(absent not in served, "the absent interface has no server")
    trace = s.call_trace()
    pipe = f"pipe={s.tag}-"
    strings_read = [int(x.split(pipe)[1].split(" ")[0]) for x in trace
                    if x.startswith("HidD_GetIndexedString")]
    s.checks.equal(strings_read, [wrong_string, no_string, kalvo],
                   "interfaces whose string index 4 was read")


def late_acknowledgement(s):
    """A page's acknowledgement that comes past its first read try but within
    the second: the program waits on, and sends no page twice."""
    late = FIRST_FPGA_PAGE + 5
    kalvo = s.add(lateack=(late, LATE_ACK_MS))
    status, transcript, served = s.run()
    log = served.get(kalvo, ServedLog())
    s.check_updated(status, transcript, log)
    frames = [(t, frame_page(r)) for t, r in log.reports() if is_block(r)]
    last_late = max((t for t, page in frames if page == late), default=0)
    first_next = min((t for t, page in frames if page == late + 1), default=0)
    gap = (first_next - last_late) / 1e6
    # A read that Wine's class driver left waiting while the acknowledgement
    # sat in the handle's queue (HidStack.merge) times out; the program's next
    # read try takes it. Each such read costs the program one read try.
    held = [read for read, _ in s.held_back.get(kalvo, []) if last_late <= read.entered < first_next]
    tries = 2 + len(held)
    if held:
        print(f"page 0x{late:04X}'s acknowledgement held back from {len(held)} read(s): "
              f"the next page may begin within read try {tries}")
    s.checks.expect(LATE_ACK_MS / 1000 - TIMER_SLACK_SECONDS <= gap < tries * READ_TRY_SECONDS,
                    f"page 0x{late + 1:04X} began {gap:.3f} s after page 0x{late:04X}'s last "
                    f"frame, not within read try {tries}")
    s.call_trace()


def queued_acknowledgements(s):
    """A page's first acknowledgement comes after its three read tries: the
    second attempt reads it, and that attempt's own acknowledgement waits in
    the input buffer (the class driver's, or the pipe) ahead of the next
    page's, and so on to the end. Every page still gets through."""
    late = FIRST_FPGA_PAGE + 5
    kalvo = s.add(lateack=(late, QUEUED_ACK_MS))
    status, transcript, served = s.run()
    log = served.get(kalvo, ServedLog())
    c = s.checks
    c.equal(transcript, s.images.success_transcript(), "transcript")
    c.equal(status, 0, "exit status")
    s.check_pages(log, list(s.images.pages))
    reports = [r for _, r in log.reports()]
    firsts = [frame_page(r) for r in reports if is_block(r) and r[5] == 0]
    attempts = {page: firsts.count(page) for page in s.images.pages}
    c.equal(attempts.get(late), 2, f"attempts at page 0x{late:04X}")
    c.equal(page_list(p for p, n in attempts.items() if not 1 <= n <= 4), "",
            "pages sent no time or more than four times")
    c.equal(log.restarts, 1, "restart commands")
    if reports:
        c.equal(reports[-1].hex(), RESTART_COMMAND.hex(), "the last report")
    print(f"{len(reports)} reports ({sum(n > 1 for n in attempts.values())} pages sent twice) "
          f"in {s.program_seconds:.2f} s")
    s.call_trace()


def decoy_first(s):
    """A Kalvo-like interface before the Kalvo whose string index 4 does not
    begin with "FW": opened, closed, never written to."""
    decoy = s.add(string="WF01")
    kalvo = s.add()
    status, transcript, served = s.run()
    s.check_updated(status, transcript, served.get(kalvo, ServedLog()))
    s.check_untouched(served, decoy, opened=True)
    s.call_trace()


def removed_mid_fpga(s):
    """The Kalvo taken away in the middle of the FPGA phase: the page fails,
    the run ends with status 3 within a page's time limit, nothing hangs."""
    kalvo = s.add()
    removed = []

    def remove_after_some_pages(process):
        transcript = s.work / "transcript.bin"
        deadline = time.monotonic() + s.timeout
        while len(transcript.read_bytes()) < len(FPGA_START) + REMOVE_AFTER_PAGES:
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the program did not reach the page to remove the Kalvo at")
            time.sleep(0.005)
        removed.append(time.monotonic())
        s.backend.unplug(s, kalvo)

    status, transcript, served = s.run(during=remove_after_some_pages)
    log = served.get(kalvo, ServedLog())
    c = s.checks
    dots = transcript[len(FPGA_START):-len(FAILED_END)]
    c.expect(transcript.startswith(FPGA_START) and transcript.endswith(FAILED_END) and
             dots == b"." * len(dots) and REMOVE_AFTER_PAGES <= len(dots) < s.images.fpga_pages,
             f"transcript {transcript!r}: FPGA pages then \" failed.\"")
    c.equal(status, 3, "exit status")
    if removed:
        after = s.program_ended - removed[0]
        print(f"the program ended {after:.3f} s after the removal began")
        c.expect(after <= PAGE_GIVE_UP_SECONDS, f"the program ended {after:.1f} s after the removal")
    confirmed = set(range(FIRST_FPGA_PAGE, FIRST_FPGA_PAGE + len(dots)))
    in_flight = FIRST_FPGA_PAGE + len(dots)
    c.equal(page_list(confirmed - set(log.pages)), "", "confirmed pages the device lacks")
    c.equal(page_list(set(log.pages) - confirmed - {in_flight}), "",
            "pages the device should not have")
    c.equal(page_list(n for n in log.pages if log.pages[n] != s.images.pages[n]), "",
            "stored pages that differ from the built-in images")
    c.equal(log.restarts, 0, "restart commands")
    unlinked = log.times("unlink")
    if c.equal(len(unlinked), 1, "times the minidriver's link ended"):
        c.equal(len([t for t in log.times("report") if t > unlinked[0]]), 0,
                "reports after the removal")


def bare_loop(s):
    """The update's traffic without the updater (e2e/bare_loop), for timing."""
    kalvo = s.add()

    def command():
        # The pipe itself, or the virtual bootloader's HID interface.
        target = s.devices[kalvo][1] if s.devices else f"{s.tag}-{kalvo}"
        return [str(Path(s.args.harness) / "bare_loop.exe"), target, str(s.images.fpga_pages),
                str(s.images.mcu_pages)]

    status, transcript, served = s.run(test_dlls=False, program=command)
    print(transcript.decode(errors="replace"), end="")
    log = served.get(kalvo, ServedLog())
    s.checks.equal(status, 0, "exit status")
    s.checks.equal(len(log.reports()), len(s.images.pages) * BLOCKS_PER_PAGE, "reports received")
    s.checks.equal(len(log.times("input")), len(s.images.pages), "acknowledgements sent")
    s.checks.equal(log.complaints, [], "the device's complaints about the traffic")


# Each scenario, how long the program may take in it before it counts as
# hung, and the backends that can run it. The limits only catch a hang: each
# is several times what the program takes on a busy machine (from 2 s to
# about 30 s, twice that with every core taken).
BOTH = ("test-dlls", "hid-stack")
SCENARIOS = {
    "full-update": (full_update, 300, BOTH),
    "no-bootloader": (no_bootloader, 180, ("test-dlls",)),
    "planted-dlls": (planted_dlls, 300, ("hid-stack",)),
    "never-acknowledged-page": (never_acknowledged, 300, BOTH),
    "late-acknowledgement": (late_acknowledgement, 300, BOTH),
    "queued-acknowledgements": (queued_acknowledgements, 300, BOTH),
    "identification": (identification, 300, ("test-dlls",)),
    "decoy-first": (decoy_first, 300, BOTH),
    "removed-mid-fpga": (removed_mid_fpga, 300, ("hid-stack",)),
    "bare-loop": (bare_loop, 300, BOTH),
    "debugged-update": (debugged_update, 600, ("test-dlls",)),
}

# The scenarios that run with Wine's own hid.dll and setupapi.dll.
WINES_OWN = (no_bootloader,)


def scenario(args):
    judge, timeout, backends = SCENARIOS[args.name]
    if args.backend not in backends:
        print(f"scenario {args.name} does not run on the {args.backend} backend")
        return 1
    needed = [Path(args.exe), Path(args.harness) / "pipe_server.exe"]
    if args.backend == "test-dlls":
        needed += [Path(args.harness) / x for x in ("hid.dll", "setupapi.dll", "planted")]
    for needed in needed:
        if not needed.exists():
            print(f"{needed} is missing: build the Windows target with KALVO_E2E=ON")
            return 1
    s = Scenario(args, timeout, wines_own=judge in WINES_OWN)
    started = time.monotonic()
    try:
        judge(s)
    except (RuntimeError, OSError, ValueError) as error:
        s.checks.failures.append(str(error))
    print(f"scenario {args.name}: {time.monotonic() - started:.2f} s in all; files in {s.work}")
    for failure in s.checks.failures:
        print("FAILED:", failure)
    return 1 if s.checks.failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    up = sub.add_parser("prefix-up")
    down = sub.add_parser("prefix-down")
    run = sub.add_parser("scenario")
    run.add_argument("name", choices=sorted(SCENARIOS))
    for p in (up, down, run):
        p.add_argument("--prefix", required=True)
        p.add_argument("--wineserver", default="wineserver")
    for p in (up, run):
        p.add_argument("--wine", default="wine")
        p.add_argument("--backend", choices=sorted(BACKENDS), default="test-dlls")
    up.add_argument("--harness")
    up.add_argument("--system-dlls", help="folder of the test DLLs to put in the system directory")
    run.add_argument("--plain-prefix", help="a prefix with Wine's own DLLs only (test-dlls backend)")
    run.add_argument("--debugger-script", help="debugged-update: the debugger's commands")
    for option in ("--exe", "--harness", "--work", "--vendor", "--fpga", "--mcu"):
        run.add_argument(option, required=True)
    args = parser.parse_args()
    # Wine takes only an absolute prefix, and the programs run from the
    # scenario's folder: every path given becomes absolute.
    for name in ("prefix", "plain_prefix", "harness", "system_dlls", "exe", "work", "fpga", "mcu"):
        if getattr(args, name, None):
            setattr(args, name, str(Path(getattr(args, name)).resolve()))
    if args.command == "prefix-up":
        return prefix_up(args)
    if args.command == "prefix-down":
        return prefix_down(args)
    return scenario(args)


if __name__ == "__main__":
    sys.exit(main())
