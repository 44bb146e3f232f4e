#!/usr/bin/env python3
"""Packages a Windows build of kalvo-update for users.

  package.py --build DIR --out DIR [--test-release] [--unsigned | --signed-program FILE]
             [--no-timestamp] [--plan [-- CMAKE-ARGUMENTS...]]

--plan checks, before the build, what can be told before it (the signing
settings, the sources' commit, time and changes, the version, and the build's
facts once it is configured) and prints the version to build with:
CMAKE-ARGUMENTS' KALVO_VERSION, else, for a release, that of a tag vX.Y.Z
on the commit; else nothing (a test release's: the tree's). scripts/release.sh runs it before it
configures and again before it builds.

Takes DIR/kalvo-update.exe, what its configure step wrote about it
(DIR/kalvo-release.txt: version, whether it is a test release, which
placeholders it embeds, the images built in, the tools) and its link map
(DIR/kalvo-update.map), signs the program (release/signing.py), and writes
OUT/kalvo-update-VERSION[-unsigned]-windows-x64.zip holding one folder of that
name with the program, the launcher "Update Kalvo.cmd", the user guide, the
third-party notices (an index, and the folder of notices as their authors
wrote them), the bill of materials
(kalvo-update-VERSION[-unsigned].cdx.json, CycloneDX) and SHA256SUMS;
beside the zip, the bill of materials again and the zip's own SHA-256
(NAME.zip.sha256). VERSION is the build's, X.Y.Z; a test release's is
X.Y.Z-test+COMMIT (its first 7 hexadecimal digits). "-unsigned" marks each
name of a package made with --unsigned. A build that embeds placeholder
firmware, vendor identifier, manufacturer or supplier, has no version, or
was configured as a test release, is packaged only with --test-release, and
--test-release only such a build; a release needs to know its sources'
commit and time too, and is refused from a tree that differs from its
commit. A build whose link put in what the reviewed notices do not cover
(release/third_party.py) is not packaged. Nothing is written to OUT unless
the whole package is.

Signing: with a key in a PKCS#11 token or a PKCS#12 file given in the
environment, or elsewhere: --unsigned packages the program unsigned and says
what to sign, --signed-program FILE packages FILE once it is checked to be
the built program, signed (release/signing.py), by the publisher
(KALVO_SIGN_PUBLISHER), with SHA-256 and a time stamp (or --no-timestamp).
A release that is not a test release is refused unsigned without
--unsigned.

The zip is the same bytes for the same program and sources: fixed entry
times and attributes, a fixed order, one compressor. Exit status 0 when the
zip was written; else 1, with the reason.
"""
import argparse
import hashlib
import os
import re
import sys
import time
import zipfile
from pathlib import Path

import sbom
import protected_objects
import signing
import third_party

ROOT = Path(__file__).resolve().parent.parent
PROGRAM = "kalvo-update.exe"
FACTS = "kalvo-release.txt"
LINK_MAP = "kalvo-update.map"
NOTICES = "Third-party notices.txt"
LAUNCHER = "Update Kalvo.cmd"
GUIDE = "User guide.txt"
SUMS = "SHA256SUMS"
VERSION = re.compile(r"[0-9]+\.[0-9]+\.[0-9]+")
# How many hexadecimal digits of the commit a test release's version carries.
SHORT_COMMIT = 7
# What goes into the package, from where; text goes out with Windows line ends.
TEXT_SOURCES = {LAUNCHER: ROOT / "release" / "update-kalvo.cmd",
                GUIDE: ROOT / "USER-GUIDE.md"}
# The earliest time a zip entry can carry: no build's time goes in.
ZIP_ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
ZIP_FILE_MODE = 0o644 << 16


class Refused(Exception):
    pass


def read_facts(build):
    path = build / FACTS
    if not path.is_file():
        raise Refused(f"{path} is missing: {build} is not a configured build of kalvo-update")
    return dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)


def check_release_kind(test_build, placeholders, test_release):
    if test_build and not test_release:
        if placeholders:
            raise Refused(
                "Refusing to package: this build embeds the placeholder " + ", ".join(placeholders)
                + ". Flashed into a Kalvo, placeholder firmware leaves it without working "
                "firmware. Build with the real images, their versions, the vendor identifier, "
                "the maker's name and the release's version (KALVO_FPGA_IMAGE, KALVO_MCU_IMAGE, "
                "KALVO_FPGA_VERSION, KALVO_MCU_VERSION, KALVO_VENDOR_ID, KALVO_MANUFACTURER, "
                "KALVO_SUPPLIER, KALVO_VERSION), or make a test release (--test-release).")
        raise Refused("Refusing to package: this build is marked as a test release "
                      "(KALVO_TEST_RELEASE); give --test-release.")
    if test_release and not test_build:
        raise Refused("Refusing to package a test release of a build that does not call itself "
                      "one: configure it with -DKALVO_TEST_RELEASE=ON.")


