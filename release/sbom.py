"""The release's software bill of materials: CycloneDX 1.6, JSON.

It lists the program (name, version, SHA-256 of the copy in the package), the
two firmware images built into it, the USB vendor identifier it looks for,
the toolchain components the link put into it (release/third_party.py) and
the tools that built and signed it. It carries no time and no random
serial number: the same program and sources give the same bytes.
"""
import hashlib
import json
import os
import shutil
import subprocess
import uuid
from urllib.parse import quote

from third_party import owning_package

SPEC_VERSION = "1.6"
# Names of this project's own properties (CycloneDX reserves "cdx:").
PROPERTY = "kalvo:{}"
# Debian's short licence names that have an SPDX identifier of their own.
SPDX_IDS = {"expat": "MIT", "BSD-3-clause": "BSD-3-Clause", "BSD-2-clause-NetBSD":
            "BSD-2-Clause-NetBSD", "ISC": "ISC", "ZPL-2.1": "ZPL-2.1"}
# The serial number is derived from the program's SHA-256 in this namespace.
SERIAL_NAMESPACE = uuid.UUID("6f1c5d0e-3b7a-4c52-9a4e-0d2b8e7f3a91")
# The tools that made the program (the packaging script's own interpreter
# changes no byte of it, and is left out).
TOOL_ROLES = {"compiler": "C++ compiler", "linker": "linker",
              "resource_compiler": "resource compiler",
              "cmake": "build system generator", "build_program": "build tool",
              "signing": "code signing"}


def deb_purl(package, version, architecture):
    name = package.split(":")[0]
    return f"pkg:deb/debian/{quote(name, safe='')}@{quote(version, safe='')}?arch={architecture}"


def licence_entries(names):
    if len(names) == 1 and " WITH " in names[0]:
        return [{"expression": names[0]}]
    return [{"license": {"id": SPDX_IDS[n]} if n in SPDX_IDS else {"name": n}} for n in names]


def properties(**values):
    return [{"name": PROPERTY.format(k.replace("_", "-")), "value": str(v)}
            for k, v in values.items()]


def tool_component(role, path):
    """A build tool: the Debian package that installed it, with that package's version."""
    found = path if os.path.isabs(path) else shutil.which(path)
    owner = owning_package(found) if found else None
    entry = {"type": "application", "name": os.path.basename(path),
             "description": TOOL_ROLES.get(role, role)}
    if owner:
        package, version, architecture = owner
        entry.update(version=version, purl=deb_purl(package, version, architecture),
                     properties=properties(debian_package=package.split(":")[0]))
    elif found:
        said = subprocess.run([found, "--version"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.splitlines()
        if said:
            entry["version"] = said[0].strip()
    return entry


def bill_of_materials(facts, program_name, program, linked, signing_tool=None):
    """The bill of materials as bytes. `facts` are those of kalvo-release.txt, `program`
    the bytes of the program as packaged, `linked` the link's components."""
    program_sha256 = hashlib.sha256(program).hexdigest()
    placeholders = [x for x in facts.get("placeholders", "").split(",") if x]
    vendor_id = f"0x{int(facts['vendor_id'], 16):04X}"

    images = []
    for kind in ("fpga", "mcu"):
        images.append({
            "type": "firmware", "bom-ref": f"{kind}-image", "name": facts[f"{kind}_image"],
            "description": f"the {kind.upper()} firmware image built into {program_name}",
            "hashes": [{"alg": "SHA-256", "content": facts[f"{kind}_sha256"]}],
            "properties": properties(size=facts[f"{kind}_size"],
                                     placeholder=str(f"{kind.upper()} image" in
                                                     placeholders).lower())})

    libraries = []
    for part in linked:
        libraries.append({
            "type": "library", "bom-ref": part.component.name, "name": part.component.name,
            "version": part.version, "description": part.component.description,
            "licenses": licence_entries(list(part.licences)),
            "purl": deb_purl(part.package, part.version, part.architecture),
            "properties": properties(debian_package=part.package.split(":")[0],
                                     linked_files=" ".join(sorted(part.members)))})

    tools = [tool_component(key[len("tool."):], value)
             for key, value in facts.items() if key.startswith("tool.")]
    if signing_tool:
        tools.append(tool_component("signing", signing_tool))

    bom = {
        "$schema": f"http://cyclonedx.org/schema/bom-{SPEC_VERSION}.schema.json",
        "bomFormat": "CycloneDX",
        "specVersion": SPEC_VERSION,
        "serialNumber": f"urn:uuid:{uuid.uuid5(SERIAL_NAMESPACE, program_sha256)}",
        "version": 1,
        "metadata": {
            "tools": {"components": tools},
            "component": {
                "type": "application", "bom-ref": "kalvo-update", "name": "kalvo-update",
                "version": facts["version"], "description": "Kalvo firmware updater",
                "hashes": [{"alg": "SHA-256", "content": program_sha256}],
                "properties": properties(
                    file=program_name, usb_vendor_id=vendor_id,
                    usb_vendor_id_placeholder=str("vendor identifier" in placeholders).lower(),
                    test_release=str(facts["test_release"] == "1").lower())},
        },
        "components": images + libraries,
        "dependencies": [{"ref": "kalvo-update",
                          "dependsOn": [c["bom-ref"] for c in images + libraries]}],
    }
    return (json.dumps(bom, indent=2, ensure_ascii=False) + "\n").encode()
