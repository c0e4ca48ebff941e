'use strict';
// Reporter of the JavaScript test run (bin/qel-test): node's dots and
// failure details, then the run's totals on a line of their own,
// "N passed, N failed", which CI reads. A cancelled test counts as failed.
const { dot } = require('node:test/reporters');

module.exports = async function* dotsAndCounts(source) {
  const totals = { pass: 0, fail: 0, cancelled: 0 };
  async function* watch() {
    for await (const event of source) {
      const m = event.type === 'test:diagnostic' && event.data.nesting === 0 && /^(pass|fail|cancelled) (\d+)$/.exec(event.data.message);
      if (m) totals[m[1]] = Number(m[2]);
      yield event;
    }
  }
  yield* dot(watch());
  yield `${totals.pass} passed, ${totals.fail + totals.cancelled} failed\n`;
};
