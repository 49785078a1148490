// A web application of anyone's, run by the shell from its own folder
// (examples/web-app) with --app: its identity comes from its file, the URLs
// it is handed are only those of its scheme, and its pages cannot leave their
// origin or run what the content policy does not allow.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { cpSync, mkdtempSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { AppSession, Collector, until, param } from './webdriver.mjs';

const program = process.env.HALDEN_APP_PROGRAM;
const collectorProgram = process.env.HALDEN_COLLECTOR_PROGRAM;
const example = process.env.HALDEN_WEB_APP_DIR;
let collector;

before(async () => {
  assert.ok(program && collectorProgram && example, 'HALDEN_APP_PROGRAM, HALDEN_COLLECTOR_PROGRAM and HALDEN_WEB_APP_DIR');
  collector = await Collector.start(collectorProgram);
});
after(() => collector && collector.stop());

// No Library directory is named: the application's own is used, under XDG_DATA_HOME.
function settings(data) {
  return { HALDEN_LIBRARY_DIR: '', XDG_DATA_HOME: data, HALDEN_HTTP_ORIGIN: collector.origin, HALDEN_HTTPS_ORIGIN: collector.origin };
}

async function openApp({ dir = example, data = mkdtempSync(join(tmpdir(), 'halden-webapp-')), tid, args = [] } = {}) {
  const app = await AppSession.start({ program, env: settings(data), args: ['--app', dir, ...args] });
  if (tid) await app.send('POST', '/url', { url: `app://localhost/index.html?tid=${tid}` });
  await until(() => app.execute('return document.querySelector("#status")?.dataset.state === "ready";'), {
    what: 'the application connected to the plugin',
  });
  return Object.assign(app, { data });
}

test('its hits carry its identity and version, and its store is its own', async () => {
  const tid = 'UA-7001-1';
  const app = await openApp({ tid });
  try {
    for (const button of ['#view', '#event', '#timing']) await app.click(button);
    const hits = await until(async () => {
      const mine = (await collector.hits()).filter((h) => param(h, 'tid') === tid);
      return ['screenview', 'event', 'timing'].every((t) => mine.some((h) => param(h, 't') === t)) && mine;
    }, { timeoutMs: 40000, intervalMs: 250, what: 'the three hits' });
    for (const hit of hits) {
      assert.deepEqual([param(hit, 'aid'), param(hit, 'an'), param(hit, 'av')], ['org.example.HelloHits', 'Hello Hits', '0.1.0']);
    }
    assert.equal(param(hits.find((h) => param(h, 't') === 'screenview'), 'cd'), 'Hello');
    assert.deepEqual(readdirSync(app.data), ['org.example.HelloHits']);
    assert.ok(readdirSync(join(app.data, 'org.example.HelloHits', 'Library')).length > 0, 'the store is in its Library');
    // The page's figures move once the collector has answered.
    await until(async () => Number(await app.text('#delivered')) >= 3, { what: 'the delivered figure' });
  } finally {
    await app.close();
  }
});

test("a second start hands over URLs of the application's scheme, and no other", async (t) => {
  if (!process.env.DBUS_SESSION_BUS_ADDRESS) {
    t.skip('no session bus: a second start runs on its own');
    return;
  }
  const app = await openApp();
  const start = (url) =>
    new Promise((resolve) => {
      spawn(program, ['--app', example, url], { env: { ...process.env, ...settings(app.data) }, stdio: 'ignore' }).on('exit', resolve);
    });
  try {
    // The App plugin's listener is in place once the page is ready.
    const foreign = 'x-halden-shop://product/mug?utm_source=elsewhere';
    assert.equal(await start(foreign), 0, 'the second start hands its URL over and ends');
    await app.logged(`not opening ${foreign}`);
    const own = 'x-hello-hits://hello?from=second-start';
    assert.equal(await start(own), 0);
    assert.equal(await until(async () => (await app.text('#opened')) === own && own, { what: 'the URL of its scheme' }), own);
    assert.equal(await app.execute('return document.querySelector("#opened").dataset.count;'), '1', 'the other scheme never reached the page');
  } finally {
    await app.close();
  }
});

// Records what the content policy refused, and a token that a reload or a
// navigation would lose.
const WATCH = `window.__refused = window.__refused || [];
  if (!window.__watching) {
    window.__watching = true;
    document.addEventListener('securitypolicyviolation', (e) => window.__refused.push(e.violatedDirective + ' ' + e.blockedURI));
  }
  window.__stay = arguments[0];
  return true;`;

async function stays(app, token) {
  return app.execute('return [location.origin, window.__stay, document.querySelector("#status")?.dataset.state];', [token]);
}

