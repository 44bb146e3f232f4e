"""The release's software bill of materials: CycloneDX 1.6, JSON.

It names who supplies and makes the program, the program (version, purl,
SHA-256 of the copy in the package and, when that copy is signed, of the
program as built), the commit of its sources, the two firmware images built
into it with their versions, the USB vendor identifier it looks for, the
toolchain components the link put into it (release/third_party.py) with
their licences and Debian purls, who uses whom among them, the tools that
built and signed it (its formulation) and the tool that wrote the bill.
Its time is the sources' (SOURCE_DATE_EPOCH, else the commit's) and its
serial number is derived from its own content: the same program and sources
give the same bytes.
"""
import hashlib
import json
import os
import platform
import shutil
import subprocess
import uuid
from datetime import datetime, timezone
from urllib.parse import quote

from third_party import PROGRAM, owning_package

SPEC_VERSION = "1.6"
# Names of this project's own properties (CycloneDX reserves "cdx:").
PROPERTY = "kalvo:{}"
# The serial number is derived from the rest of the bill in this namespace.
SERIAL_NAMESPACE = uuid.UUID("6f1c5d0e-3b7a-4c52-9a4e-0d2b8e7f3a91")
# The tools that made the program (the packaging script's own interpreter
# changes no byte of it, and is left out).
TOOL_ROLES = {"compiler": "C++ compiler", "linker": "linker",
              "resource_compiler": "resource compiler",
              "cmake": "build system generator", "build_program": "build tool",
              "signing": "code signing"}
DEBIAN = {"name": "Debian", "url": ["https://www.debian.org/"]}


def distro():
    """The purl qualifier of the Debian release built on: debian-12, debian-13."""
    release = platform.freedesktop_os_release()
    return f"{release.get('ID', 'debian')}-{release.get('VERSION_ID') or release.get('VERSION_CODENAME')}"


def deb_purl(package, version, architecture, subpath=""):
    return (f"pkg:deb/debian/{quote(package, safe='')}@{quote(version, safe='')}"
            f"?arch={architecture}&distro={distro()}"
            + (f"#{quote(subpath, safe='/')}" if subpath else ""))


def properties(**values):
    return [{"name": PROPERTY.format(k.replace("_", "-")), "value": str(v)}
            for k, v in values.items()]


