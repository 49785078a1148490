// The one ordered queue: calls wait for the bridge to be ready and for an
// unanswered start, and always go out in call order.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { FakeBridge, omnistatModule, omnistatOver, readiness, turn } from './support.mjs';

// Records when each promise settles, in order.
function settledOrder(entries) {
  const order = [];
  for (const [name, promise] of entries) {
    promise.then(() => order.push(name), () => order.push(`${name}!`));
  }
  return order;
}

describe('before the bridge is ready', () => {
  it('posts nothing, then everything in call order', async () => {
    const bridge = new FakeBridge();
    const gate = readiness();
    const om = omnistatOver(bridge, gate.onReady);
    const dispatched = om.dispatch();
    om.addCustomDimension(1, 'a');
    om.setUserId('u');
    om.trackView('Home');
    assert.equal(gate.subscribed, 1);
    assert.deepEqual(bridge.posted, []);
    let done = false;
    dispatched.then(() => { done = true; });
    await turn();
    assert.equal(done, false, 'dispatch resolved before it was posted');
    gate.fire();
    assert.deepEqual(bridge.actions(), ['dispatch', 'addCustomDimension', 'setUserId', 'trackView']);
    await dispatched;
  });

  it('subscribes to readiness on the first call only', () => {
    const gate = readiness();
    omnistatOver(new FakeBridge(), gate.onReady);
    assert.equal(gate.subscribed, 0);
  });

  it('fails the waiting calls when readiness cannot be awaited', async () => {
    const om = omnistatModule.createOmnistat({
      exec: () => assert.fail('posted'),
      onReady: () => { throw new Error('no document'); },
    });
    await assert.rejects(om.trackView('Home'), { status: 9, message: /trackView could not be posted: no document/ });
  });

  it('holds the calls behind a start made before ready', () => {
    const bridge = new FakeBridge();
    const gate = readiness();
    const om = omnistatOver(bridge, gate.onReady);
    om.startTrackerWithId('UA-1', 5);
    om.trackView('Home');
    gate.fire();
    assert.deepEqual(bridge.actions(), ['startTrackerWithId']);
    bridge.answer('startTrackerWithId');
    assert.deepEqual(bridge.actions(), ['startTrackerWithId', 'trackView']);
  });
});

describe('behind an unanswered start', () => {
  function scripted() {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    const promises = [
      ['start', om.startTrackerWithId('UA-1')],
      ['view', om.trackView('Home')],
      ['dispatch', om.dispatch()],
      ['event', om.trackEvent('c', 'a')],
      ['dim', om.addCustomDimension(2, 'x')],
    ];
    return { bridge, om, promises };
  }

  it('holds every later call, then sends them in order on success', async () => {
    const { bridge, promises } = scripted();
    const order = settledOrder(promises);
    assert.deepEqual(bridge.actions(), ['startTrackerWithId']);
    await turn();
    assert.deepEqual(order, []);
    bridge.answer('startTrackerWithId');
    assert.deepEqual(bridge.actions(), ['startTrackerWithId', 'trackView', 'dispatch', 'trackEvent', 'addCustomDimension']);
    // Answers out of order reach the right callers.
    bridge.answer('addCustomDimension');
    bridge.fail('trackEvent', 'boom');
    bridge.answer('trackView');
    await turn();
    assert.deepEqual(order, ['start', 'dispatch', 'dim', 'event!', 'view']);
  });

  it('releases them in order on an error answer too', async () => {
    const { bridge, promises } = scripted();
    const order = settledOrder(promises);
    bridge.fail('startTrackerWithId', 'no', 2);
    assert.deepEqual(bridge.actions(), ['startTrackerWithId', 'trackView', 'dispatch', 'trackEvent', 'addCustomDimension']);
    await turn();
    assert.deepEqual(order, ['start!', 'dispatch']);
    await assert.rejects(promises[0][1], { status: 2, message: 'no' });
  });

  it('holds again behind a second start', () => {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    om.startTrackerWithId('UA-1');
    om.trackView('A');
    om.startTrackerWithId('UA-2', 60);
    om.trackView('B');
    assert.deepEqual(bridge.actions(), ['startTrackerWithId']);
    bridge.answer('startTrackerWithId');
    assert.deepEqual(bridge.posted.map((p) => [p.action, ...p.args]),
      [['startTrackerWithId', 'UA-1', null], ['trackView', 'A', null], ['startTrackerWithId', 'UA-2', 60]]);
    om.setUserId('late');
    bridge.answer('trackView');
    assert.equal(bridge.posted.length, 3, 'a held call went out before the second start answered');
    bridge.answer('startTrackerWithId', undefined, 1);
    assert.deepEqual(bridge.actions().slice(3), ['trackView', 'setUserId']);
  });

  it('puts a call made from the start callback after the held calls', () => {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    om.startTrackerWithId('UA-1', () => om.trackEvent('from', 'callback'));
    om.trackView('Home');
    bridge.answer('startTrackerWithId');
    assert.deepEqual(bridge.actions(), ['startTrackerWithId', 'trackView', 'trackEvent']);
  });

  it('moves on when the start callback throws; the bridge sees the throw', () => {
    const bridge = new FakeBridge();
    const om = omnistatOver(bridge);
    om.startTrackerWithId('UA-1', () => { throw new Error('caller bug'); });
    om.trackView('Home');
    assert.throws(() => bridge.answer('startTrackerWithId'), /caller bug/);
    assert.deepEqual(bridge.actions(), ['startTrackerWithId', 'trackView']);
  });

  it('keeps order with a bridge that answers inside exec', async () => {
    const posted = [];
    const om = omnistatModule.createOmnistat({
      exec: (success, error, service, action, args) => {
        posted.push(action);
        if (action === 'trackView') om.setVar('&x', 'from-exec');
        if (success) success(`${action}:${args[0]}`);
      },
      onReady: (fn) => fn(),
    });
    const results = await Promise.all([
      om.startTrackerWithId('UA-1'),
      om.trackView('Home'),
      om.dispatch(),
      om.trackEvent('c', 'a'),
    ]);
    assert.deepEqual(posted, ['startTrackerWithId', 'trackView', 'setVar', 'dispatch', 'trackEvent']);
    assert.deepEqual(results, ['startTrackerWithId:UA-1', 'trackView:Home', undefined, 'trackEvent:c']);
  });

  it('keeps separate objects independent', () => {
    const a = new FakeBridge();
    const b = new FakeBridge();
    omnistatOver(a).startTrackerWithId('UA-1');
    omnistatOver(b).trackView('Home');
    assert.deepEqual([a.actions(), b.actions()], [['startTrackerWithId'], ['trackView']]);
  });
});
