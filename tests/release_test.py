#!/usr/bin/env python3
"""The release package as users get it (scripts/release.sh, release/package.py).

  release_test.py reproducible --windows-build DIR --work DIR --vendor ID --fpga FILE --mcu FILE
                               [--setting NAME=VALUE...]
  release_test.py contents --windows-build DIR --work DIR --vendor ID --fpga FILE --mcu FILE
                           [--setting NAME=VALUE...]
  release_test.py placeholders --work DIR --generator NAME
  release_test.py signed --windows-build DIR --work DIR -- RUNNER ARGUMENTS...

reproducible: scripts/release.sh builds the program again in another folder,
where an earlier release's settings were configured, with the same settings,
and packages it; program and zip must be the same bytes as those of the
Windows build at hand, packaged here.
contents: the package holds the third-party notices (the index and the
notices themselves) and the bill of materials beside the program, and
SHA256SUMS lists every file. The index names every toolchain library the
link drew members from, with their number, and every notice in the package,
each the same bytes as release/notices/ keeps it. The bill of materials is
valid for the CycloneDX project's library (which calls a corrupted copy
invalid), is the same beside the zip as inside it, and gives the SHA-256 of
the program in the zip, of the images the build was given with their
versions, the vendor identifier, the supplier, manufacturer and author the
settings name, the sources' time (SOURCE_DATE_EPOCH) and commit, a purl for
the program and a distinct one for each library, with the Debian release,
each linked component's version as dpkg reports it with one licence
expression, and the dependencies the link map's cross references show;
packaged with another time, its serial number changes. A link map with one
more library or member that the notices do not cover is refused, and so are a
map without cross references (LLD's) and a package version whose notices were
not reviewed. The version, a test
release's with its commit, names the zip and the bill; a package made
--unsigned says so in each name; a release of a checkout with changes is
refused naming them, and a test release ends saying so.
placeholders: a development build names its placeholders in one line, a
release's build warns of each; a build with the placeholder firmware, vendor
identifier, maker and no version is refused by the packaging unless it is a
test release, and so is one with images but not their versions; one with
other images, versions, identifier, maker and version is neither, is refused
unsigned unless --unsigned says so, signed without its publisher or with a
malformed one, with --signed-program twice, with a SOURCE_DATE_EPOCH that is
no time, and without its sources' commit, time or version.
signed: a throwaway CA issues the publisher's code-signing certificate,
another's, and a time-stamping authority's, served on a loopback port
(openssl ts); the program is packaged signed in each way there is: with the
key in a SoftHSM2 token (PKCS#11) and a time stamp, with a PKCS#12 file, and
signed by osslsigncode outside the packaging and taken back, each held to
the publisher (KALVO_SIGN_PUBLISHER) but the test release's PKCS#12 one.
Each signature verifies against the CA, and no longer once a byte of the
program changes; SHA256SUMS and the bill of materials give the signed
program's SHA-256, and the bill the unsigned one's as its ancestor. A copy
taken back unsigned, with a byte changed outside its signature and signed
again, with its signature broken, signed by another (carrying the
publisher's certificate too or not), with SHA-1, twice, without a time
stamp or with a stranger's is refused, and so is signing in
the token with another's certificate, without a time stamp, without the PIN
or with a wrong one, each saying why and leaving the package's folder as it
was. The program signed in the token runs under Wine with no Kalvo present,
alone (the end-to-end runner, whose arguments follow "--") and started by
the package's launcher.
Exit status 0 when the check passed.
"""
import argparse
import dataclasses
import hashlib
import http.server
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
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
NOTICES_FOLDER = "Third-party notices"
SUMS = "SHA256SUMS"
LINK_MAP = "kalvo-update.map"
# The CycloneDX project's library, as scripts/install-deps.sh installs it.
VALIDATE = ["node", ROOT / "release" / "cyclonedx" / "validate.cjs"]
# The sources' time the contents check packages with (SOURCE_DATE_EPOCH).
SOURCE_DATE = 1700000000
PLACEHOLDER_VENDOR_ID = 0x3A7C
SIGNING_PASSWORD = "throwaway"
TOKEN, TOKEN_PIN, TOKEN_KEY = "kalvo-update-test", "1234", "signing-key"
# The throwaway CA and the certificate it issues for code signing.
CERTIFICATES = """[req]
distinguished_name = name
[name]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[tsa]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
"""


