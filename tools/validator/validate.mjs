// Validates glTF 2.0 files (.gltf or .glb) and prints one JSON line per file:
//   {"file", "errors", "warnings", "infos", "hints", "messages", "info"}
// where messages are the first few errors (code, message, pointer) and info is
// the validator's summary of the asset (counts, hasTextures, hasSkins, ...).
// External buffers and images are read from the file's own folder.
// Exit status: 0 when no file has an error, 1 when one has, 2 when a file
// cannot be read or no file is given.
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import validator from 'gltf-validator';

const MESSAGES_KEPT = 10;

async function validate(file, bytes) {
  const folder = path.dirname(path.resolve(file));
  let report;
  try {
    report = await validator.validateBytes(new Uint8Array(bytes), {
      uri: path.basename(file),
      maxIssues: 0,  // every issue counted, not only the first hundred
      writeTimestamp: false,
      externalResourceFunction: async (uri) =>
        new Uint8Array(await readFile(path.resolve(folder, decodeURIComponent(uri)))),
    });
  } catch (reason) {
    // Bytes that are neither glTF JSON nor GLB: an invalid file, not a failed run.
    const message = String(reason?.message ?? reason);
    return { file, errors: 1, warnings: 0, infos: 0, hints: 0, messages: [{ code: 'REJECTED', message }], info: {} };
  }
  const issues = report.issues;
  return {
    file,
    errors: issues.numErrors,
    warnings: issues.numWarnings,
    infos: issues.numInfos,
    hints: issues.numHints,
    messages: issues.messages
      .filter((m) => m.severity === 0)
      .slice(0, MESSAGES_KEPT)
      .map(({ code, message, pointer }) => ({ code, message, pointer })),
    info: report.info ?? {},
  };
}

const files = process.argv.slice(2);
if (files.length === 0) {
  console.error('usage: node validate.mjs FILE.gltf|FILE.glb...');
  process.exit(2);
}
let status = 0;
for (const file of files) {
  let bytes;
  try {
    bytes = await readFile(file);
  } catch (error) {
    console.error(`${file}: ${error.message}`);
    status = 2;
    continue;
  }
  const verdict = await validate(file, bytes);
  console.log(JSON.stringify(verdict));
  if (verdict.errors > 0) status = Math.max(status, 1);
}
process.exit(status);