def cmake_setting(arguments, name):
    """The value CMake arguments give a cache variable (-DNAME=VALUE or
    -DNAME:TYPE=VALUE, the last one), or None."""
    value = None
    for argument in arguments:
        found = re.fullmatch(rf"-D{name}(?::[A-Za-z]+)?=(.*)", argument, re.S)
        if found:
            value = found.group(1)
    return value


def release_version(arguments, test_release):
    """The version a release is built with: KALVO_VERSION, else a tag vX.Y.Z
    on the commit. A test release takes no tag ("": the tree's version), so
    that it is the program a development build of the commit gives."""
    given = cmake_setting(arguments, "KALVO_VERSION")
    if given:
        if not VERSION.fullmatch(given):
            raise Refused(f"Refusing: KALVO_VERSION is {given!r}, not a version X.Y.Z.")
        return given
    if test_release:
        return ""
    tags = (sbom.git(ROOT, "tag", "--points-at", "HEAD") or "").split()
    versions = sorted({t[1:] for t in tags if re.fullmatch(r"v" + VERSION.pattern, t)})
    if len(versions) > 1:
        raise Refused(f"Refusing: the commit is tagged with versions {', '.join(versions)}; "
                      "give the release's with -DKALVO_VERSION=X.Y.Z.")
    if not versions:
        raise Refused("Refusing a release without a version: give -DKALVO_VERSION=X.Y.Z, or "
                      "tag the commit vX.Y.Z.")
    return versions[0]


