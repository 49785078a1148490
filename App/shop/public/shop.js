/*
 * shop.js: the demo shop. Every analytics call goes through window.omnistat
 * (the plugin's module, set up by cordova.js) and is shown in the activity
 * list with its outcome. Opened in a plain browser, without the bridge, the
 * calls are only logged there.
 */
'use strict';
(() => {
  const SHAPES = {
    mug: '<rect x="12" y="18" width="30" height="34" rx="5"/><path d="M42 25h5a7 7 0 0 1 0 14h-5" fill="none" stroke="currentColor" stroke-width="5"/>',
    tote: '<path d="M12 26h40l-5 28H17z"/><path d="M23 26v-6a9 9 0 0 1 18 0v6" fill="none" stroke="currentColor" stroke-width="4"/>',
    notebook: '<rect x="16" y="9" width="32" height="46" rx="3"/><rect x="21" y="9" width="3" height="46" fill="#fff" opacity=".55"/>',
    scarf: '<path d="M12 12h40v12H38v30H26V24H12z"/><path d="M28 46h8M28 50h8" stroke="#fff" stroke-width="2" opacity=".6"/>'
  };
  const PRODUCTS = [
    { id: 'mug', name: 'Blue mug', price: 9, sku: 'HS-MUG-01', category: 'Kitchen', color: '#2f6db5',
      text: 'Stoneware, 350 ml, glazed in harbour blue.' },
    { id: 'tote', name: 'Canvas tote', price: 14, sku: 'HS-TOTE-01', category: 'Bags', color: '#b7792f',
      text: 'Heavy cotton canvas with long handles.' },
    { id: 'notebook', name: 'Field notebook', price: 12, sku: 'HS-NOTE-01', category: 'Stationery', color: '#3c8a5a',
      text: 'Dotted pages, 96 sheets, lies flat.' },
    { id: 'scarf', name: 'Wool scarf', price: 29, sku: 'HS-SCARF-01', category: 'Clothing', color: '#a23b4f',
      text: 'Soft merino, long enough to wrap twice.' }
  ];
  const byId = new Map(PRODUCTS.map((p) => [p.id, p]));
  const COMMANDS = ['startTrackerWithId', 'setAllowIDFACollection', 'getVar', 'setVar', 'dispatch',
    'debugMode', 'setUserId', 'setAnonymizeIp', 'setOptOut', 'setAppVersion',
    'enableUncaughtExceptionReporting', 'addCustomDimension', 'trackMetric', 'trackEvent',
    'trackException', 'trackView', 'trackTiming', 'addTransaction', 'addTransactionItem',
    'getStatistics'];
  const SCHEME = 'x-halden-shop:';
  const AFFILIATION = 'Halden Demo Shop';
  const FREE_SHIPPING_FROM = 40;
  const SHIPPING = 4.9;
  const VAT_RATE = 0.2; // prices include it

  const $ = (selector) => document.querySelector(selector);
  const euro = new Intl.NumberFormat('en-IE', { style: 'currency', currency: 'EUR' });
  const round2 = (n) => Math.round(n * 100) / 100;
  const escape = (s) => String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
  const icon = (p, size) => `<svg class="shape" width="${size}" height="${size}" viewBox="0 0 64 64" ` +
    `fill="currentColor" color="${p.color}" aria-hidden="true" focusable="false">${SHAPES[p.id]}</svg>`;

  // ---- The activity list --------------------------------------------------

  const activity = $('#activity');
  const MAX_ENTRIES = 200;

  function logEntry(call, text, status, outcome) {
    const li = document.createElement('li');
    const code = document.createElement('code');
    const badge = document.createElement('span');
    code.textContent = text;
    badge.className = 'outcome';
    li.append(code, ' ', badge);
    li.dataset.call = call;
    setOutcome(li, status, outcome);
    activity.prepend(li);
    while (activity.children.length > MAX_ENTRIES) activity.lastElementChild.remove();
    return li;
  }

  function setOutcome(li, status, outcome) {
    li.dataset.status = status;
    li.querySelector('.outcome').textContent = outcome;
  }

  // ---- The bridge ----------------------------------------------------------

  // Stands in for the plugin when the page runs without it: every command
  // resolves at once, so the shop stays usable and its calls stay visible.
  function makeStub() {
    const stub = { isStub: true };
    for (const name of COMMANDS) stub[name] = () => Promise.resolve();
    return stub;
  }

  // window.omnistat appears when cordova.js has loaded the plugin list, which
  // it does asynchronously; "deviceready" comes after that (and is sticky).
  const bridge = new Promise((resolve) => {
    const take = () => resolve(window.omnistat || makeStub());
    if (window.omnistat || !window.cordova) take();
    else document.addEventListener('deviceready', take, false);
  });

  bridge.then((omnistat) => {
    const status = $('#bridge-status');
    status.dataset.state = omnistat.isStub ? 'stub' : 'ready';
    status.textContent = omnistat.isStub
      ? 'No plugin bridge: calls are only logged below.'
      : 'Connected to the analytics plugin.';
  });

  // Calls one command, in call order, and shows it with its outcome.
  // Resolves with true when the command succeeded, false when it failed.
  async function call(command, ...args) {
    while (args.length && args[args.length - 1] === undefined) args.pop();
    const li = logEntry(command, `${command}(${args.map((a) => JSON.stringify(a)).join(', ')})`,
      'pending', 'pending');
    li.dataset.args = JSON.stringify(args);
    const omnistat = await bridge;
    try {
      await omnistat[command](...args);
      setOutcome(li, 'ok', omnistat.isStub ? 'OK (no bridge)' : 'OK');
      return true;
    } catch (error) {
      setOutcome(li, 'error', (error && error.message) || String(error));
      return false;
    }
  }

  // ---- The cart ------------------------------------------------------------

  const cart = new Map(); // product id -> quantity
  let lastOrder = null;

  function cartLines() {
    return [...cart].map(([id, qty]) => ({ product: byId.get(id), qty }));
  }

  function totals() {
    const subtotal = round2(cartLines().reduce((sum, l) => sum + l.product.price * l.qty, 0));
    const shipping = subtotal === 0 || subtotal >= FREE_SHIPPING_FROM ? 0 : SHIPPING;
    const tax = round2(subtotal - subtotal / (1 + VAT_RATE));
    return { subtotal, shipping, tax, total: round2(subtotal + shipping) };
  }

  function updateCount() {
    const n = [...cart.values()].reduce((a, b) => a + b, 0);
    $('#cart-count').textContent = String(n);
    $('#cart-link').setAttribute('aria-label', `Cart, ${n} item${n === 1 ? '' : 's'}`);
  }

  // ---- Views ---------------------------------------------------------------

  const view = $('#view');
  let query = '';
  let screen = 'Home';
  let campaignUrl = null; // the opened URL, for the first view after an open

  function route() {
    const [first, second] = location.hash.replace(/^#\/?/, '').split('/');
    if (first === 'product' && byId.has(second)) return { hash: `#/product/${second}`, view: 'product', product: byId.get(second) };
    if (first === 'cart') return { hash: '#/cart', view: 'cart' };
    if (first === 'done') return { hash: '#/done', view: 'done' };
    return { hash: '#/', view: 'home' };
  }

  function screenName(r) {
    return { home: 'Home', product: `Product: ${r.product && r.product.name}`, cart: 'Cart', done: 'Thank you' }[r.view];
  }

  function productList() {
    const q = query.toLowerCase();
    const found = PRODUCTS.filter((p) => !q || `${p.name} ${p.category} ${p.text}`.toLowerCase().includes(q));
    const items = found.map((p) => `<li><a class="card" href="#/product/${p.id}" data-product="${p.id}">
        ${icon(p, 72)}<span class="name">${escape(p.name)}</span><span class="price">${euro.format(p.price)}</span></a></li>`);
    return found.length ? `<ul id="products" class="products">${items.join('')}</ul>`
      : '<p id="no-results" class="note">No products match your search.</p>';
  }

  const RENDER = {
    home: () => `<h1 tabindex="-1">Products</h1>
      <form id="search-form" class="search" role="search">
        <label for="search-input">Search products</label>
        <input id="search-input" type="search" autocomplete="off">
        <button id="search-button" type="submit">Search</button>
      </form>
      <div id="results" aria-live="polite">${productList()}</div>`,
    product: ({ product: p }) => `<a id="back-link" href="#/">← All products</a>
      <article class="product" data-product-view="${p.id}">
        ${icon(p, 160)}
        <div><h1 tabindex="-1">${escape(p.name)}</h1>
          <p>${escape(p.text)}</p>
          <p class="price" id="product-price">${euro.format(p.price)}</p>
          <button id="add-to-cart" type="button" data-id="${p.id}">Add to cart</button>
          <p id="cart-note" class="note" aria-live="polite"></p></div>
      </article>`,
    cart: () => {
      const lines = cartLines();
      if (!lines.length) {
        return `<h1 tabindex="-1">Cart</h1><p id="cart-empty" class="note">Your cart is empty.</p>
          <a id="continue-shopping" href="#/">Continue shopping</a>`;
      }
      const t = totals();
      const rows = lines.map(({ product: p, qty }) => `<li data-line="${p.id}">
          ${icon(p, 32)}<span class="name">${escape(p.name)}</span>
          <span class="qty">× ${qty}</span><span class="price">${euro.format(p.price * qty)}</span>
          <button type="button" class="link" data-remove="${p.id}" aria-label="Remove ${escape(p.name)}">Remove</button></li>`);
      return `<h1 tabindex="-1">Cart</h1><ul id="cart-lines" class="lines">${rows.join('')}</ul>
        <dl class="totals">
          <dt>Subtotal</dt><dd id="cart-subtotal">${euro.format(t.subtotal)}</dd>
          <dt>Shipping</dt><dd id="cart-shipping">${euro.format(t.shipping)}</dd>
          <dt>Total <small>(incl. ${euro.format(t.tax)} VAT)</small></dt><dd id="cart-total">${euro.format(t.total)}</dd>
        </dl>
        <div class="buttons"><button id="checkout" type="button">Check out</button>
          <a id="continue-shopping" href="#/">Continue shopping</a></div>`;
    },
    done: () => `<h1 tabindex="-1">Thank you</h1>` + (lastOrder
      ? `<p>Your order <strong id="order-id">${escape(lastOrder.id)}</strong> of
         <strong id="order-total">${euro.format(lastOrder.total)}</strong> is on its way.</p>`
      : '<p class="note">No order placed yet.</p>') +
      '<a id="continue-shopping" href="#/">Back to the shop</a>'
  };

  function show({ focus = true } = {}) {
    const r = route();
    if (location.hash !== r.hash) history.replaceState(null, '', r.hash);
    screen = screenName(r);
    view.innerHTML = RENDER[r.view](r);
    view.dataset.view = r.view;
    document.title = `${screen} · Halden Demo Shop`;
    const input = $('#search-input');
    if (input) input.value = query;
    if (focus) view.querySelector('h1').focus();
    if (campaignUrl !== null) {
      call('trackView', screen, campaignUrl, true);
      campaignUrl = null;
    } else {
      call('trackView', screen);
    }
  }

  function search() {
    query = $('#search-input').value.trim();
    $('#results').innerHTML = productList();
    if (query) call('trackEvent', 'shop', 'search', query);
  }

  function addToCart(p) {
    cart.set(p.id, (cart.get(p.id) || 0) + 1);
    updateCount();
    $('#cart-note').textContent = `${p.name} added. ${cart.get(p.id)} in your cart.`;
    call('trackEvent', 'cart', 'add', p.name, p.price);
  }

  function checkout() {
    const lines = cartLines();
    if (!lines.length) return;
    const t = totals();
    const id = `T-${Date.now().toString(36).toUpperCase()}`;
    call('trackMetric', 1, t.total);
    call('addTransaction', id, AFFILIATION, t.total, t.tax, t.shipping, 'EUR');
    for (const { product: p, qty } of lines) {
      call('addTransactionItem', id, p.name, p.sku, p.category, p.price, qty, 'EUR');
    }
    call('dispatch').then(watchDelivery);
    lastOrder = { id, total: t.total };
    cart.clear();
    updateCount();
    location.hash = '#/done';
  }

  view.addEventListener('submit', (e) => {
    if (e.target.id !== 'search-form') return;
    e.preventDefault();
    search();
  });

  view.addEventListener('click', (e) => {
    const target = e.target.closest('button');
    if (!target) return;
    if (target.id === 'add-to-cart') addToCart(byId.get(target.dataset.id));
    else if (target.id === 'checkout') checkout();
    else if (target.dataset.remove) {
      cart.delete(target.dataset.remove);
      updateCount();
      view.innerHTML = RENDER.cart(); // same screen: no new view
      (view.querySelector('#checkout') || view.querySelector('h1')).focus();
    }
  });

  window.addEventListener('hashchange', () => show());

  // ---- The panel -----------------------------------------------------------

  $('#membership').addEventListener('change', (e) => {
    call('addCustomDimension', 1, e.target.value || null);
  });

  $('#opt-out').addEventListener('change', async (e) => {
    const box = e.target;
    const wanted = box.checked;
    if (!(await call('setOptOut', wanted))) box.checked = !wanted; // show the state that holds
  });

  $('#debug').addEventListener('change', async (e) => {
    const box = e.target;
    if (!box.checked) return;
    box.disabled = true; // there is no way back
    if (!(await call('debugMode'))) {
      box.checked = false;
      box.disabled = false;
    }
  });

  $('#send-now').addEventListener('click', () => call('dispatch').then(watchDelivery));
  $('#report-problem').addEventListener('click', () => call('trackException', `Problem reported on ${screen}`, false));

  // ---- Delivery figures ----------------------------------------------------

  // What became of this session's hits, read from the plugin every couple of
  // seconds, so a person trying the shop can see each hit leave (or wait, or
  // be dropped, and why) instead of vanishing. These reads are not logged as
  // activity: one every two seconds would bury the calls the shop makes.
  const POLL_MS = 2000;
  const FAST_POLL_MS = 250;
  const FAST_POLL_FOR_MS = 4000;
  const DROP_REASONS = [['expired', 'too old'], ['overCap', 'over the store cap'], ['refused', 'refused'],
    ['unsendable', 'too large'], ['optOut', 'opted out'], ['sampledOut', 'sampled out'],
    ['undecodable', 'unreadable']];
  const clock = new Intl.DateTimeFormat('en-GB', { hour: '2-digit', minute: '2-digit', second: '2-digit' });
  const figures = $('#delivery');
  let reading = false;
  let fastUntil = 0;
  let pollTimer = null;

  function setText(selector, text) {
    const el = $(selector);
    if (el.textContent !== text) el.textContent = text; // unchanged figures cause no repaint
    return el;
  }

  function showFigures(s) {
    figures.dataset.state = 'ready';
    const dropped = s.dropped || {};
    setText('#stat-delivered', String(s.delivered));
    setText('#stat-pending', s.pending === null ? '–' : String(s.pending));
    setText('#stat-dropped', String(dropped.total || 0)).toggleAttribute('data-nonzero', dropped.total > 0);
    const parts = [`${s.stored} stored`];
    if (s.retried) parts.push(`${s.retried} retried`);
    if (s.notStored) parts.push(`${s.notStored} not stored`);
    const why = DROP_REASONS.filter(([key]) => dropped[key]).map(([key, text]) => `${dropped[key]} ${text}`);
    if (why.length) parts.push(`dropped: ${why.join(', ')}`);
    let detail = parts.join(' · ') + '.';
    if (s.lastRefusal) {
      const { status, time } = s.lastRefusal;
      const answer = status > 0 ? `HTTP ${status}` : 'no answer';
      detail += ` Last refusal: ${answer} at ${clock.format(new Date(time * 1000))}.`;
    }
    setText('#delivery-detail', detail);
  }

  function figuresUnavailable(text) {
    figures.dataset.state = 'unavailable';
    for (const id of ['#stat-delivered', '#stat-pending', '#stat-dropped']) setText(id, '–');
    setText('#delivery-detail', text);
  }

  async function refreshFigures() {
    if (reading) return;
    reading = true;
    try {
      const omnistat = await bridge;
      const s = await omnistat.getStatistics();
      if (s && typeof s === 'object') showFigures(s);
      else figuresUnavailable('No plugin bridge: no figures to show.');
    } catch (error) {
      figuresUnavailable(`Figures unavailable: ${(error && error.message) || error}`);
    } finally {
      reading = false;
    }
  }

  // Polls every POLL_MS, and every FAST_POLL_MS for a while after a send,
  // so the figures move as the answers come back rather than seconds later.
  function schedulePoll() {
    clearTimeout(pollTimer);
    if (document.hidden) return; // resumed on visibilitychange
    pollTimer = setTimeout(async () => {
      await refreshFigures();
      schedulePoll();
    }, Date.now() < fastUntil ? FAST_POLL_MS : POLL_MS);
  }

  function watchDelivery() {
    fastUntil = Date.now() + FAST_POLL_FOR_MS;
    refreshFigures();
    schedulePoll();
  }

  $('#refresh-stats').addEventListener('click', () => refreshFigures());
  document.addEventListener('visibilitychange', () => {
    if (!document.hidden) refreshFigures();
    schedulePoll();
  });

  // ---- URL opens -----------------------------------------------------------

  // x-halden-shop://product/mug?utm_source=... -> #/product/mug; a web page
  // URL (a web-browsing activity) maps its path the same way.
  function hashForUrl(url) {
    let path = null;
    if (url.toLowerCase().startsWith(SCHEME)) {
      path = url.slice(SCHEME.length).split(/[?#]/)[0];
    } else {
      try {
        const u = new URL(url);
        if (u.protocol === 'https:' || u.protocol === 'http:') path = u.pathname;
      } catch (err) {
        path = null;
      }
    }
    if (path === null) return null;
    const [first, second] = path.split('/').filter(Boolean);
    if (first === 'product' && byId.has(second)) return `#/product/${second}`;
    if (first === 'cart') return '#/cart';
    return '#/';
  }

  function openUrl(url) {
    url = String(url == null ? '' : url);
    logEntry('appUrlOpen', `appUrlOpen ${url}`, 'ok', 'received');
    $('#opened-url').textContent = url;
    const hash = hashForUrl(url);
    if (hash === null) return;
    campaignUrl = url;
    if (location.hash === hash) show();
    else location.hash = hash;
  }

  const capApp = window.capacitorApp && window.capacitorApp.App;
  if (capApp && typeof capApp.addListener === 'function') {
    Promise.resolve()
      .then(() => capApp.addListener('appUrlOpen', (event) => openUrl(event && event.url)))
      .catch((err) => logEntry('appUrlOpen', 'App.addListener("appUrlOpen")', 'error', String(err && err.message || err)));
  }
  window.haldenShop = { openUrl }; // for trying URL opens by hand in a plain browser

  // ---- Start ---------------------------------------------------------------

  const tid = new URLSearchParams(location.search).get('tid') || 'UA-12345-1';
  call('startTrackerWithId', tid, 5);
  call('setAppVersion', '1.0');
  call('trackTiming', 'shop', Math.round(performance.now()), 'load', 'first page');
  updateCount();
  show({ focus: false });
  refreshFigures();
  schedulePoll();
})();
