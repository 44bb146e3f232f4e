#!/usr/bin/env python3
"""The release package as users get it (scripts/release.sh, release/package.py).

  release_test.py reproducible --windows-build DIR --work DIR --vendor ID --fpga FILE --mcu FILE
                               [--setting NAME=VALUE...]
  release_test.py contents --windows-build DIR --work DIR --vendor ID --fpga FILE --mcu FILE
                           [--setting NAME=VALUE...]
  release_test.py placeholders --work DIR --generator NAME
  release_test.py signed --windows-build DIR --work DIR -- RUNNER ARGUMENTS...

reproducible: scripts/release.sh builds the program again in another folder,
with the same settings, and packages it; program and zip must be the same
bytes as those of the Windows build at hand, packaged here.
contents: the package holds the third-party notices and the bill of materials
beside the program, and SHA256SUMS lists every file. The notices name every
toolchain library the link drew members from; the bill of materials
validates against the CycloneDX schema (release/schema/, with Debian's
jsonschema), is the same beside the zip as inside it, and gives the SHA-256
of the program in the zip, of the images the build was given, the vendor
identifier, and each linked component's version as dpkg reports it. A link
map with one more library, which the notices do not cover, is refused.
placeholders: a build with the placeholder firmware, vendor identifier and
maker is named as such when configured and refused by the packaging unless
it is a test release, and so is one with images but not their versions; one
with other images, versions, identifier and maker is neither.
signed: the packaging signs the program with a throwaway self-signed
certificate; osslsigncode verifies the signature against it and finds it
broken once a byte of the program changes; the bill of materials gives the
signed program's SHA-256; the signed program runs under
Wine with no Kalvo present, alone (the end-to-end runner, whose arguments
follow "--") and started by the package's launcher.
Exit status 0 when the check passed.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The launcher's check, shared with the hosted CI's Windows job.
sys.dont_write_bytecode = True
sys.path.insert(0, str(ROOT / "e2e"))
import first_steps  # noqa: E402
PACKAGE = ROOT / "release" / "package.py"
RELEASE = ROOT / "scripts" / "release.sh"
PROGRAM = "kalvo-update.exe"
NOTICES = "Third-party notices.txt"
SUMS = "SHA256SUMS"
LINK_MAP = "kalvo-update.map"
# Debian's jsonschema serves Debian's interpreter, which another python3 on
# PATH may hide.
SCHEMA_CHECK = ["/usr/bin/python3", ROOT / "release" / "schema" / "validate.py"]
PLACEHOLDER_VENDOR_ID = 0x3A7C
SIGNING_PASSWORD = "throwaway"


class Failed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Failed(what)


def run(command, env=None, check=True):
    result = subprocess.run([str(x) for x in command], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if check and result.returncode != 0:
        raise Failed(f"{' '.join(map(str, command))} ended with status {result.returncode}:\n"
                     f"{result.stdout}")
    return result


def unsigned_environment():
    return {k: v for k, v in os.environ.items() if not k.startswith("KALVO_SIGN_")}


def is_test_build(build):
    return "test_release=1" in (build / "kalvo-release.txt").read_text().splitlines()


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def only_zip(folder):
    zips = sorted(folder.glob("*.zip"))
    expect(len(zips) == 1, f"{folder} holds {len(zips)} zip files, not one")
    return zips[0]


def reproducible(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    kind = ["--test-release"] if is_test_build(build) else []
    env = unsigned_environment()
    packaged = run([sys.executable, PACKAGE, "--build", build, "--out", work / "here"] + kind,
                   env=env)
    expect("NOT SIGNED" in packaged.stdout, "an unsigned package does not say so")

    # Another folder, at another depth, with another name.
    elsewhere = work / "elsewhere" / "release build"
    env.update(KALVO_RELEASE_BUILD=str(elsewhere / "build"), KALVO_DIST=str(elsewhere / "dist"))
    run(["bash", RELEASE] + kind + [f"-DKALVO_VENDOR_ID={args.vendor}",
        f"-DKALVO_FPGA_IMAGE={args.fpga}", f"-DKALVO_MCU_IMAGE={args.mcu}"]
        + [f"-D{x}" for x in args.setting], env=env)

    here, there = build / PROGRAM, elsewhere / "build" / PROGRAM
    expect(here.read_bytes() == there.read_bytes(), f"{here} and {there} differ")
    here, there = only_zip(work / "here"), only_zip(elsewhere / "dist")
    expect(here.name == there.name, f"the packages are named {here.name} and {there.name}")
    expect(here.read_bytes() == there.read_bytes(), f"{here} and {there} differ")
    print(f"{PROGRAM} and {here.name} are the same bytes from both builds")


def unpack(zip_path, into):
    """The package's files by name, and its folder once extracted into `into`."""
    with zipfile.ZipFile(zip_path) as archive:
        names = archive.namelist()
        folder = names[0].split("/")[0]
        expect(all(n.startswith(folder + "/") for n in names), f"{zip_path} is not one folder")
        archive.extractall(into)
    return {n.split("/", 1)[1]: (into / n).read_bytes() for n in names}, into / folder


