// The demo's guided tour, for a machine without a display: halden-app under
// Xvfb, driven through WebKit's WebDriver like a person. It opens the shop,
// views two products, adds one to the cart, checks out, then opens a
// campaign URL (handed to the running application by a second start), saves
// a screenshot, and ends once the collector has every hit of the tour.
//
//   node scripts/demo-tour.mjs APP SCREENSHOT.png
// with HALDEN_HTTP_ORIGIN (and the other HALDEN_* settings) in the
// environment, the collector listening there.
import { spawn } from 'node:child_process';
import { writeFileSync } from 'node:fs';
import { AppSession, until, param } from '../tests/browser/webdriver.mjs';

const [program, screenshot] = process.argv.slice(2);
const origin = process.env.HALDEN_HTTP_ORIGIN;
const tid = 'UA-2026-1';
const campaign = 'x-halden-shop://product/scarf?utm_source=tour&utm_medium=demo&utm_campaign=winter';

function step(text) {
  console.log(`tour: ${text}`);
}

async function hits() {
  const all = await (await fetch(`${origin}/hits`)).json();
  return all.filter((h) => param(h, 'tid') === tid);
}

const app = await AppSession.start({ program });
let status = 0;
try {
  step('open the shop');
  await app.send('POST', '/url', { url: `app://localhost/index.html?tid=${tid}` });
  await until(() => app.execute('return document.querySelector("#bridge-status")?.dataset.state === "ready";'), {
    what: 'the shop',
  });
  step('view the blue mug, then the canvas tote');
  await app.click('[data-product="mug"]');
  await app.click('#home-link');
  await app.click('[data-product="tote"]');
  step('add the tote to the cart and check out');
  await app.click('#add-to-cart');
  await app.click('#cart-link');
  await app.click('#checkout');
  await until(() => app.execute('return document.querySelector("#view")?.dataset.view === "done";'), { what: 'the order' });

  step(`open a campaign URL: ${campaign}`);
  const handOver = spawn(program, [campaign], { stdio: 'inherit' });
  await new Promise((resolve) => handOver.on('exit', resolve));
  await until(async () => (await app.text('#opened-url')) === campaign, { what: 'the campaign URL in the page' });
  await app.click('#send-now');

  step('waiting for the collector to have every hit of the tour');
  const got = await until(async () => {
    const h = await hits();
    const views = h.filter((x) => param(x, 't') === 'screenview').map((x) => param(x, 'cd'));
    const done =
      ['Product: Blue mug', 'Product: Canvas tote', 'Cart', 'Thank you'].every((v) => views.includes(v)) &&
      h.some((x) => param(x, 't') === 'transaction') &&
      h.some((x) => param(x, 't') === 'item') &&
      h.some((x) => param(x, 'cs') === 'tour');
    return done && h;
  }, { timeoutMs: 60000, intervalMs: 250, what: 'the hits of the tour' });
  writeFileSync(screenshot, await app.screenshot());
  step(`${got.length} hits arrived; screenshot saved to ${screenshot}`);
} catch (e) {
  console.error(`tour: ${e.message}`);
  status = 1;
} finally {
  await app.close();
}
process.exit(status);
