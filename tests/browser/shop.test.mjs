// The shop in the real window, driven through WebKit's WebDriver like a
// person (clicks and typing, never calls into the plugin), with a reference
// collector receiving what the application sends.
//
//   HALDEN_APP_PROGRAM=... HALDEN_COLLECTOR_PROGRAM=... \
//     xvfb-run -a dbus-run-session -- node --test tests/browser/
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { AppSession, Collector, until, activity, param } from './webdriver.mjs';

const program = process.env.HALDEN_APP_PROGRAM;
const collectorProgram = process.env.HALDEN_COLLECTOR_PROGRAM;
let collector;

before(async () => {
  assert.ok(program && collectorProgram, 'HALDEN_APP_PROGRAM and HALDEN_COLLECTOR_PROGRAM name the programs');
  collector = await Collector.start(collectorProgram);
});
after(() => collector && collector.stop());

function settings(library, origin = collector.origin) {
  return { HALDEN_LIBRARY_DIR: library, HALDEN_HTTP_ORIGIN: origin, HALDEN_HTTPS_ORIGIN: origin };
}
const newLibrary = () => join(mkdtempSync(join(tmpdir(), 'halden-browser-')), 'Library');

// The hits of one tracking id, once `enough` says they are all there.
async function hitsOf(tid, enough, what) {
  return until(async () => {
    const hits = (await collector.hits()).filter((h) => param(h, 'tid') === tid);
    return enough(hits) && hits;
  }, { timeoutMs: 40000, intervalMs: 250, what });
}
const screens = (hits) => hits.filter((h) => param(h, 't') === 'screenview').map((h) => param(h, 'cd'));

// The panel's delivery figures as the page shows them, as numbers (NaN while
// it shows none), with the label each is shown under.
async function figures(app) {
  return app.execute(`return Object.fromEntries([...document.querySelectorAll('#delivery > div')].map((d) =>
    [d.querySelector('dt').textContent, Number(d.querySelector('dd').textContent)]));`);
}

async function openShop(tid, options = {}) {
  const app = await AppSession.start({ program, env: settings(options.library || newLibrary(), options.origin), args: options.args });
  // The shop takes its tracking id from its address; without one it keeps
  // its default (and a URL opened at the start is not lost to a reload).
  if (tid) await app.send('POST', '/url', { url: `app://localhost/index.html?tid=${tid}` });
  await until(() => app.execute('return document.querySelector("#bridge-status")?.dataset.state === "ready";'), {
    what: 'the shop connected to the plugin',
  });
  return app;
}

test('a person searches, fills the cart and checks out; every hit reaches the collector', async () => {
  const tid = 'UA-5101-1';
  const app = await openShop(tid);
  try {
    const first = await until(async () => {
      const f = await figures(app);
      return Number.isInteger(f.Delivered) && f;
    }, { what: 'the first delivery figures' });
    assert.deepEqual(Object.keys(first).sort(), ['Delivered', 'Dropped', 'Pending']);
    await app.click('#membership option[value="Gold"]');
    await app.click('[data-product="tote"]');
    await app.click('#add-to-cart');
    await app.click('#home-link');
    await app.type('#search-input', 'mug');
    await app.click('#search-button');
    await app.click('[data-product="mug"]');
    await app.click('#add-to-cart');
    await app.click('#cart-link');
    await app.click('#checkout');
    await until(() => app.execute('return document.querySelector("#view")?.dataset.view === "done";'), { what: 'the thank-you page' });
    const calls = await activity(app);
    assert.ok(calls.every((c) => c.status !== 'error'), JSON.stringify(calls));

    const hits = await hitsOf(tid, (h) => h.filter((x) => param(x, 't') === 'item').length >= 2 && screens(h).includes('Thank you'), 'the order');
    // Commands run in the background and may reach the tracker in either
    // order when they come close together: compare what arrived, not when.
    assert.deepEqual(screens(hits).filter((s) => s !== 'Home').sort(), ['Cart', 'Product: Blue mug', 'Product: Canvas tote', 'Thank you']);
    const events = hits.filter((h) => param(h, 't') === 'event').map((h) => [param(h, 'ec'), param(h, 'ea'), param(h, 'el')]);
    assert.deepEqual(events.sort(), [['cart', 'add', 'Blue mug'], ['cart', 'add', 'Canvas tote'], ['shop', 'search', 'mug']]);
    const transaction = hits.find((h) => param(h, 't') === 'transaction');
    assert.equal(param(transaction, 'tr'), '27.9', 'the goods and the shipping');
    assert.equal(param(transaction, 'cu'), 'EUR');
    assert.deepEqual(hits.filter((h) => param(h, 't') === 'item').map((h) => param(h, 'in')).sort(), ['Blue mug', 'Canvas tote']);
    assert.ok(hits.some((h) => param(h, 't') === 'timing' && param(h, 'utc') === 'shop'), 'the load timing');
    for (const h of hits.filter((x) => param(x, 't') === 'event')) assert.equal(param(h, 'cd1'), 'Gold', 'the membership dimension');
    assert.equal(param(hits.find((h) => param(h, 't') === 'item'), 'cm1'), '27.9', 'the order total metric');
    for (const h of hits) assert.ok(h.valid, JSON.stringify(h.problems));

    // The panel catches up with the collector on its own: every hit this
    // window sent is counted delivered, none pending, none dropped.
    const last = await until(async () => {
      const f = await figures(app);
      return f.Delivered >= hits.length && f.Pending === 0 && f;
    }, { what: `${hits.length} delivered in the panel` });
    assert.ok(last.Delivered > first.Delivered, 'the figure moved');
    assert.equal(last.Dropped, 0);
    await app.click('#refresh-stats');
    assert.match(await app.text('#delivery-detail'), /^\d+ stored\b/);
  } finally {
    await app.close();
  }
});