def only_bom(files):
    boms = [n for n in files if n.endswith(".cdx.json")]
    expect(len(boms) == 1, f"the package holds {len(boms)} bills of materials, not one")
    return boms[0], json.loads(files[boms[0]])


def property_of(entry, name):
    return {p["name"]: p["value"] for p in entry.get("properties", [])}.get(f"kalvo:{name}")


def dpkg_version(package):
    return run(["dpkg-query", "-W", "-f", "${Version}", package]).stdout


def contents(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    kind = ["--test-release"] if is_test_build(build) else []
    run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"] + kind,
        env=unsigned_environment())
    package = only_zip(work / "dist")
    files, _ = unpack(package, work / "unpacked")
    bom_name, bom = only_bom(files)
    expect(sorted(files) == sorted([PROGRAM, first_steps.LAUNCHER, "User guide.txt", NOTICES, bom_name,
                                    SUMS]), f"the package holds {sorted(files)}")
    sums = files[SUMS].decode()
    for name, data in files.items():
        expect(name == SUMS or f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" in sums,
               f"{SUMS} does not give the SHA-256 of {name}")
    beside = work / "dist" / bom_name
    expect(beside.is_file() and beside.read_bytes() == files[bom_name],
           f"{beside} is not the bill of materials in the package")
    checked = run(SCHEMA_CHECK + [beside], check=False)
    expect(checked.returncode == 0, f"the bill of materials is not valid CycloneDX:\n"
           f"{checked.stdout}")

    program = bom["metadata"]["component"]
    expect(program["hashes"] == [{"alg": "SHA-256",
                                  "content": hashlib.sha256(files[PROGRAM]).hexdigest()}],
           f"the bill of materials gives the program as {program['hashes']}")
    vendor = int(args.vendor, 16)
    expect(property_of(program, "usb-vendor-id") == f"0x{vendor:04X}" and
           property_of(program, "usb-vendor-id-placeholder") ==
           str(vendor == PLACEHOLDER_VENDOR_ID).lower(),
           f"the bill of materials gives the vendor identifier as {program['properties']}")
    components = {c["bom-ref"]: c for c in bom["components"]}
    for kind_name, image in (("fpga", Path(args.fpga)), ("mcu", Path(args.mcu))):
        entry = components.get(f"{kind_name}-image", {})
        data = image.read_bytes()
        placeholder = data == (ROOT / "images" / f"{kind_name}.bin").read_bytes()
        expect(entry.get("name") == image.name and
               entry.get("hashes") == [{"alg": "SHA-256",
                                        "content": hashlib.sha256(data).hexdigest()}] and
               property_of(entry, "size") == str(len(data)) and
               property_of(entry, "placeholder") == str(placeholder).lower(),
               f"the bill of materials gives {image} as {entry}")

    # Every toolchain archive the link drew members from, read from the map here.
    map_text = (build / LINK_MAP).read_text()
    archives = {Path(m).name for m in re.findall(r"^(/\S+\.a)\(", map_text, re.M)}
    notices = files[NOTICES].decode()
    libraries = [c for c in bom["components"] if c["type"] == "library"]
    in_bom = {f for c in libraries for f in property_of(c, "linked-files").split()}
    for archive in sorted(archives):
        expect(re.search(rf"^  linked: .*\b{re.escape(archive)} \(", notices, re.M),
               f"the notices do not name {archive}, which the link used")
        expect(archive in in_bom, f"the bill of materials does not name {archive}")
    for name, text in (("libstdc++", "GCC RUNTIME LIBRARY EXCEPTION"),
                       ("winpthreads", "mingw-w64-libraries/winpthreads/*")):
        expect(f"\n{name}: " in notices and text in notices,
               f"the notices lack {name} or its text {text!r}")
    for library in libraries:
        package_name = property_of(library, "debian-package")
        expect(library["version"] == dpkg_version(package_name) and library.get("licenses"),
               f"the bill of materials gives {library['name']} as {library}")

    # One more library in the link: a toolchain library no component claims,
    # and one that no package installed.
    one_more = fresh(work / "one-more")
    for name in ("kalvo-release.txt", PROGRAM):
        shutil.copyfile(build / name, one_more / name)
    toolchain = Path(re.search(r"^(/\S+)/libstdc\+\+\.a\(", map_text, re.M).group(1))
    header = "Archive member included to satisfy reference by file (symbol)\n"
    for library in (toolchain / "libquadmath.a", work / "libextra.a"):
        (one_more / LINK_MAP).write_text(map_text.replace(
            header, f"{header}\n{library}(extra.o)\n{' ' * 30}main.o (extra)\n"))
        refused = run([sys.executable, PACKAGE, "--build", one_more, "--out",
                       work / "refused"] + kind, check=False)
        expect(refused.returncode == 1 and f"{library} (" in refused.stdout and
               "do not cover" in refused.stdout, f"a link with {library} in it was packaged:"
               f"\n{refused.stdout}")
    expect(not list(work.glob("refused/*")), "a refused package left files behind")
    print(f"{package.name}: {NOTICES} names {len(archives)} toolchain libraries, {bom_name} is "
          "valid CycloneDX with the package's hashes, one more library is refused")