def git(root, *arguments):
    """What git says of the tree at `root`, or None where it is no git checkout of its own."""
    try:
        said = [subprocess.run(["git", "-C", str(root)] + list(command), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
                for command in (["rev-parse", "--show-toplevel"], arguments)]
    except FileNotFoundError:
        return None
    if any(x.returncode != 0 for x in said) or \
            os.path.realpath(said[0].stdout.strip()) != os.path.realpath(root):
        return None
    return said[1].stdout.strip()


def source_facts(root, facts):
    """The commit of the sources (git, else the build setting KALVO_SOURCE_COMMIT), the
    tracked files that differ from it, and the sources' time (SOURCE_DATE_EPOCH, which the
    packaging checks is a number of seconds, else the commit's): {"commit", "modified",
    "changes", "time"}, each None when unknown."""
    commit = git(root, "rev-parse", "HEAD")
    changes = None
    if commit:
        status = git(root, "status", "--porcelain", "--untracked-files=no")
        # Each line is a status of one or two letters, then the path.
        changes = [line.split(None, 1)[1] for line in status.splitlines()] \
            if status is not None else None
        modified = bool(changes) if changes is not None else None
    else:
        # The setting names the commit the tree is, as exported from it: so a
        # tree without .git gives the same bill as a clean checkout.
        commit = facts.get("source_commit") or None
        modified = False if commit else None
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or git(root, "log", "-1", "--format=%ct")
    time = None
    if epoch:
        time = datetime.fromtimestamp(int(epoch), timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return {"commit": commit, "modified": modified, "changes": changes, "time": time}


def tool_component(role, path):
    """A build tool: the Debian package that installed it, with that package's version."""
    found = path if os.path.isabs(path) else shutil.which(path)
    owner = owning_package(found) if found else None
    entry = {"type": "application", "name": os.path.basename(path),
             "description": TOOL_ROLES.get(role, role)}
    if owner:
        package, version, architecture = owner
        entry.update(version=version, purl=deb_purl(package, version, architecture),
                     properties=properties(debian_package=package))
    elif found:
        said = subprocess.run([found, "--version"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.splitlines()
        if said:
            entry["version"] = said[0].strip()
    return entry


def program_hashes(data):
    return [{"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}]


def bill_of_materials(facts, source, program_name, built, packaged, link, signing_tool=None):
    """The bill of materials as bytes. `facts` are those of kalvo-release.txt, `source`
    those of source_facts(), `built` the bytes of the program as built and `packaged` as
    packaged (signed, or the same), `link` the link's components (third_party.Link)."""
    placeholders = [x for x in facts.get("placeholders", "").split(",") if x]
    vendor_id = f"0x{int(facts['vendor_id'], 16):04X}"
    supplier = {"name": facts["supplier"]}
    manufacturer = {"name": facts["manufacturer"]}

    images = []
    for kind in ("fpga", "mcu"):
        images.append({
            "type": "firmware", "bom-ref": f"{kind}-image", "supplier": manufacturer,
            "name": facts[f"{kind}_image"], "version": facts[f"{kind}_version"],
            "description": f"the {kind.upper()} firmware image built into {program_name}",
            "hashes": [{"alg": "SHA-256", "content": facts[f"{kind}_sha256"]}],
            "properties": properties(size=facts[f"{kind}_size"],
                                     placeholder=str(f"{kind.upper()} image" in
                                                     placeholders).lower())})

    libraries = []
    for part in link.components:
        release, source_package = part.release, part.release.source
        libraries.append({
            "type": "library", "bom-ref": part.component.name, "supplier": DEBIAN,
            "authors": [{"name": part.component.author}], "name": part.component.name,
            "version": release.version, "description": part.component.description,
            "licenses": [{"expression": part.licence}],
            "purl": deb_purl(release.package, release.version, part.architecture,
                             part.component.folder),
            "properties": properties(
                debian_package=release.package,
                debian_source=f"{source_package.package} {source_package.version}",
                linked_files=" ".join(sorted(part.members)))})

    program = {
        "type": "application", "bom-ref": PROGRAM, "supplier": supplier,
        "manufacturer": manufacturer, "name": PROGRAM, "version": facts["version"],
        "description": "Kalvo firmware updater",
        "purl": f"pkg:generic/{PROGRAM}@{quote(facts['version'], safe='')}",
        "hashes": program_hashes(packaged),
        "properties": properties(
            file=program_name, usb_vendor_id=vendor_id,
            usb_vendor_id_placeholder=str("vendor identifier" in placeholders).lower(),
            test_release=str(facts["test_release"] == "1").lower(),
            **({"source_commit": source["commit"]} if source["commit"] else {}),
            **({"source_modified": str(source["modified"]).lower()}
               if source["modified"] is not None else {}))}
    if packaged != built:
        # Signing adds to the program built: the build's bytes are the ones that any
        # build of these sources gives.
        program["pedigree"] = {"ancestors": [{
            "type": "application", "bom-ref": f"{PROGRAM}-unsigned", "name": PROGRAM,
            "version": facts["version"], "description": f"{program_name} as built, unsigned",
            "hashes": program_hashes(built)}]}

    tools = [tool_component(key[len("tool."):], value)
             for key, value in facts.items() if key.startswith("tool.")]
    if signing_tool:
        tools.append(tool_component("signing", signing_tool))
    generator = {"type": "application", "supplier": manufacturer,
                 "name": f"{PROGRAM} packaging", "version": facts["version"],
                 "description": "release/package.py and release/sbom.py of the program's "
                                "sources, which wrote this bill of materials"}

    graph = dict(link.uses)
    graph[PROGRAM] = set(graph.get(PROGRAM, ())) | {x["bom-ref"] for x in images}
    graph.update({x["bom-ref"]: set() for x in images})
    metadata = {"tools": {"components": [generator]}, "authors": [manufacturer],
                "component": program, "manufacturer": manufacturer, "supplier": supplier}
    if source["time"]:
        metadata = {"timestamp": source["time"], **metadata}
    bom = {
        "$schema": f"http://cyclonedx.org/schema/bom-{SPEC_VERSION}.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": SPEC_VERSION,
        "version": 1,
        "metadata": metadata,
        "components": images + libraries,
        "dependencies": [{"ref": ref, "dependsOn": sorted(graph[ref])}
                         for ref in [PROGRAM] + [x["bom-ref"] for x in images + libraries]],
        "formulation": [{"bom-ref": "build", "components": tools}],
    }
    serial = uuid.uuid5(SERIAL_NAMESPACE, hashlib.sha256(json.dumps(bom).encode()).hexdigest())
    bom = {**{k: bom[k] for k in ("$schema", "bomFormat", "specVersion")},
           "serialNumber": f"urn:uuid:{serial}", **bom}
    return (json.dumps(bom, indent=2, ensure_ascii=False) + "\n").encode()