test('the page cannot navigate, open a window or submit a form to another origin, data: or file:', async () => {
  const app = await openApp();
  const away = `${collector.origin}/hits`;
  const attempts = [
    ['a link', `const a = document.createElement('a'); a.href = ${JSON.stringify(away)}; document.body.append(a); a.click();`, `not following ${away}`],
    ['location', `location.assign(${JSON.stringify(away + '?by=location')})`, `not following ${away}?by=location`],
    // From a person's click: without one, WebKit blocks the pop-up itself.
    ['window.open', `const b = document.createElement('button'); b.id = 'go'; b.textContent = 'go';
      b.addEventListener('click', () => window.open('https://example.org/popup')); document.body.append(b);`,
      'not opening a window for https://example.org/popup', '#go'],
    ['a new window', `const a = document.createElement('a'); a.id = 'go'; a.textContent = 'go'; a.target = '_blank';
      a.href = 'https://example.org/blank'; document.body.append(a);`, 'not following https://example.org/blank', '#go'],
    // WebKit refuses a file: address from this origin before the window is
    // asked; the data: one after it shows it was let go.
    ['file:', `location.href = 'file:///etc/hostname'`, null],
    ['data:', `location.href = 'data:text/html,<p>elsewhere</p>'`, 'not following data:text/html'],
  ];
  try {
    for (const [what, script, logged, click] of attempts) {
      const token = `${what}-${Math.random()}`;
      await app.execute(WATCH, [token]);
      await app.execute(script);
      if (click) {
        await app.click(click);
        await app.execute('document.getElementById("go").remove();');
      }
      if (logged) await app.logged(logged);
      assert.deepEqual(await stays(app, token), ['app://localhost', token, 'ready'], what);
    }
    // A form to another origin: the policy's form-action refuses it first.
    const token = `form-${Math.random()}`;
    await app.execute(WATCH, [token]);
    await app.execute(`const f = document.createElement('form'); f.method = 'post'; f.action = ${JSON.stringify(away)};
      document.body.append(f); f.submit();`);
    await until(() => app.execute('return window.__refused.some((r) => r.startsWith("form-action"));'), { what: 'the form refused' });
    assert.deepEqual(await stays(app, token), ['app://localhost', token, 'ready']);
    assert.equal((await collector.hits()).filter((h) => !h.params).length, 0, 'nothing but hits reached the collector');
  } finally {
    await app.close();
  }
});

test('the content policy keeps out scripts of other origins, inline handlers and foreign frames', async () => {
  const app = await openApp();
  try {
    await app.execute(WATCH, ['policy']);
    await app.execute(`
      const s = document.createElement('script'); s.src = ${JSON.stringify(collector.origin + '/x.js')};
      s.onerror = () => { window.__scriptFailed = true; }; document.body.append(s);
      const d = document.createElement('div'); d.innerHTML = '<button id="inline" onclick="window.__inline = 1">x</button>';
      document.body.append(d); document.getElementById('inline').click();
      const f = document.createElement('iframe'); f.id = 'foreign'; f.src = ${JSON.stringify(collector.origin + '/hits')}; document.body.append(f);`);
    const refused = await until(async () => {
      const r = await app.execute('return window.__refused;');
      return ['script-src-elem', 'script-src-attr', 'frame-src'].every((d) => r.some((x) => x.startsWith(d))) && r;
    }, { what: 'three refusals' });
    assert.ok(refused.some((r) => r === `script-src-elem ${collector.origin}/x.js`), refused.join('; '));
    assert.deepEqual(await app.execute('return [window.__inline, window.__scriptFailed];'), [null, true]);
    // Every response of the application's origin carries the policy.
    const headers = await app.send('POST', '/execute/async', {
      script: `const done = arguments[arguments.length - 1];
        fetch('/app.js').then((r) => done([r.headers.get('content-security-policy'), r.headers.get('x-content-type-options')]));`,
      args: [],
    });
    assert.match(headers[0], /^default-src 'self'; script-src 'self';/);
    assert.equal(headers[1], 'nosniff');
  } finally {
    await app.close();
  }
});

test('with a policy that lets frames in, the window still refuses a foreign frame', async () => {
  // The application's own copy, whose policy allows frames from anywhere:
  // the window's navigation rule is the guard left.
  const dir = mkdtempSync(join(tmpdir(), 'halden-webapp-open-'));
  cpSync(example, dir, { recursive: true });
  const config = JSON.parse(readFileSync(join(dir, 'capacitor.config.json'), 'utf8'));
  config.linux.contentSecurityPolicy = "default-src 'self'; frame-src *";
  writeFileSync(join(dir, 'capacitor.config.json'), JSON.stringify(config));
  const app = await openApp({ dir });
  try {
    const away = `${collector.origin}/hits?by=frame`;
    await app.execute(`const f = document.createElement('iframe'); f.src = ${JSON.stringify(away)}; document.body.append(f);`);
    await app.logged(`not following ${away}`);
  } finally {
    await app.close();
  }
});

test('only the plugin turns on the inspector, and only where the application allows it', async () => {
  const app = await openApp();
  try {
    // The same action for another service: refused by the bridge, nothing else.
    const answer = await app.send('POST', '/execute/async', {
      script: `const done = arguments[arguments.length - 1];
        cordova.exec(() => done('ok'), (m, status) => done([m, status]), 'NotThePlugin', 'debugMode', []);`,
      args: [],
    });
    assert.deepEqual(answer, ['Class not found: NotThePlugin', 2]);
    await app.execute('window.omnistat.debugMode();');
    await app.logged('a plugin asked for the web inspector; the application does not allow it');
    assert.ok(!app.log().includes('the web inspector is on'));
  } finally {
    await app.close();
  }
});