# How the throwaway time-stamping authorities answer (openssl ts -reply).
TSA_CONFIG = """[tsa]
default_tsa = throwaway
[throwaway]
serial = {serial}
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""


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


def read_facts(build):
    return dict(line.split("=", 1) for line in (build / "kalvo-release.txt").read_text()
                .splitlines() if "=" in line)


def is_test_build(build):
    return read_facts(build)["test_release"] == "1"


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
    kind = ["--test-release"] if is_test_build(build) else ["--unsigned"]
    env = unsigned_environment()
    packaged = run([sys.executable, PACKAGE, "--build", build, "--out", work / "here"] + kind,
                   env=env)
    expect("NOT SIGNED" in packaged.stdout, "an unsigned package does not say so")

    # Another folder, at another depth, with another name, where an earlier
    # release was configured with settings of its own: none of them may last.
    elsewhere = work / "elsewhere" / "release build"
    run(["cmake", "-S", ROOT, "-B", elsewhere / "build", "-G", "Ninja", "-DKALVO_E2E=OFF",
         f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'mingw-w64-x86_64.cmake'}",
         "-DKALVO_VERSION=9.9.9", "-DKALVO_SUPPLIER=An earlier release's supplier"])
    env.update(KALVO_RELEASE_BUILD=str(elsewhere / "build"), KALVO_DIST=str(elsewhere / "dist"))
    run(["bash", RELEASE] + kind + [f"-DKALVO_VENDOR_ID={args.vendor}",
        f"-DKALVO_FPGA_IMAGE={args.fpga}", f"-DKALVO_MCU_IMAGE={args.mcu}"]
        + [f"-D{x}" for x in args.setting if not x.endswith("=")], env=env)

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


def package_build(build, out, kind, **env):
    environment = unsigned_environment()
    environment.update(env)
    run([sys.executable, PACKAGE, "--build", build, "--out", out] + kind, env=environment)
    return only_zip(out)


def contents(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    kind = ["--test-release"] if is_test_build(build) else ["--unsigned"]
    package = package_build(build, work / "dist", kind, SOURCE_DATE_EPOCH=str(SOURCE_DATE))
    files, _ = unpack(package, work / "unpacked")
    bom_name, bom = only_bom(files)
    notice_files = sorted(n for n in files if n.startswith(f"{NOTICES_FOLDER}/"))
    expect(sorted(files) == sorted([PROGRAM, first_steps.LAUNCHER, "User guide.txt", NOTICES,
                                    bom_name, SUMS] + notice_files),
           f"the package holds {sorted(files)}")
    sums = files[SUMS].decode()
    for name, data in files.items():
        expect(name == SUMS or f"{hashlib.sha256(data).hexdigest()}  {name}\r\n" in sums,
               f"{SUMS} does not give the SHA-256 of {name}")
    beside = work / "dist" / bom_name
    expect(beside.is_file() and beside.read_bytes() == files[bom_name],
           f"{beside} is not the bill of materials in the package")
    # The validator, and that it finds a fault: a component of no CycloneDX type.
    corrupted = work / "corrupted.cdx.json"
    corrupted.write_text(json.dumps({**bom, "components": [
        {**bom["components"][0], "type": "gadget"}] + bom["components"][1:]}))
    for document, valid in ((beside, True), (corrupted, False)):
        checked = run(VALIDATE + [document], check=False)
        expect((checked.returncode == 0) == valid, f"the CycloneDX library calls {document} "
               f"{'in' if checked.returncode else ''}valid:\n{checked.stdout}")

    map_text = (build / LINK_MAP).read_text()
    settings = dict(x.split("=", 1) for x in args.setting)
    check_bill(args, build, bom, files[PROGRAM], settings, map_text)
    version = bom["metadata"]["component"]["version"]
    expect(package.name == f"kalvo-update-{version}-windows-x64.zip" and
           bom_name == f"kalvo-update-{version}.cdx.json",
           f"version {version} packaged as {package.name} with {bom_name}")
    archives = check_notices(files, map_text, bom)

    # Another time of the sources: another bill, another serial number; and
    # unsigned on purpose, a name no one takes for the release's.
    unsigned = [] if "--unsigned" in kind else ["--unsigned"]
    again = package_build(build, work / "again", kind + unsigned,
                          SOURCE_DATE_EPOCH=str(SOURCE_DATE + 1))
    other_bom = only_bom(unpack(again, work / "again-unpacked")[0])[1]
    expect(other_bom["metadata"]["component"]["hashes"] == bom["metadata"]["component"]["hashes"]
           and other_bom["serialNumber"] != bom["serialNumber"],
           "two bills of materials of one program share a serial number, or differ in its "
           f"hash: {bom['serialNumber']}, {other_bom['serialNumber']}")
    written = sorted(x.name for x in (work / "again").iterdir())
    expect(len(written) == 3 and all("-unsigned" in x for x in written),
           f"packaged with --unsigned, the package is written as {written}")
    check_modified_tree(build, work, kind)
    check_refusals(build, work, kind, map_text)
    print(f"{package.name}: {NOTICES} names {len(archives)} toolchain libraries and "
          f"{len(notice_files)} notices; {bom_name} is valid CycloneDX with the package's "
          "hashes, makers and dependencies; what the notices do not cover is refused")


def check_modified_tree(build, work, kind):
    """The packaging in a checkout of its own with a change not committed: a
    release refused before it is built, naming the file, and a test release
    saying so on its last line."""
    tree = fresh(work / "tree")
    shutil.copytree(ROOT / "release", tree / "release",
                    ignore=shutil.ignore_patterns("cyclonedx", "__pycache__"))
    shutil.copyfile(ROOT / "USER-GUIDE.md", tree / "USER-GUIDE.md")
    git = ["git", "-C", tree, "-c", "user.name=Release test", "-c", "user.email=test@invalid"]
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "The release"],
                    ["tag", "v2.0.0"]):
        run(git + command)
    # The tag is a release's version, not a test release's.
    for kind_planned, version in (["--unsigned"], "2.0.0"), (["--test-release"], ""):
        planned = run([sys.executable, tree / "release" / "package.py", "--build", work / "none",
                       "--out", work / "modified", "--plan"] + kind_planned,
                      env=unsigned_environment())
        expect(planned.stdout.strip() == version, f"planned with {kind_planned} on a commit "
               f"tagged v2.0.0, the version is {planned.stdout.strip()!r}")
    with (tree / "USER-GUIDE.md").open("a") as guide:
        guide.write("A change not committed.\n")
    package = [sys.executable, tree / "release" / "package.py", "--build", build, "--out",
               work / "modified"]
    refused = run(package + ["--unsigned", "--plan", "--", "-DKALVO_VERSION=1.4.0"],
                  env=unsigned_environment() | {"SOURCE_DATE_EPOCH": str(SOURCE_DATE)},
                  check=False)
    expect(refused.returncode == 1 and "not its commit" in refused.stdout and
           "USER-GUIDE.md changed" in refused.stdout,
           f"a release of a changed tree was not refused:\n{refused.stdout}")
    if kind == ["--test-release"]:
        packaged = run(package + kind, env=unsigned_environment())
        expect(packaged.stdout.splitlines()[-1].startswith("MODIFIED TREE:") and
               "USER-GUIDE.md" in packaged.stdout.splitlines()[-1],
               f"a test release of a changed tree does not end saying so:\n{packaged.stdout}")


def check_bill(args, build, bom, program_bytes, settings, map_text):
    metadata, program = bom["metadata"], bom["metadata"]["component"]
    expect(program["hashes"] == [{"alg": "SHA-256",
                                  "content": hashlib.sha256(program_bytes).hexdigest()}],
           f"the bill of materials gives the program as {program['hashes']}")
    vendor = int(args.vendor, 16)
    expect(property_of(program, "usb-vendor-id") == f"0x{vendor:04X}" and
           property_of(program, "usb-vendor-id-placeholder") ==
           str(vendor == PLACEHOLDER_VENDOR_ID).lower(),
           f"the bill of materials gives the vendor identifier as {program['properties']}")
    # Who made it, when, from which commit.
    maker = {"name": settings["KALVO_MANUFACTURER"]}
    supplier = {"name": settings["KALVO_SUPPLIER"] or maker["name"]}
    commit = run(["git", "-C", ROOT, "rev-parse", "HEAD"], check=False).stdout.strip() \
        if (ROOT / ".git").exists() else settings["KALVO_SOURCE_COMMIT"]
    # A test release's version names its commit.
    facts = read_facts(build)
    version = facts["version"] + (f"+{commit[:7]}" if facts["test_release"] == "1" and commit
                                  else "")
    for what, found, wanted in (
            ("supplier", (metadata.get("supplier"), program.get("supplier")), (supplier,) * 2),
            ("manufacturer", (metadata.get("manufacturer"), program.get("manufacturer")),
             (maker,) * 2),
            ("author", metadata.get("authors"), [maker]),
            ("time", metadata.get("timestamp"), time.strftime(
                "%Y-%m-%dT%H:%M:%SZ", time.gmtime(SOURCE_DATE))),
            ("program's version", program.get("version"), version),
            ("program's purl", program.get("purl"),
             f"pkg:generic/kalvo-update@{version.replace('+', '%2B')}"),
            ("source commit", property_of(program, "source-commit"), commit or None),
            ("tool that wrote it", [t["name"] for t in metadata["tools"]["components"]],
             ["kalvo-update packaging"])):
        expect(found == wanted, f"the bill of materials gives the {what} as {found!r}, not "
               f"{wanted!r}")

    components = {c["bom-ref"]: c for c in bom["components"]}
    for kind_name, image in (("fpga", Path(args.fpga)), ("mcu", Path(args.mcu))):
        entry = components.get(f"{kind_name}-image", {})
        data = image.read_bytes()
        placeholder = data == (ROOT / "images" / f"{kind_name}.bin").read_bytes()
        expect(entry.get("name") == image.name and
               entry.get("version") == facts[f"{kind_name}_version"] and
               entry.get("hashes") == [{"alg": "SHA-256",
                                        "content": hashlib.sha256(data).hexdigest()}] and
               property_of(entry, "size") == str(len(data)) and
               property_of(entry, "placeholder") == str(placeholder).lower(),
               f"the bill of materials gives {image} as {entry}")

    libraries = [c for c in bom["components"] if c["type"] == "library"]
    distro = "debian-" + platform.freedesktop_os_release()["VERSION_ID"]
    expect(len({c["purl"] for c in libraries}) == len(libraries) and
           all(f"distro={distro}" in c["purl"] for c in libraries),
           f"the libraries' purls are not distinct, or lack distro={distro}: "
           f"{[c['purl'] for c in libraries]}")
    for library in libraries:
        package_name = property_of(library, "debian-package")
        expect(library["version"] == dpkg_version(package_name) and
               len(library.get("licenses", [])) == 1 and "expression" in library["licenses"][0],
               f"the bill of materials gives {library['name']} as {library}")

    # Who uses whom, read here from the map's cross references: the program's
    # own objects lie in the build folder, the toolchain's files are named by
    # each library's linked files.
    owner = {f: c["bom-ref"] for c in libraries for f in property_of(c, "linked-files").split()}

    def component_of(path):
        return owner[Path(re.sub(r"\(.*\)$", "", path)).name] if path.startswith("/") \
            else "kalvo-update"

    uses = {ref: set() for ref in ["kalvo-update"] + list(components)}
    uses["kalvo-update"] |= {c for c in components if c.endswith("-image")}
    uses["kalvo-update"] |= {component_of(p) for p in re.findall(r"^LOAD (/\S+\.o)$", map_text,
                                                                   re.M)}
    definer = None
    for line in map_text.split("Cross Reference Table", 1)[1].splitlines()[3:]:
        if line[:1].strip():
            definer = component_of(line.split(None, 1)[1].strip()) if " " in line else None
        elif line.strip() and definer not in (None, "kalvo-update"):
            user = component_of(line.strip())
            if user != definer:
                uses[user].add(definer)
    found = {d["ref"]: set(d["dependsOn"]) for d in bom["dependencies"]}
    expect(found == uses, f"the bill of materials gives the dependencies as {found}, the "
           f"link map as {uses}")


def check_notices(files, map_text, bom):
    """Every toolchain archive and the number of members the link drew from it named, each
    notice the index names in the package as release/notices/ keeps it, and none other;
    returns the archives."""
    archives = {}
    for path, member in set(re.findall(r"^(/\S+\.a)\((.+?)\)", map_text, re.M)):
        archives[Path(path).name] = archives.get(Path(path).name, 0) + 1
    index = files[NOTICES].decode().replace("\r\n", "\n")
    for archive, members in sorted(archives.items()):
        expect(re.search(rf"\b{re.escape(archive)}\s+\({members}\s+members?\)", index),
               f"the notices do not name {archive} with its {members} members")
    for library in (c for c in bom["components"] if c["type"] == "library"):
        expect(f"\n  {library['name']:<14} {library['licenses'][0]['expression']}\n" in index,
               f"the notices do not give {library['name']} the licence of the bill of materials")
    named = set(re.findall(rf"^ +(?:notices: +)?({re.escape(NOTICES_FOLDER)}/.+)$", index, re.M))
    shipped = {n for n in files if n.startswith(f"{NOTICES_FOLDER}/")}
    expect(named == shipped, f"the notices name {sorted(named)}, the package holds "
           f"{sorted(shipped)}")
    for name in shipped:
        kept = ROOT / "release" / "notices" / name.split("/", 1)[1]
        expect(kept.is_file() and kept.read_bytes() == files[name],
               f"{name} is not {kept} unchanged")
    for name, file, text in (("libstdc++", "/COPYING.RUNTIME", "GCC RUNTIME LIBRARY EXCEPTION"),
                             ("winpthreads", "/winpthreads/COPYING", "Lockless Inc.")):
        expect(f"\n{name}: " in index and any(n.endswith(file) and text in files[n].decode()
                                               for n in shipped),
               f"the notices lack {name} or its text {text!r}")
    return archives


def check_refusals(build, work, kind, map_text):
    """One more input in the link that the notices do not cover: a toolchain library no
    component claims, one that no package installed, a library that CMake's FetchContent
    built into the build folder, a member of a reviewed library whose source was not read;
    a map without cross references, as LLD writes; and a package version whose notices
    were not reviewed."""
    one_more = fresh(work / "one-more")
    for name in ("kalvo-release.txt", PROGRAM):
        shutil.copyfile(build / name, one_more / name)
    toolchain = Path(re.search(r"^(/\S+)/libstdc\+\+\.a\(", map_text, re.M).group(1))
    mingwex = re.search(r"^(/\S+/libmingwex\.a)\(", map_text, re.M).group(1)
    header = "Archive member included to satisfy reference by file (symbol)\n"
    for member, named in ((f"{toolchain}/libquadmath.a(extra.o)", f"{toolchain}/libquadmath.a ("),
                          (f"{work}/libextra.a(extra.o)", f"{work}/libextra.a ("),
                          ("_deps/zlib-build/libzlibstatic.a(deflate.c.obj)",
                           "_deps/zlib-build/libzlibstatic.a(deflate.c.obj): in the build folder"),
                          (f"{mingwex}(lib64_libmingwex_a-getopt.o)",
                           "libmingwex.a(lib64_libmingwex_a-getopt.o): a part of mingw-w64-crt")):
        (one_more / LINK_MAP).write_text(map_text.replace(
            header, f"{header}\n{member}\n{' ' * 30}main.o (extra)\n"))
        refused = run([sys.executable, PACKAGE, "--build", one_more, "--out",
                       work / "refused"] + kind, check=False)
        expect(refused.returncode == 1 and named in refused.stdout and
               "do not cover" in refused.stdout, f"a link with {member} in it was packaged:"
               f"\n{refused.stdout}")
    # A map without the cross reference table, as LLD writes one (clang's toolchain).
    (one_more / LINK_MAP).write_text(map_text[:map_text.index("Cross Reference Table")])
    refused = run([sys.executable, PACKAGE, "--build", one_more, "--out", work / "refused"]
                  + kind, check=False)
    expect(refused.returncode == 1 and "a release is linked by GNU ld" in refused.stdout,
           f"a link map without cross references was packaged:\n{refused.stdout}")
    # An object of the project's compiled without stack protection, as the
    # compile commands show it.
    (one_more / LINK_MAP).write_text(map_text)
    commands = json.loads((build / "compile_commands.json").read_text())
    for entry in commands:
        if entry["file"].endswith("hid/device_discovery.cpp"):
            entry["command"] += " -fno-stack-protector"
    (one_more / "compile_commands.json").write_text(json.dumps(commands))
    shutil.copytree(build / "CMakeFiles", one_more / "CMakeFiles", dirs_exist_ok=True)
    refused = run([sys.executable, PACKAGE, "--build", one_more, "--out", work / "refused"]
                  + kind, check=False)
    expect(refused.returncode == 1 and
           "device_discovery.cpp.obj): compiled with -fno-stack-protector" in refused.stdout,
           f"an object compiled without stack protection was packaged:\n{refused.stdout}")
    expect(not list(work.glob("refused/*")), "a refused package left files behind")

    sys.path.insert(0, str(ROOT / "release"))
    import reviewed
    import third_party
    crt = next(c for c in reviewed.COMPONENTS if c.name == "mingw-w64-crt")
    installed = dpkg_version(crt.releases[0].package)
    reviewed.COMPONENTS = tuple(dataclasses.replace(c, releases=tuple(
        r for r in c.releases if r.version != installed)) if c is crt else c
        for c in reviewed.COMPONENTS)
    try:
        third_party.link_components(build / LINK_MAP, build.resolve(), read_facts(build))
        expect(False, f"mingw-w64-crt {installed}, its notices not reviewed, was accepted")
    except third_party.Uncovered as refusal:
        expect(f"mingw-w64-crt comes from {crt.releases[0].package} {installed}, whose notices "
               "were not reviewed" in str(refusal), f"the refusal does not name mingw-w64-crt "
               f"{installed}:\n{refusal}")


def configure(work, name, generator, settings):
    """The Windows program's build configured, as scripts/release.sh does it."""
    folder = work / name
    result = run(["cmake", "-S", ROOT, "-B", folder, "-G", generator, "-DKALVO_E2E=OFF",
                  f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'mingw-w64-x86_64.cmake'}"]
                 + settings)
    # CMake wraps its warnings: compare with the white space folded.
    return folder, " ".join(result.stdout.split())