def sources(source_commit, test_release):
    """The sources' commit, changes and time (sbom.source_facts), refused for
    a release unless all are known and the tree is its commit, unchanged."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch and not (re.fullmatch("[0-9]+", epoch) and int(epoch) <= time.time()):
        raise Refused(f"Refusing: SOURCE_DATE_EPOCH is {epoch!r}, not the sources' time in "
                      "seconds since 1970 (UTC), up to now.")
    source = sbom.source_facts(ROOT, {"source_commit": source_commit})
    if test_release:
        return source
    unknown = [key for key in ("commit", "time") if not source[key]]
    if unknown:
        raise Refused(f"Refusing to package: the sources' {' and '.join(unknown)} cannot be told "
                      "here, and the bill of materials gives them. Package from a git checkout, "
                      "or set KALVO_SOURCE_COMMIT (CMake) and SOURCE_DATE_EPOCH.")
    if source["changes"]:
        raise Refused(f"Refusing to release a tree that is not its commit {source['commit']}: "
                      + ", ".join(source["changes"]) + " changed. Commit, or make a test "
                      "release (--test-release).")
    return source


def plan(build, test_release, unsigned, signed_program, no_timestamp, arguments):
    """What can be refused before the build: the signing, the sources, the
    version, and, once configured, the build's facts. Returns the version to
    build with ("": the tree's, as a test)."""
    signing.plan(test_release, unsigned, signed_program, no_timestamp)
    commit = cmake_setting(arguments, "KALVO_SOURCE_COMMIT")
    sources(os.environ.get("KALVO_SOURCE_COMMIT", "") if commit is None else commit,
            test_release)
    version = release_version(arguments, test_release)
    if (build / FACTS).is_file():
        facts = read_facts(build)
        check_release_kind(facts["test_release"] == "1",
                           [x for x in facts.get("placeholders", "").split(",") if x],
                           test_release)
    return version


def windows_text(path):
    return path.read_text(encoding="utf-8").replace("\r\n", "\n").replace("\n", "\r\n").encode()


def write_zip(path, folder, files):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(f"{folder}/{name}", date_time=ZIP_ENTRY_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 0
            entry.external_attr = ZIP_FILE_MODE
            archive.writestr(entry, data, compresslevel=9)


def linked_components(build):
    link_map = build / LINK_MAP
    if not link_map.is_file():
        raise Refused(f"{link_map} is missing: the link of kalvo-update.exe writes it; "
                      "build the kalvo-update target again")
    try:
        return third_party.link_components(link_map, build, read_facts(build))
    except third_party.Uncovered as uncovered:
        raise Refused(f"Refusing to package: {uncovered}")


def package(build, out, test_release, unsigned=False, signed_program=None,
            no_timestamp=False):
    facts = read_facts(build)
    placeholders = [x for x in facts.get("placeholders", "").split(",") if x]
    check_release_kind(facts["test_release"] == "1", placeholders, test_release)
    signing_plan = signing.plan(test_release, unsigned, signed_program, no_timestamp)
    source = sources(facts.get("source_commit"), test_release)
    version = facts["version"]
    if test_release and source["commit"]:
        version += f"+{source['commit'][:SHORT_COMMIT]}"
    facts = {**facts, "version": version}
    program = build / PROGRAM
    if not program.is_file():
        raise Refused(f"{program} is missing: build the kalvo-update target first")
    link = linked_components(build)
    unprotected, _, _ = protected_objects.unprotected(build)
    if unprotected:
        raise Refused("Refusing to package a program with objects of the project's compiled "
                      "without -fstack-protector-strong: " + "; ".join(unprotected))
    # What is not yet the release says so in every name it is given.
    kind = "-unsigned" if signing_plan.how == "unsigned" else ""
    name = f"kalvo-update-{version}{kind}-windows-x64"
    bom_name = f"kalvo-update-{version}{kind}.cdx.json"

    signed = signing.sign(program, signing_plan)
    files = [(PROGRAM, signed.program)]
    files += [(target, windows_text(source)) for target, source in TEXT_SOURCES.items()]
    notices = third_party.notices_text(PROGRAM, version, link.components)
    files.append((NOTICES, notices.replace("\n", "\r\n").encode()))
    # The notices themselves go out byte for byte as their authors wrote them.
    files += [(f"{third_party.NOTICES_FOLDER}/{name}", data)
              for name, data in third_party.notice_files(link.components).items()]
    bom = sbom.bill_of_materials(facts, source, PROGRAM, signed.built, signed.program, link,
                                 signed.tool)
    files.append((bom_name, bom))
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {n}\r\n" for n, data in files)
    files.append((SUMS, sums.encode()))

    out.mkdir(parents=True, exist_ok=True)
    zip_path = out / f"{name}.zip"
    # Written aside and renamed into place once whole: a package cut short
    # leaves nothing under its name.
    partial = [out / f".{name}.zip.partial", out / f".{name}.sha256.partial",
               out / f".{bom_name}.partial"]
    try:
        write_zip(partial[0], name, files)
        zip_sha256 = hashlib.sha256(partial[0].read_bytes()).hexdigest()
        partial[1].write_text(f"{zip_sha256}  {zip_path.name}\n")
        partial[2].write_bytes(bom)
        for written, final in zip(partial, (zip_path, out / f"{name}.zip.sha256",
                                            out / bom_name)):
            written.replace(final)
    finally:
        for written in partial:
            written.unlink(missing_ok=True)

    print(signed.note)
    if test_release:
        print("TEST RELEASE: not for general use"
              + (" (placeholder " + ", ".join(placeholders) + ")." if placeholders else "."))
    for n, data in files:
        print(f"  {n}: {len(data)} bytes, SHA-256 {hashlib.sha256(data).hexdigest()}")
    print("Linked in: " + ", ".join(f"{x.component.name} {x.release.version}"
                                    for x in link.components))
    print(f"Package: {zip_path} ({zip_path.stat().st_size} bytes, SHA-256 {zip_sha256})")
    print(f"Bill of materials: {out / bom_name}")
    if source["changes"]:
        print(f"MODIFIED TREE: not the commit {source['commit']}; changed: "
              + ", ".join(source["changes"]) + ".")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    parser.add_argument("--test-release", action="store_true")
    elsewhere = parser.add_mutually_exclusive_group()
    elsewhere.add_argument("--unsigned", action="store_true")
    elsewhere.add_argument("--signed-program", type=Path, metavar="FILE", action="append")
    parser.add_argument("--no-timestamp", action="store_true")
    parser.add_argument("--plan", action="store_true")
    parser.add_argument("cmake_arguments", nargs="*")
    args = parser.parse_args()
    try:
        if args.signed_program and len(args.signed_program) > 1:
            raise Refused("Refusing: --signed-program is given "
                          f"{len(args.signed_program)} times; give the one signed program.")
        signed_program = args.signed_program[0] if args.signed_program else None
        if args.plan:
            print(plan(args.build.resolve(), args.test_release, args.unsigned, signed_program,
                       args.no_timestamp, args.cmake_arguments))
            return 0
        package(args.build.resolve(), args.out.resolve(), args.test_release, args.unsigned,
                signed_program, args.no_timestamp)
    except (Refused, signing.Refused) as refusal:
        print(refusal, file=sys.stderr)
        if not args.plan:
            print(f"Nothing was written to {args.out}.", file=sys.stderr)
        return 1
    except OSError as problem:
        print(f"Could not package: {problem}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
