// getStatistics: what it sends, the figures it resolves with, and its place
// in the call order.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { FakeBridge, omnistatModule, omnistatOver, page, turn } from './support.mjs';

// An answer as the native side gives it: every figure, a refusal on record.
const FIGURES = {
  stored: 7, delivered: 5, pending: 1, retried: 2, notStored: 0,
  dropped: { expired: 0, overCap: 0, refused: 1, unsendable: 0, optOut: 0, sampledOut: 0, undecodable: 0, total: 1 },
  lastRefusal: { status: 413, time: 1700000000.5 },
};

describe('getStatistics', () => {
  it('sends no arguments, even when given some, and resolves with the figures', async () => {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    const figures = om.getStatistics('ignored');
    assert.deepEqual(bridge.posted.map((p) => [p.service, p.action, p.args]), [['OmnistatPlugin', 'getStatistics', []]]);
    bridge.answer('getStatistics', FIGURES);
    assert.deepEqual(await figures, FIGURES);
  });

  it('takes success and error callbacks last', async () => {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    const seen = [];
    om.getStatistics((s) => seen.push(['ok', s.delivered]), (e) => seen.push(['err', e.message]));
    om.getStatistics(null, (e) => seen.push(['err', e.status]));
    bridge.answer('getStatistics', FIGURES);
    bridge.fail('getStatistics', null, omnistatModule.Status.INVALID_ACTION, 1);
    await turn();
    assert.deepEqual(seen, [['ok', 5], ['err', 7]]);
  });

  it('waits behind a start in flight, then goes out in call order', async () => {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    om.startTrackerWithId('UA-1', 5);
    const figures = om.getStatistics();
    assert.deepEqual(bridge.actions(), ['startTrackerWithId']);
    bridge.answer('startTrackerWithId');
    assert.deepEqual(bridge.actions(), ['startTrackerWithId', 'getStatistics']);
    bridge.answer('getStatistics', FIGURES);
    assert.equal((await figures).stored, 7);
  });

  it('gets the object through cordova.js unchanged, with no refusal as null', async () => {
    const shell = page();
    const cordova = shell.loadCordova();
    await shell.deviceReady();
    const om = omnistatModule.createOmnistat({ exec: cordova.exec, onReady: (fn) => fn() });
    const figures = om.getStatistics();
    const none = { ...FIGURES, pending: null, lastRefusal: null };
    await shell.answer(shell.posted[0][0], omnistatModule.Status.OK, none);
    // The object is the page's own; compared here as plain data.
    assert.deepEqual(JSON.parse(JSON.stringify(await figures)), none);
  });
});