def package_refusals(build, work, rows):
    """Each row (options, settings, what the refusal says) refused by the
    packaging, saying so, and leaving nothing behind. The packaging runs from
    a copy of release/ outside any checkout: the sources are the commit the
    build names, whatever this tree's changes."""
    for options, settings, said in rows:
        refused = run([sys.executable, work / "bare" / "release" / "package.py", "--build", build,
                       "--out", work / "dist"]
                      + options, env=unsigned_environment() | settings, check=False)
        expect(refused.returncode == 1 and all(x in refused.stdout for x in said) and
               "Traceback" not in refused.stdout,
               f"packaging with {options} and {settings} does not refuse with {said}:\n"
               f"{refused.stdout}")
    expect(not list(work.glob("dist/*")), "a refused package left files behind")


def placeholders(args):
    work = fresh(Path(args.work))
    bare = work / "bare" / "release"
    shutil.copytree(ROOT / "release", bare, ignore=shutil.ignore_patterns("cyclonedx", "notices"))
    everything = ["version", "FPGA image", "MCU image", "vendor identifier", "manufacturer",
                  "supplier"]
    # A development build names its placeholders in one line; a release's
    # build warns of each.
    build, log = configure(work, "placeholders", args.generator, [])
    expect(f"Test build, not for release: placeholder {', '.join(everything)} " in log and
           "is the placeholder" not in log,
           f"a development build does not name its placeholders in one line:\n{log}")
    build, log = configure(work, "placeholders", args.generator, ["-DKALVO_RELEASE=ON"])
    for what in ("KALVO_VERSION is not given", f"The FPGA image {ROOT}/images/fpga.bin is the "
                 "placeholder", f"The MCU image {ROOT}/images/mcu.bin is the placeholder",
                 "KALVO_VENDOR_ID 0x3A7C is the placeholder",
                 'KALVO_MANUFACTURER "Example Maker (placeholder)" is the placeholder',
                 'The supplier "Example Maker (placeholder)" is the placeholder'):
        expect(what in log, f"configuring a release with the placeholders does not say "
               f"{what!r}:\n{log}")
    package_refusals(build, work, [([], {}, ["placeholder " + ", ".join(everything)])])

    fpga, mcu = work / "fpga.bin", work / "mcu.bin"
    fpga.write_bytes(b"kalvo" * 1000)
    mcu.write_bytes(b"m" * 4096)
    # The sources' commit and time given, so that the rows below reach what
    # they are about in a tree without .git too (a hosted checkout, a clean
    # room); a git checkout's own commit wins.
    other = ["-DKALVO_VENDOR_ID=0x1234", f"-DKALVO_FPGA_IMAGE={fpga}", f"-DKALVO_MCU_IMAGE={mcu}",
             "-DKALVO_MANUFACTURER=Test Maker", f"-DKALVO_SOURCE_COMMIT={'0' * 40}",
             "-DKALVO_VERSION=1.4.0"]
    dated = {"SOURCE_DATE_EPOCH": str(SOURCE_DATE)}
    # Real images need their versions for the bill of materials.
    build, log = configure(work, "other", args.generator, other + ["-DKALVO_RELEASE=ON"])
    expect(f"The FPGA image {fpga} has no version" in log, f"an image without its version is "
           f"not named:\n{log}")
    package_refusals(build, work, [([], {}, ["placeholder FPGA image version, MCU image "
                                             "version."])])
    build, log = configure(work, "other", args.generator, other + [
        "-DKALVO_FPGA_VERSION=1.2.3", "-DKALVO_MCU_VERSION=4.5.6"])
    expect("is the placeholder" not in log and "has no version" not in log and
           "Test build" not in log,
           f"other images, versions, identifier and maker called placeholders:\n{log}")
    # Refused as a test release, unsigned unless on purpose, and signed only
    # by a publisher it knows (then on to the program, which this configured
    # build lacks); a time and an option it cannot take.
    pfx = {"KALVO_SIGN_PFX": str(work / "none.pfx")}
    package_refusals(build, work, [
        (["--test-release"], dated, ["does not call itself one"]),
        ([], dated, ["without a signature", "--unsigned", "--signed-program FILE"]),
        (["--unsigned"], dated, ["is missing"]),
        ([], dated | pfx, ["without knowing its publisher", "KALVO_SIGN_PUBLISHER"]),
        ([], dated | pfx | {"KALVO_SIGN_PUBLISHER": "AB:CD"},
         ["KALVO_SIGN_PUBLISHER is 'AB:CD', not a SHA-256 fingerprint"]),
        ([], dated | pfx | {"KALVO_SIGN_PUBLISHER": "ab" * 32},
         [f"KALVO_SIGN_PFX names the PKCS#12 file {pfx['KALVO_SIGN_PFX']} that cannot be "
          "read"]),
        (["--signed-program", fpga, "--signed-program", mcu], dated,
         ["--signed-program is given 2 times"]),
        (["--unsigned"], {"SOURCE_DATE_EPOCH": "yesterday"}, ["SOURCE_DATE_EPOCH is 'yesterday'"]),
        (["--unsigned"], {"SOURCE_DATE_EPOCH": "-5"}, ["SOURCE_DATE_EPOCH is '-5'"])])
    # A release gives its sources' commit and time, and its version: planned
    # or packaged from a tree that cannot tell them, it is refused.
    for command, settings, said in (
            (["--build", build, "--unsigned"], {"SOURCE_DATE_EPOCH": ""}, "time cannot be told"),
            (["--build", work / "none", "--unsigned", "--plan", "--", "-DKALVO_SOURCE_COMMIT=0"],
             dated, "without a version: give -DKALVO_VERSION=X.Y.Z, or tag the commit"),
            (["--build", work / "none", "--unsigned", "--plan", "--", "-DKALVO_VERSION=1.4",
              "-DKALVO_SOURCE_COMMIT=0"], dated, "KALVO_VERSION is '1.4', not a version")):
        refused = run([sys.executable, bare / "package.py", "--out", work / "dist"] + command,
                      env=unsigned_environment() | settings, check=False)
        expect(refused.returncode == 1 and said in refused.stdout,
               f"{command} was not refused with {said!r}:\n{refused.stdout}")
    print("placeholders named at configure time and refused unless a test release; a release "
          "refused unsigned unless --unsigned, without its publisher, version, commit or time")


