#!/usr/bin/env node
// A Node agent host that runs the model's commands through `corvane run --json`.
//
// The host never builds a shell line: it hands corvane a policy file, a binary and
// an argument array, and reads back one JSON object. A refusal or a failed run
// comes back as data the host can show the model, never as an exception.
//
//   node examples/cli_client.mjs POLICY.toml BIN [ARG...]
//
// CORVANE names the command to start (default "corvane"; e.g. "python3 -m corvane").

import { execFile } from "node:child_process";

const corvane = (process.env.CORVANE || "corvane").split(" ").filter(Boolean);

/** Runs `bin args` under `policy`; resolves to corvane's JSON answer. */
export function runCommand(policy, bin, args, { cwd } = {}) {
  const argv = [...corvane.slice(1), "run", "--json", "-p", policy];
  if (cwd) argv.push("--cwd", cwd);
  argv.push("--", bin, ...args);
  return new Promise((resolve, reject) => {
    // corvane's exit code is the command's; the JSON on stdout says everything.
    execFile(corvane[0], argv, { maxBuffer: 64 * 1024 * 1024 }, (error, stdout, stderr) => {
      try {
        resolve(JSON.parse(stdout));
      } catch {
        reject(new Error(`corvane gave no answer: ${stderr || error}`));
      }
    });
  });
}

/** One line for the model: what happened and the first line of output. */
export function summary(answer) {
  const first = (text) => (text || "").split("\n")[0];
  if (answer.error === "Refused") return `refused: ${answer.message}`;
  if (answer.error) return `failed (${answer.error}): ${first(answer.stdout)}`;
  const how = answer.exit_code === null ? `signal ${answer.signal}` : `exit ${answer.exit_code}`;
  return `${how}: ${first(answer.stdout)}`;
}

if (import.meta.url === `file://${process.argv[1]}`) {
  const [policy, bin, ...args] = process.argv.slice(2);
  if (!policy || !bin) {
    console.error("usage: node cli_client.mjs POLICY.toml BIN [ARG...]");
    process.exit(2);
  }
  const answer = await runCommand(policy, bin, args);
  console.log(`${bin}: ${summary(answer)}`);
}