def configure(work, name, generator, settings):
    folder = work / name
    result = run(["cmake", "-S", ROOT, "-B", folder, "-G", generator, "-DKALVO_TESTS=OFF"]
                 + settings)
    # CMake wraps its warnings: compare with the white space folded.
    return folder, " ".join(result.stdout.split())


def placeholders(args):
    work = fresh(Path(args.work))
    build, log = configure(work, "placeholders", args.generator, [])
    for what in (f"The FPGA image {ROOT}/images/fpga.bin", f"The MCU image {ROOT}/images/mcu.bin",
                 "KALVO_VENDOR_ID 0x3A7C", 'KALVO_MANUFACTURER "Example Maker (placeholder)"',
                 'The supplier "Example Maker (placeholder)"'):
        expect(f"{what} is the placeholder" in log,
               f"configuring with the placeholders does not say that {what} is one:\n{log}")
    refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"], check=False)
    expect(refused.returncode == 1, f"packaging the placeholders ended with status "
           f"{refused.returncode}:\n{refused.stdout}")
    expect("placeholder FPGA image, MCU image, vendor identifier, manufacturer, supplier"
           in refused.stdout,
           f"the refusal does not name the placeholders:\n{refused.stdout}")
    expect(not list(work.glob("dist/*")), "a refused package left files behind")

    fpga, mcu = work / "fpga.bin", work / "mcu.bin"
    fpga.write_bytes(b"kalvo" * 1000)
    mcu.write_bytes(b"m" * 4096)
    other = ["-DKALVO_VENDOR_ID=0x1234", f"-DKALVO_FPGA_IMAGE={fpga}", f"-DKALVO_MCU_IMAGE={mcu}",
             "-DKALVO_MANUFACTURER=Test Maker"]
    # Real images need their versions for the bill of materials.
    build, log = configure(work, "other", args.generator, other)
    refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"], check=False)
    expect(f"The FPGA image {fpga} has no version" in log and refused.returncode == 1 and
           "placeholder FPGA image version, MCU image version." in refused.stdout,
           f"images without versions are not named:\n{log}\n{refused.stdout}")
    build, log = configure(work, "other", args.generator, other + [
        "-DKALVO_FPGA_VERSION=1.2.3", "-DKALVO_MCU_VERSION=4.5.6"])
    expect("is the placeholder" not in log and "has no version" not in log,
           f"other images, versions, identifier and maker called placeholders:\n{log}")
    refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist",
                   "--test-release"], check=False)
    expect(refused.returncode == 1 and "does not call itself one" in refused.stdout,
           f"a build that is no test release was packaged as one:\n{refused.stdout}")
    print("placeholders named at configure time and refused unless a test release")


