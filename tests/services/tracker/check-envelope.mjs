// Checks envelope files as a tracker reads them: parseEnvelope of @sentry/core, and strictly,
// that every item whose header gives a length has that many bytes, then a newline or the end.
// Prints one line of JSON per file: {"header": ..., "items": [{"header": ..., "size": BYTES,
// "payload": ...}]}, the payload parsed as JSON, or for an attachment its text (or {"base64"}
// when it is not UTF-8). Exits 1 at the first invalid file, saying why on standard error.
//   node check-envelope.mjs FILE...
import { readFileSync } from "node:fs";
import { parseEnvelope } from "@sentry/core";

const text = (bytes) => new TextDecoder("utf-8", { fatal: true }).decode(bytes);
const lineEnd = (bytes, at) => (bytes.indexOf(10, at) < 0 ? bytes.length : bytes.indexOf(10, at));

function payload(itemHeader, bytes) {
  if (itemHeader.type !== "attachment") return JSON.parse(text(bytes));
  try {
    return text(bytes);
  } catch {
    return { base64: Buffer.from(bytes).toString("base64") };
  }
}

function check(bytes) {
  const [, parsed] = parseEnvelope(bytes);
  let end = lineEnd(bytes, 0);
  const header = JSON.parse(text(bytes.subarray(0, end)));
  const items = [];
  for (let at = end + 1; at < bytes.length; at = end + 1) {
    end = lineEnd(bytes, at);
    const itemHeader = JSON.parse(text(bytes.subarray(at, end)));
    if (typeof itemHeader.type !== "string") throw new Error(`item ${items.length}: no type`);
    at = end + 1;
    end = typeof itemHeader.length === "number" ? at + itemHeader.length : lineEnd(bytes, at);
    if (end > bytes.length || (end < bytes.length && bytes[end] !== 10)) {
      throw new Error(`item ${items.length}: its length is not followed by a newline or the end`);
    }
    const data = bytes.subarray(at, end);
    items.push({ header: itemHeader, size: data.length, payload: payload(itemHeader, data) });
  }
  if (items.length !== parsed.length) throw new Error(`${parsed.length} items for the parser`);
  return { header, items };
}

for (const file of process.argv.slice(2)) {
  try {
    process.stdout.write(JSON.stringify(check(readFileSync(file))) + "\n");
  } catch (error) {
    process.stderr.write(`${file}: invalid envelope: ${error.message}\n`);
    process.exit(1);
  }
}