def throwaway_signer(work):
    """A throwaway CA and what it issued: the publisher's code-signing
    certificate, another's, and a time-stamping authority's; and a stranger's
    time-stamping certificate that no CA issued. Each a (certificate, key)."""
    conf = work / "certificates.cnf"
    conf.write_text(CERTIFICATES)
    ca, ca_key = work / "ca.pem", work / "ca.key"
    run(["openssl", "req", "-x509", "-config", conf, "-extensions", "ca", "-newkey", "rsa:2048",
         "-nodes", "-days", "1", "-subj", "/CN=kalvo-update throwaway test CA", "-keyout", ca_key,
         "-out", ca])
    issued = {}
    for serial, (name, subject, extensions) in enumerate((
            ("signer", "kalvo-update throwaway test signer", "signer"),
            ("other", "Unrelated Ltd throwaway signer", "signer"),
            ("tsa", "kalvo-update throwaway time stamps", "tsa"),
            ("stranger", "Stranger's time stamps", "tsa")), start=2):
        cert, key, csr = (work / f"{name}{x}" for x in (".pem", ".key", ".csr"))
        if name == "stranger":
            run(["openssl", "req", "-x509", "-config", conf, "-extensions", extensions,
                 "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", f"/CN={subject}",
                 "-keyout", key, "-out", cert])
        else:
            run(["openssl", "req", "-new", "-config", conf, "-newkey", "rsa:2048", "-nodes",
                 "-subj", f"/CN={subject}", "-keyout", key, "-out", csr])
            run(["openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key,
                 "-set_serial", str(serial), "-days", "1", "-extfile", conf, "-extensions",
                 extensions, "-out", cert])
        issued[name] = cert, key
    return ca, issued


