// Resolves references as the WHATWG URL Standard's parser does, through Node's own URL class: the
// oracle the reference reader is compared with. Reads the file named by its argument, one case a
// line: the base and the reference as hexadecimal of their UTF-8 bytes, separated by a space.
// Writes one line a case: "=" and the resolved URL, or "!" where the standard refuses it.
'use strict';
const fs = require('fs');

const fromHex = (hex) => Buffer.from(hex || '', 'hex').toString('utf8');
const out = [];
for (const line of fs.readFileSync(process.argv[2], 'utf8').split('\n')) {
  if (line.length === 0) continue;
  const [base, reference] = line.split(' ').map(fromHex);
  try {
    out.push('=' + new URL(reference, base).href);
  } catch {
    out.push('!');
  }
}
process.stdout.write(out.join('\n') + '\n');
