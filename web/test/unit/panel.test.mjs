// The call panel's link-quality verdict and call timer, in Node.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { formatDuration, linkQuality } from '../../call-audio-panel.js';

// Totals since the call started, as the client reports them.
const report = (f = {}) => ({ rttMs: 20, underruns: 0, postsFailed: 0, postsTimedOut: 0, playerDelayMs: 60, ...f });

test('link quality: each figure against its thresholds, counters over the window only', () => {
  const rows = [
    ['one report is not enough', [report()], null],
    ['a quiet link', [report(), report()], 'good'],
    ['underruns before the window do not count', [report({ underruns: 9 }), report({ underruns: 9 })], 'good'],
    ['one underrun in the window', [report({ underruns: 9 }), report({ underruns: 10 })], 'fair'],
    ['three underruns', [report(), report({ underruns: 3 })], 'poor'],
    ['a slow round trip', [report(), report({ rttMs: 150 })], 'fair'],
    ['a very slow round trip', [report(), report({ rttMs: 400 })], 'poor'],
    ['failed and timed-out posts add up', [report(), report({ postsFailed: 3, postsTimedOut: 2 })], 'poor'],
    ['one timed-out post', [report(), report({ postsTimedOut: 1 })], 'fair'],
    ['a long player delay', [report(), report({ playerDelayMs: 300 })], 'poor'],
    ['the worst figure decides', [report(), report({ rttMs: 400, playerDelayMs: 150 })], 'poor'],
    ['listen-only: no posts, no round trip', [report({ rttMs: 0 }), report({ rttMs: 0 })], 'good'],
  ];
  for (const [what, reports, want] of rows) assert.equal(linkQuality(reports), want, what);
});

test('call timer: minutes and seconds, hours from the first hour', () => {
  const rows = [[0, '0:00'], [999, '0:00'], [61000, '1:01'], [3599000, '59:59'], [3600000, '1:00:00'],
    [3661000, '1:01:01'], [-5, '0:00']];
  for (const [ms, want] of rows) assert.equal(formatDuration(ms), want, String(ms));
});