def time_stamps(work, issued, ca):
    """RFC 3161 time stamps over HTTP on a loopback port, as a signing tool
    asks for them: http://127.0.0.1:PORT/NAME answered by openssl ts -reply
    with the time-stamping certificate `issued` names NAME. Returns the
    server, shut down by the caller."""
    config = work / "tsa.cnf"
    config.write_text(TSA_CONFIG.format(serial=work / "tsa.serial"))
    (work / "tsa.serial").write_text("01\n")
    lock = threading.Lock()

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            cert, key = issued[self.path.strip("/")]
            query = self.rfile.read(int(self.headers["Content-Length"]))
            with lock, tempfile.TemporaryDirectory() as folder:
                (Path(folder) / "query").write_bytes(query)
                answered = subprocess.run(
                    ["openssl", "ts", "-reply", "-config", config, "-queryfile",
                     Path(folder) / "query", "-signer", cert, "-inkey", key, "-chain", ca,
                     "-out", Path(folder) / "reply"], stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)
                reply = (Path(folder) / "reply").read_bytes() if answered.returncode == 0 \
                    else b""
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *arguments):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def softhsm_token(work, key):
    """The settings that sign with `key` once imported into a new SoftHSM2
    token, whose files are kept in `work`."""
    tokens = fresh(work / "tokens")
    (work / "softhsm2.conf").write_text(f"directories.tokendir = {tokens}\n")
    env = {**unsigned_environment(), "SOFTHSM2_CONF": str(work / "softhsm2.conf")}
    run(["softhsm2-util", "--init-token", "--free", "--label", TOKEN, "--pin", TOKEN_PIN,
         "--so-pin", TOKEN_PIN], env=env)
    run(["softhsm2-util", "--import", key, "--token", TOKEN, "--label", TOKEN_KEY, "--id", "01",
         "--pin", TOKEN_PIN], env=env)
    module = next(f for f in run(["dpkg-query", "-L", "libsofthsm2"]).stdout.split()
                  if f.endswith("/libsofthsm2.so"))
    return {"SOFTHSM2_CONF": env["SOFTHSM2_CONF"], "KALVO_SIGN_PKCS11_MODULE": module,
            "KALVO_SIGN_PKCS11_KEY": f"pkcs11:token={TOKEN};object={TOKEN_KEY};type=private",
            "KALVO_SIGN_PASSWORD": TOKEN_PIN}


