// What each call sends, and how its answer reaches the caller: Promise,
// callbacks, error objects.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { FakeBridge, omnistatOver, omnistatModule, turn, unhandledDuring } from './support.mjs';

const { OmnistatError, Status } = omnistatModule;

function started() {
  const bridge = new FakeBridge();
  return { bridge, om: omnistatOver(bridge) };
}

describe('arguments sent', () => {
  it('sends what the caller gave, undefined as null, never past the arity', () => {
    const { bridge, om } = started();
    om.trackEvent('cat', 'act');
    om.trackEvent('cat', undefined, 'label');
    om.trackEvent('c', 'a', 'l', 5, true, 'extra', 'more');
    om.dispatch('ignored');
    om.addTransactionItem('t1', 'n', 'sku', 'cat', 9.5, 2, 'EUR');
    assert.deepEqual(
      bridge.posted.map((p) => p.args),
      [['cat', 'act'], ['cat', null, 'label'], ['c', 'a', 'l', 5, true], [], ['t1', 'n', 'sku', 'cat', 9.5, 2, 'EUR']],
    );
  });

  it('always sends position 1 of startTrackerWithId and trackView', async () => {
    const { bridge, om } = started();
    om.startTrackerWithId('UA-1');
    bridge.answer('startTrackerWithId');
    await turn();
    om.startTrackerWithId('UA-2', 10);
    bridge.answer('startTrackerWithId', undefined, 1);
    om.trackView('Home');
    om.trackView('Home', undefined, true);
    assert.deepEqual(bridge.posted.map((p) => p.args), [['UA-1', null], ['UA-2', 10], ['Home', null], ['Home', null, true]]);
  });

  it('strips trailing callbacks and tells success from error', async () => {
    const { bridge, om } = started();
    const seen = [];
    om.getVar('&uid', (m) => seen.push(['ok', m]), (e) => seen.push(['err', e.message]));
    om.trackView('Home', (m) => seen.push(['view', m]));
    om.setOptOut(true, null, (e) => seen.push(['optout', e.message]));
    assert.deepEqual(bridge.posted.map((p) => p.args), [['&uid'], ['Home', null], [true]]);
    bridge.answer('getVar', 'u-1');
    bridge.answer('trackView');
    bridge.fail('setOptOut', 'Tracker not started');
    assert.deepEqual(seen, [['ok', 'u-1'], ['view', undefined], ['optout', 'Tracker not started']]);
  });

  it('posts every command to OmnistatPlugin under its own name', () => {
    const { bridge, om } = started();
    const names = Object.keys(om);
    assert.equal(names.length, 20);
    for (const name of names) if (name !== 'startTrackerWithId') om[name]();
    assert.deepEqual(bridge.actions(), names.filter((n) => n !== 'startTrackerWithId'));
    assert.ok(bridge.posted.every((p) => p.service === 'OmnistatPlugin'));
  });
});

describe('answers', () => {
  it('resolves with the message', async () => {
    const { bridge, om } = started();
    const value = om.getVar('&cd');
    const nothing = om.setUserId('u');
    bridge.answer('setUserId');
    bridge.answer('getVar', 'Home');
    assert.equal(await value, 'Home');
    assert.equal(await nothing, undefined);
  });

  it('rejects with an OmnistatError carrying status and native message', async () => {
    const { bridge, om } = started();
    const notStarted = om.trackView('Home');
    const unknown = om.trackEvent('c', 'a');
    const silent = om.setAppVersion('1.0');
    const structured = om.getVar('&uid');
    bridge.fail('trackView', 'Tracker not started');
    bridge.fail('trackEvent', null, Status.INVALID_ACTION);
    bridge.fail('setAppVersion', undefined);
    bridge.fail('getVar', { code: 3 }, 8);

    const e1 = await notStarted.catch((e) => e);
    assert.ok(e1 instanceof OmnistatError && e1 instanceof Error);
    assert.deepEqual([e1.name, e1.status, e1.message, e1.nativeMessage, e1.action],
      ['OmnistatError', 9, 'Tracker not started', 'Tracker not started', 'trackView']);

    const e2 = await unknown.catch((e) => e);
    assert.equal(e2.status, 7);
    assert.equal(e2.nativeMessage, null);
    assert.match(e2.message, /trackEvent.*Invalid action.*status 7/);

    const e3 = await silent.catch((e) => e);
    assert.equal(e3.status, 9);
    assert.match(e3.message, /setAppVersion failed/);

    const e4 = await structured.catch((e) => e);
    assert.deepEqual([e4.status, e4.message, e4.nativeMessage], [8, '{"code":3}', { code: 3 }]);
  });

  it('settles once when the bridge answers twice', async () => {
    const { bridge, om } = started();
    let calls = 0;
    const p = om.getVar('k', () => calls++, () => calls++);
    const q = om.getVar('k', () => calls++, () => calls++);
    bridge.answer('getVar', 'first');
    bridge.fail('getVar', 'late');
    bridge.fail('getVar', 'first', 9, 1);
    bridge.answer('getVar', 'late', 1);
    assert.equal(await p, 'first');
    await assert.rejects(q, { message: 'first' });
    assert.equal(calls, 2);
  });

  it('gives the callback and the Promise the same error', async () => {
    const { bridge, om } = started();
    let given;
    const p = om.setUserId('u', null, (e) => { given = e; });
    bridge.fail('setUserId', 'Tracker not started');
    const rejected = await p.catch((e) => e);
    assert.equal(given, rejected);
  });

  it('rejects with status 9 and the cause when the bridge throws, and goes on', async () => {
    const boom = new Error('bridge down');
    let throwNext = true;
    const posted = [];
    const om = omnistatModule.createOmnistat({
      exec: (s, e, service, action) => {
        if (throwNext) { throwNext = false; throw boom; }
        posted.push(action);
        s('ok');
      },
      onReady: (fn) => fn(),
    });
    const err = await om.trackView('Home').catch((e) => e);
    assert.deepEqual([err.status, err.cause, err.action], [9, boom, 'trackView']);
    assert.match(err.message, /trackView could not be posted: bridge down/);
    assert.equal(await om.trackEvent('c', 'a'), 'ok');
    assert.deepEqual(posted, ['trackEvent']);
  });
});

describe('no unhandled rejection when callbacks are given', () => {
  for (const [label, callbacks] of [
    ['success and error', [() => {}, () => {}]],
    ['success only', [() => {}]],
    ['error only', [null, () => {}]],
  ]) {
    it(label, async () => {
      const seen = await unhandledDuring(async () => {
        const { bridge, om } = started();
        om.setUserId('u', ...callbacks);
        bridge.fail('setUserId', 'Tracker not started');
      });
      assert.deepEqual(seen, []);
    });
  }

  it('still rejects for a caller who also awaits', async () => {
    const { bridge, om } = started();
    let called = 0;
    const p = om.setOptOut(false, () => {}, () => called++);
    bridge.fail('setOptOut', 'Tracker not started');
    await assert.rejects(p, { status: 9, message: 'Tracker not started' });
    assert.equal(called, 1);
  });
});

describe('dispatch and debugMode', () => {
  it('resolve once posted, with no callbacks for the bridge', async () => {
    const { bridge, om } = started();
    let called = 0;
    assert.equal(await om.dispatch(), undefined);
    assert.equal(await om.debugMode(() => called++), undefined);
    assert.equal(called, 1);
    assert.deepEqual(bridge.posted.map((p) => [p.action, p.success, p.error, p.args]),
      [['dispatch', null, null, []], ['debugMode', null, null, []]]);
  });
});
