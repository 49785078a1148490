// The shell as a person meets it, measured: time from starting halden-app
// to the page's first answered call, the round trip of a getVar from the
// page through the window's bridge and back (median and 99th percentile,
// beside the page's own round trip through a resolved Promise), and the
// memory of the application's processes (proportional set size, with
// WebKit's web and network processes).
//
//   xvfb-run -a node bench/Shell_driver.mjs build/default/App/halden-app [CALLS]
import { readFileSync, readdirSync } from 'node:fs';
import { AppSession, until } from '../tests/browser/webdriver.mjs';

const [program, callsArg] = process.argv.slice(2);
const calls = Number(callsArg || 2000);
const env = { HALDEN_LIBRARY_DIR: `/tmp/halden-shell-bench-${process.pid}`, HALDEN_HTTP_ORIGIN: 'http://127.0.0.1:9', HALDEN_HTTPS_ORIGIN: 'http://127.0.0.1:9' };

const pct = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];

function pss(pid) {
  try {
    const line = readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8').split('\n').find((l) => l.startsWith('Pss:'));
    return Number(line.split(/\s+/)[1]) / 1024;
  } catch {
    return 0;
  }
}

// halden-app and the WebKit processes it started, by command line.
function appMemory() {
  let total = 0;
  const parts = [];
  for (const pid of readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    let cmd = '';
    try {
      cmd = readFileSync(`/proc/${pid}/cmdline`, 'utf8').replace(/\0/g, ' ');
    } catch {
      continue;
    }
    if (cmd.includes(`${program} --automation`) || /WebKit(Web|Network|GPU)Process/.test(cmd)) {
      const mb = pss(pid);
      total += mb;
      parts.push(`${cmd.split(' ')[0].split('/').pop()} ${mb.toFixed(1)} MiB`);
    }
  }
  return { total, parts };
}

const started = performance.now();
const app = await AppSession.start({ program, env });
await until(() => app.execute('return document.querySelector("#bridge-status")?.dataset.state === "ready" && Array.from(document.querySelectorAll("#activity li")).some(li => li.dataset.call === "startTrackerWithId" && li.dataset.status === "ok");'), { intervalMs: 5, what: 'the first answer' });
const firstAnswer = performance.now() - started;

const measure = (body) =>
  app.send('POST', '/execute/async', {
    script: `const done = arguments[arguments.length - 1]; (async () => {
      const times = [];
      const begin = performance.now();
      for (let i = 0; i < ${calls}; i++) { const t = performance.now(); ${body}; times.push(performance.now() - t); }
      done({ total: performance.now() - begin, times });
    })();`,
    args: [],
  });
// The page's clock is coarse (WebKit rounds it to a millisecond or so): the
// mean comes from the whole run, the percentiles from single calls.
const bridgeRun = await measure('await window.omnistat.getVar("&av")');
const baselineRun = await measure('await Promise.resolve(1)');
const bridge = bridgeRun.times.sort((a, b) => a - b);
const mean = (run) => (run.total / calls) * 1000;
const memory = appMemory();
await app.close();

console.log(`start to the page's first answered call: ${firstAnswer.toFixed(0)} ms (WebDriver session included)`);
console.log(`getVar round trip in the window, ${calls} calls one after another: mean ${mean(bridgeRun).toFixed(0)} us; median ${(pct(bridge, 50) * 1000).toFixed(0)} us, p99 ${(pct(bridge, 99) * 1000).toFixed(0)} us at the page clock's resolution`);
console.log(`  beside a resolved Promise in the page: mean ${mean(baselineRun).toFixed(2)} us`);
console.log(`memory (PSS) of the application's processes: ${memory.total.toFixed(1)} MiB: ${memory.parts.join(', ')}`);