def flipped(data, at):
    changed = bytearray(data)
    changed[at] ^= 0x01
    return bytes(changed)


def signature_end(data):
    """Where the certificate table ends (the PE32+ security directory)."""
    optional = int.from_bytes(data[0x3C:0x40], "little") + 24
    table, size = (int.from_bytes(data[optional + 144 + i:optional + 148 + i], "little")
                   for i in (0, 4))
    return table + size


def signed(args):
    build = Path(args.windows_build)
    work = fresh(Path(args.work))
    ca, issued = throwaway_signer(work)

    authorities = time_stamps(work, issued, ca)
    stamps = f"http://127.0.0.1:{authorities.server_port}"
    # The time stamps come from this machine, never through a proxy.
    local = {"no_proxy": "127.0.0.1", "NO_PROXY": "127.0.0.1"}

    def signed_outside(name, program, signer="signer", digest="sha256", stamp="tsa", nest=False,
                       carried=None):
        """`program` signed by osslsigncode, not by the packaging, time-stamped
        by the time-stamping authority `stamp` names unless it is None; with
        `nest`, a signature added inside the one it has; carrying `carried`'s
        certificate beside the signer's, when given."""
        (work / f"{name} unsigned.exe").write_bytes(program)
        command = ["osslsigncode", "sign", "-certs", issued[signer][0], "-key", issued[signer][1],
                   "-h", digest, "-in", work / f"{name} unsigned.exe", "-out", work / f"{name}.exe"]
        if nest:
            command.append("-nest")
        if carried:
            command += ["-ac", issued[carried][0]]
        if stamp:
            command += ["-ts", f"{stamps}/{stamp}"]
        run(command, env=os.environ | local)
        return work / f"{name}.exe"

    try:
        signed_ways(args, build, work, ca, issued, signed_outside, local | {
            "KALVO_SIGN_TIMESTAMP_URL": f"{stamps}/tsa"})
    finally:
        authorities.shutdown()


