// A small WebDriver client for driving halden-app through WebKit's own
// driver (WebKitWebDriver), and a reference collector to watch what arrives.
// Used by the browser tests and by the demo's guided tour.
import { spawn, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import net from 'node:net';

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
    server.on('error', reject);
  });
}

// Polls `probe` until it answers something truthy; rejects after `timeoutMs`.
export async function until(probe, { timeoutMs = 20000, intervalMs = 100, what = 'condition' } = {}) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await probe();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${last})`);
    await new Promise((r) => setTimeout(r, intervalMs));
  }
}

function stopped(child) {
  return new Promise((resolve) => {
    if (child.exitCode !== null || child.signalCode !== null) return resolve();
    child.once('exit', () => resolve());
  });
}

// The reference collector, on the loopback, plain HTTP.
export class Collector {
  static async start(program) {
    const dir = mkdtempSync(join(tmpdir(), 'halden-collector-'));
    const child = spawn(program, ['--port', '0', '--port-file', join(dir, 'port'), '--out', join(dir, 'hits.jsonl')], {
      stdio: ['ignore', 'ignore', 'inherit'],
    });
    const port = await until(() => existsSync(join(dir, 'port')) && Number(readFileSync(join(dir, 'port'), 'utf8')), {
      what: 'the collector',
    });
    return new Collector(child, port);
  }
  constructor(child, port) {
    this.child = child;
    this.origin = `http://127.0.0.1:${port}`;
  }
  async hits() {
    const r = await fetch(`${this.origin}/hits`);
    return r.json();
  }
  async stop() {
    this.child.kill('SIGTERM');
    await stopped(this.child);
  }
}

// One WebKitWebDriver and one session on halden-app.
export class AppSession {
  // `args` go to halden-app after "--automation"; `env` adds to its environment.
  static async start({ program, args = [], env = {} }) {
    const port = await freePort();
    // The application's log lines come through the driver's standard
    // error: kept for the tests to read, and passed on.
    const driver = spawn('WebKitWebDriver', [`--port=${port}`], {
      stdio: ['ignore', 'ignore', 'pipe'],
      env: { ...process.env, ...env },
    });
    let log = '';
    driver.stderr.on('data', (chunk) => {
      log += chunk;
      process.stderr.write(chunk);
    });
    const base = `http://127.0.0.1:${port}`;
    await until(() => fetch(`${base}/status`).then((r) => r.ok), { what: 'WebKitWebDriver' });
    const created = await command(base, 'POST', '/session', {
      capabilities: {
        alwaysMatch: { 'webkitgtk:browserOptions': { binary: program, args: ['--automation', ...args] } },
      },
    });
    return new AppSession(driver, base, created.sessionId, program, () => log);
  }
  constructor(driver, base, id, program, log) {
    this.program = program;
    this.log = log;
    this.driver = driver;
    this.base = base;
    this.path = `/session/${id}`;
  }
  // Waits for the application to log a line holding `text`.
  logged(text) {
    return until(() => this.log().includes(text), { what: `the log line "${text}"` });
  }
  send(method, path, body) {
    return command(this.base, method, this.path + path, body);
  }
  async find(css) {
    const found = await this.send('POST', '/element', { using: 'css selector', value: css });
    // A web element reference: an object with one key, the element's id.
    return Object.values(found)[0];
  }
  // Waits for the element to exist, then clicks it.
  async click(css) {
    const element = await until(() => this.find(css).catch(() => null), { what: css });
    await this.send('POST', `/element/${element}/click`, {});
  }
  async type(css, text) {
    const element = await until(() => this.find(css).catch(() => null), { what: css });
    await this.send('POST', `/element/${element}/value`, { text });
  }
  execute(script, args = []) {
    return this.send('POST', '/execute/sync', { script, args });
  }
  async text(css) {
    return this.execute('const e = document.querySelector(arguments[0]); return e ? e.textContent : null;', [css]);
  }
  async screenshot() {
    // Two animation frames first: a screenshot taken sooner may be blank.
    await this.send('POST', '/execute/async', {
      script: 'const done = arguments[0]; requestAnimationFrame(() => requestAnimationFrame(() => done()));',
      args: [],
    });
    return Buffer.from(await this.send('GET', '/screenshot'), 'base64');
  }
  // Ends the session, which closes the application's window, and waits for
  // the application to end: a next start must not find it still running and
  // hand its URLs to it.
  async close() {
    await this.send('DELETE', '').catch(() => {});
    this.driver.kill('SIGTERM');
    await stopped(this.driver);
    await until(() => spawnSync('pgrep', ['-f', '--', `${this.program} --automation`]).status === 1, {
      what: 'the application to end',
    });
  }
}

async function command(base, method, path, body) {
  const r = await fetch(base + path, {
    method,
    headers: { 'content-type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const answer = await r.json();
  if (answer.value && answer.value.error) {
    throw new Error(`${method} ${path}: ${answer.value.error}: ${answer.value.message}`);
  }
  return answer.value;
}

// The activity list's entries, newest first, as the page shows them.
export function activity(session) {
  return session.execute(
    'return Array.from(document.querySelectorAll("#activity li")).map(li => ({call: li.dataset.call, status: li.dataset.status, args: li.dataset.args}));',
  );
}

export function param(hit, key) {
  return hit.params ? hit.params[key] : undefined;
}