def signed(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    key, cert, pfx = work / "key.pem", work / "cert.pem", work / "cert.pfx"
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
         "-subj", "/CN=kalvo-update throwaway test certificate",
         "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert])
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
         "-passout", f"pass:{SIGNING_PASSWORD}"])

    env = unsigned_environment()
    env.update(KALVO_SIGN_PFX=str(pfx), KALVO_SIGN_PASSWORD=SIGNING_PASSWORD)
    kind = ["--test-release"] if is_test_build(build) else []
    packaged = run([sys.executable, PACKAGE, "--build", build, "--out", work / "dist"] + kind,
                   env=env)
    expect("Signed with" in packaged.stdout, f"the package does not say it is signed:\n"
           f"{packaged.stdout}")
    files, folder = unpack(only_zip(work / "dist"), work / "unpacked")
    program = files[PROGRAM]
    expect(f"{hashlib.sha256(program).hexdigest()}  {PROGRAM}" in files[SUMS].decode(),
           "SHA256SUMS does not list the signed program")
    expect(only_bom(files)[1]["metadata"]["component"]["hashes"][0]["content"] ==
           hashlib.sha256(program).hexdigest(),
           "the bill of materials does not give the signed program's SHA-256")
    signed_exe = work / "run" / PROGRAM
    signed_exe.parent.mkdir()
    signed_exe.write_bytes(program)
    run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed_exe])

    # The middle of the program: the built-in firmware images.
    tampered = bytearray(program)
    tampered[len(tampered) // 2] ^= 0x01
    broken = work / "tampered.exe"
    broken.write_bytes(tampered)
    result = run(["osslsigncode", "verify", "-CAfile", cert, "-in", broken], check=False)
    expect(result.returncode != 0, "osslsigncode accepts the signature of a changed program")

    run([sys.executable] + args.runner + ["--exe", signed_exe])

    # As a user starts it: the launcher in the unpacked package, a key for its
    # pause, Wine's own hid.dll and setupapi.dll; the Windows CI job runs the
    # same check on Windows.
    start = first_steps.Starter(runner_option(args, "--wine"), runner_option(args, "--plain-prefix"))
    failures, _ = first_steps.launched(folder, start)
    expect(not failures, "; ".join(failures))
    print("signed, verified, and run under Wine with no Kalvo present, alone and by the launcher")


def runner_option(args, name):
    return args.runner[args.runner.index(name) + 1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    for command in ("reproducible", "contents"):
        check = commands.add_parser(command)
        for option in ("--windows-build", "--work", "--vendor", "--fpga", "--mcu"):
            check.add_argument(option, required=True)
        # The Windows build's other settings, NAME=VALUE.
        check.add_argument("--setting", action="append", default=[])
    check = commands.add_parser("placeholders")
    check.add_argument("--work", required=True)
    check.add_argument("--generator", required=True)
    check = commands.add_parser("signed")
    check.add_argument("--windows-build", required=True)
    check.add_argument("--work", required=True)
    check.add_argument("runner", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if args.command == "signed":
        args.runner = [x for x in args.runner if x != "--"]
    try:
        {"reproducible": reproducible, "contents": contents, "placeholders": placeholders,
         "signed": signed}[args.command](args)
    except Failed as failure:
        print(f"FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