def signed_ways(args, build, work, ca, issued, signed_outside, stamping):
    """The ways of signing, and the copies and settings refused; `stamping`
    the settings of a time-stamping authority."""
    cert, key = issued["signer"]
    pfx = work / "cert.pfx"
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
         "-passout", f"pass:{SIGNING_PASSWORD}"])
    built = (build / PROGRAM).read_bytes()
    # The publisher as openssl prints its fingerprint.
    publisher = run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", cert]) \
        .stdout.strip().split("=")[1]
    strict = {"KALVO_SIGN_PUBLISHER": publisher, "KALVO_SIGN_CA": str(ca)}

    elsewhere = signed_outside("signed elsewhere", built)
    token = softhsm_token(work, key)
    token["KALVO_SIGN_CERTS"] = str(cert)
    kind = ["--test-release"] if is_test_build(build) else []

    # Each way of signing: the settings, the options, what the packaging says.
    # A test release takes any signature without a publisher to hold it to.
    ways = {"token": (token | strict | stamping, [], [
                "Signed with the key pkcs11:",
                f"time-stamped by {stamping['KALVO_SIGN_TIMESTAMP_URL']}"]),
            "pkcs12": ({"KALVO_SIGN_PFX": str(pfx), "KALVO_SIGN_PASSWORD": SIGNING_PASSWORD}
                       | ({} if kind else strict), ["--no-timestamp"], [f"Signed with {pfx}"]),
            "elsewhere": (strict, ["--signed-program", elsewhere], ["Signed elsewhere"])}
    packaged = {}
    for way, (settings, options, said) in ways.items():
        env = {**unsigned_environment(), **settings}
        result = run([sys.executable, PACKAGE, "--build", build, "--out", work / way / "dist"]
                     + kind + options, env=env)
        expect(all(x in result.stdout for x in said), f"signed by {way}, the package does not say "
               f"{said!r}:\n{result.stdout}")
        files, folder = unpack(only_zip(work / way / "dist"), work / way / "unpacked")
        program = files[PROGRAM]
        expect(f"{hashlib.sha256(program).hexdigest()}  {PROGRAM}" in files[SUMS].decode(),
               f"signed by {way}, SHA256SUMS does not list the signed program")
        program_entry = only_bom(files)[1]["metadata"]["component"]
        expect(program_entry["hashes"][0]["content"] == hashlib.sha256(program).hexdigest(),
               f"signed by {way}, the bill of materials does not give the signed program's "
               "SHA-256")
        # The unsigned program, the same bytes from any build, is the signed
        # one's ancestor.
        expect([x["hashes"][0]["content"] for x in program_entry.get("pedigree", {})
                .get("ancestors", [])] == [hashlib.sha256(built).hexdigest()],
               f"signed by {way}, the bill of materials does not give the unsigned program's "
               "SHA-256")
        exe = work / way / "run" / PROGRAM
        exe.parent.mkdir()
        exe.write_bytes(program)
        run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe])
        # The middle of the program: the built-in firmware images.
        broken = work / way / "tampered.exe"
        broken.write_bytes(flipped(program, len(program) // 2))
        result = run(["osslsigncode", "verify", "-CAfile", ca, "-in", broken], check=False)
        expect(result.returncode != 0, f"signed by {way}, osslsigncode accepts the signature "
               "of a changed program")
        packaged[way] = exe, folder

    # Copies brought back that are refused, and what the refusal says: the
    # program unsigned; with a byte changed outside the signature, validly
    # signed (which only the comparison with the build can tell); with a
    # byte of its signature changed; signed by another, also carrying the
    # publisher's certificate or not, with SHA-1, without a time stamp,
    # time-stamped by a stranger. And signing in the token refused: another's
    # certificate, no time stamp, no PIN, a wrong PIN.
    unstamped = signed_outside("not time-stamped", built, stamp=None)
    data = unstamped.read_bytes()
    (work / "badly signed.exe").write_bytes(flipped(data, signature_end(data) - 64))
    copies = [
        (build / PROGRAM, {}, [], "carries no signature"),
        (signed_outside("changed", flipped(built, len(built) // 2)), {}, [],
         f"1 byte differs, the first at file offset 0x{len(built) // 2:x} (section "),
        (work / "badly signed.exe", {}, ["--no-timestamp"], "does not verify against "
         f"KALVO_SIGN_CA ({ca})"),
        (signed_outside("by another", built, signer="other"), {}, [],
         "signed by CN=Unrelated Ltd throwaway signer (SHA-256 "),
        (signed_outside("by another with ours", built, signer="other", carried="signer"), {}, [],
         "signed by CN=Unrelated Ltd throwaway signer (SHA-256 "),
        (signed_outside("with SHA-1", built, digest="sha1"), {}, [],
         "made with SHA-1, not SHA-256"),
        (unstamped, {}, [], "has no RFC 3161 time stamp"),
        (signed_outside("twice", elsewhere.read_bytes(), nest=True), {}, [],
         "carries 1 more signature nested in its own"),
        (signed_outside("stranger's stamp", built, stamp="stranger"), {}, [],
         "its time stamp does not verify"),
        (elsewhere, {"KALVO_SIGN_CA": str(work / "none.pem")}, [],
         f"KALVO_SIGN_CA names the root certificates {work / 'none.pem'} that cannot be read"),
        (None, token | {"KALVO_SIGN_CERTS": str(issued["other"][0])}, ["--no-timestamp"],
         "Refusing to sign with CN=Unrelated Ltd throwaway signer (SHA-256 "),
        (None, token, [], "Refusing to sign without a time stamp"),
        (None, {k: v for k, v in token.items() if k != "KALVO_SIGN_PASSWORD"},
         ["--no-timestamp"], "without its PIN: set KALVO_SIGN_PASSWORD"),
        (None, token | {"KALVO_SIGN_PASSWORD": "4321"}, ["--no-timestamp"],
         "check the key's URI (KALVO_SIGN_PKCS11_KEY), the token's module "
         "(KALVO_SIGN_PKCS11_MODULE) and the PIN (KALVO_SIGN_PASSWORD)")]
    # What was in the package's folder before stays as it was.
    earlier = fresh(work / "refused") / "kalvo-update-1.0.0-unsigned-windows-x64.zip"
    earlier.write_bytes(b"an earlier package")
    for brought, settings, options, said in copies:
        options = options + (["--signed-program", brought] if brought else [])
        refused = run([sys.executable, PACKAGE, "--build", build, "--out", work / "refused"]
                      + kind + options, env=unsigned_environment() | strict | settings,
                      check=False)
        expect(refused.returncode == 1 and said in refused.stdout and
               f"Nothing was written to {work / 'refused'}." in refused.stdout,
               f"packaging with {options} was not refused with {said!r}:\n{refused.stdout}")
        if "signed by CN=" in said or "sign with CN=" in said:
            expect(f"not by the publisher's (SHA-256 {publisher}" in refused.stdout or
                   f"not the publisher's (SHA-256 {publisher}" in refused.stdout,
                   f"the refusal does not name the publisher:\n{refused.stdout}")
    expect(list(work.glob("refused/*")) == [earlier] and
           earlier.read_bytes() == b"an earlier package",
           "a refused package changed the folder it was to go to")

    exe, folder = packaged["token"]
    run([sys.executable] + args.runner + ["--exe", exe])
    # As a user starts it: the launcher in the unpacked package, a key for its
    # pause, Wine's own hid.dll and setupapi.dll; the Windows CI job runs the
    # same check on Windows.
    start = first_steps.Starter(runner_option(args, "--wine"), runner_option(args, "--plain-prefix"))
    failures, _ = first_steps.launched(folder, start)
    expect(not failures, "; ".join(failures))
    print("signed with a key in a token, a PKCS#12 file and elsewhere, each verified; copies "
          "brought back unsigned, changed, badly signed, by another (carrying the publisher's "
          "certificate or not), with SHA-1 or without a valid time stamp refused, and so is "
          "signing in the token with another's certificate, no time stamp or no PIN; the "
          "program signed in the token run under Wine with no Kalvo present, alone and by the "
          "launcher")


# What a row that packages the Windows build returns when the toolchain installed here was
# not reviewed: ctest counts it skipped (SKIP_RETURN_CODE in tests/CMakeLists.txt).
SKIPPED = 77


def unreviewed_toolchain(build):
    """The packaging's refusals of the Windows build's link, when every one is of a package
    version whose notices were not reviewed (a newer Debian's toolchain); else none."""
    if not (build / LINK_MAP).is_file():
        return []
    sys.path.insert(0, str(ROOT / "release"))
    import third_party
    try:
        third_party.link_components(build / LINK_MAP, build.resolve(), read_facts(build))
    except third_party.Uncovered as refusal:
        problems = str(refusal).splitlines()[1:]
        if problems and all("whose notices were not reviewed" in p for p in problems):
            return problems
    return []


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
    if args.command != "placeholders":
        unreviewed = unreviewed_toolchain(Path(args.windows_build))
        if unreviewed:
            print("SKIPPED: the packaging refuses to package what this toolchain links, as it "
                  "must until its notices are reviewed (release/notices/README.md says how):\n"
                  + "\n".join(unreviewed))
            return SKIPPED
    try:
        {"reproducible": reproducible, "contents": contents, "placeholders": placeholders,
         "signed": signed}[args.command](args)
    except Failed as failure:
        print(f"FAILED: {failure}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
