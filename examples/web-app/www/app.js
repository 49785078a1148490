// Hello Hits: the smallest application of the shell. Each button sends one
// hit through window.omnistat (the analytics plugin's module, which
// cordova.js loads); the figures show what became of them, and links of the
// application's own scheme arrive through the App plugin's "appUrlOpen".
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const started = performance.now();
  const tid = new URLSearchParams(location.search).get('tid') || 'UA-00000-1';

  // The module is there once cordova.js has loaded the plugin list.
  const plugin = new Promise((resolve, reject) => {
    if (window.omnistat) resolve(window.omnistat);
    else if (!window.cordova) reject(new Error('no plugin bridge (opened outside the shell?)'));
    else document.addEventListener('deviceready', () => resolve(window.omnistat), false);
  });

  function say(id, text, state) {
    $(id).textContent = text;
    if (state) $(id).dataset.state = state;
  }

  async function send(what, command, ...args) {
    try {
      const omnistat = await plugin;
      await omnistat[command](...args);
      say('last', `${what}: tracked; it stays on disk until the service takes it.`, 'ok');
      refresh();
    } catch (error) {
      say('last', `${what}: ${(error && error.message) || error}`, 'error');
    }
  }

  async function refresh() {
    try {
      const s = await (await plugin).getStatistics();
      const dropped = Object.values(s.dropped || {}).reduce((a, b) => a + b, 0);
      say('delivered', String(s.delivered));
      say('pending', s.pending == null ? '–' : String(s.pending));
      say('dropped', String(dropped));
    } catch (error) {
      say('last', `No figures: ${(error && error.message) || error}`, 'error');
    }
  }

  $('view').addEventListener('click', () => send('View', 'trackView', 'Hello'));
  $('event').addEventListener('click', () => send('Event', 'trackEvent', 'hello', 'click', 'button', 1));
  $('timing').addEventListener('click', () =>
    send('Timing', 'trackTiming', 'hello', Math.round(performance.now() - started), 'since start', 'page'));
  $('refresh').addEventListener('click', refresh);

  let opened = 0;
  const app = window.capacitorApp && window.capacitorApp.App;
  if (app) {
    app.addListener('appUrlOpen', (event) => {
      say('opened', String(event && event.url));
      $('opened').dataset.count = String(++opened);
    });
  }

  plugin
    .then((omnistat) => omnistat.startTrackerWithId(tid, 5))
    .then(() => {
      say('status', 'Connected to the analytics plugin.', 'ready');
      refresh();
      setInterval(refresh, 3000);
    })
    .catch((error) => say('status', `Not connected: ${(error && error.message) || error}`, 'error'));
})();
