#!/usr/bin/python3
"""Validates a CycloneDX 1.6 JSON bill of materials against the schema beside this file.

  validate.py BOM.cdx.json

Needs the jsonschema module (Debian: python3-jsonschema, for /usr/bin/python3).
The schema refers to its SPDX licence list and its signature schema by file
name; each is looked up here, under the name and under its own $id. Exit
status 0 when the document is valid; else 1, with each error.
"""
import json
import sys
from pathlib import Path

import jsonschema

try:
    from jsonschema import _validators as keywords_before_4_18
except ImportError:
    keywords_before_4_18 = None

HERE = Path(__file__).resolve().parent
BOM_SCHEMA = "bom-1.6.SNAPSHOT.schema.json"
REFERRED = ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")


def word_surplus_items(extras):
    """Words the items an array has too many as jsonschema does, but unsorted."""
    return ", ".join(repr(extra) for extra in extras), "was" if len(extras) == 1 else "were"


def validator():
    schema = json.loads((HERE / BOM_SCHEMA).read_text(encoding="utf-8"))
    base = schema["$id"].rsplit("/", 1)[0]
    store = {}
    for name in REFERRED:
        referred = json.loads((HERE / name).read_text(encoding="utf-8"))
        store[f"{base}/{name}"] = store[referred["$id"]] = referred
    # Debian 12's jsonschema (4.10) sorts the surplus items of an array to word
    # its error, and fails on objects: the licence list's second form (one
    # expression alone) meets a list of several licences on every check.
    # Later versions no longer sort them; the verdict is the same.
    if keywords_before_4_18 is not None:
        keywords_before_4_18.extras_msg = word_surplus_items
    jsonschema.Draft7Validator.check_schema(schema)
    resolver = jsonschema.RefResolver.from_schema(schema, store=store)
    return jsonschema.Draft7Validator(schema, resolver=resolver,
                                      format_checker=jsonschema.FormatChecker())


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    document = json.loads(Path(sys.argv[1]).read_text(encoding="utf-8"))
    errors = sorted(validator().iter_errors(document), key=lambda e: list(e.absolute_path))
    for error in errors:
        where = "/".join(str(x) for x in error.absolute_path) or "(document)"
        print(f"{sys.argv[1]}: {where}: {error.message}")
    if not errors:
        print(f"{sys.argv[1]}: valid CycloneDX {document.get('specVersion')}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
