#!/usr/bin/env node
// Validates a CycloneDX JSON bill of materials with the CycloneDX project's
// own library: its strict validator, for the version the document declares.
//
//   node release/cyclonedx/validate.cjs BOM.cdx.json
//
// Prints "valid CycloneDX <version>" and exits 0, or prints the errors and
// exits 1. The library and the JSON schema validator it loads are those
// package-lock.json pins (scripts/install-deps.sh installs them).
'use strict';
const fs = require('fs');
const CDX = require('@cyclonedx/cyclonedx-library');

async function main(file) {
  const text = fs.readFileSync(file, 'utf8');
  const declared = JSON.parse(text).specVersion;
  if (!Object.values(CDX.Spec.Version).includes(declared)) {
    throw new Error(`${file}: specVersion ${JSON.stringify(declared)} is no CycloneDX version`);
  }
  const errors = await new CDX.Validation.JsonStrictValidator(declared).validate(text);
  if (errors === null) {
    console.log(`${file}: valid CycloneDX ${declared}`);
    return 0;
  }
  console.log(`${file}: not valid CycloneDX ${declared}:\n${JSON.stringify(errors, null, 2)}`);
  return 1;
}

if (process.argv.length !== 3) {
  console.error('usage: validate.cjs BOM.cdx.json');
  process.exit(2);
}
main(process.argv[2]).then((status) => process.exit(status), (error) => {
  console.error(error.message);
  process.exit(2);
});