test('a URL opened at a cold start and one opened while running reach the page', async (t) => {
  const source = `newsletter-${process.pid}`;
  const first = `x-halden-shop://product/mug?utm_source=${source}&utm_medium=email&utm_campaign=winter`;
  const library = newLibrary();
  const app = await openShop(null, { library, args: [first] });
  try {
    assert.equal(await until(() => app.text('#opened-url'), { what: 'the cold-start URL' }), first);
    const view = await until(async () => (await collector.hits()).find((h) => param(h, 'cs') === source), {
      timeoutMs: 40000,
      what: 'the campaign view',
    });
    assert.equal(param(view, 'cd'), 'Product: Blue mug');
    assert.equal(param(view, 'cn'), 'winter');
    assert.equal(param(view, 'sc'), 'start');

    if (!process.env.DBUS_SESSION_BUS_ADDRESS) {
      t.skip('no session bus: a second start runs on its own');
      return;
    }
    const second = 'x-halden-shop://cart?utm_source=reminder';
    const handOver = spawn(program, [second], { env: { ...process.env, ...settings(library) }, stdio: 'ignore' });
    const code = await new Promise((resolve) => handOver.on('exit', resolve));
    assert.equal(code, 0, 'the second start hands its URL over and ends');
    assert.equal(await until(async () => (await app.text('#opened-url')) === second && second, { what: 'the handed-over URL' }), second);
    await until(() => app.execute('return document.querySelector("#view")?.dataset.view === "cart";'), { what: 'the cart' });
  } finally {
    await app.close();
  }
});

test('closing the window keeps what was tracked; the next start delivers it', async () => {
  const tid = 'UA-5103-1';
  const library = newLibrary();
  // Nothing can leave while the first window is open: the host is closed.
  const app = await openShop(tid, { library, origin: 'http://127.0.0.1:9' });
  await app.click('[data-product="scarf"]');
  await until(async () => (await activity(app)).some((c) => c.call === 'trackView' && c.status === 'ok' && c.args.includes('Wool scarf')), {
    what: 'the view answered',
  });
  // Not delivered, not lost: the panel shows the hits waiting.
  const waiting = await until(async () => {
    const f = await figures(app);
    return f.Pending >= 1 && f;
  }, { what: 'pending hits in the panel' });
  assert.deepEqual([waiting.Delivered, waiting.Dropped], [0, 0]);
  await app.close();

  const again = await openShop(tid, { library });
  try {
    const hits = await hitsOf(tid, (h) => screens(h).includes('Product: Wool scarf'), 'the view from the closed window');
    assert.ok(screens(hits).includes('Product: Wool scarf'));
  } finally {
    await again.close();
  }
});
