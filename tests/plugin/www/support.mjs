// Helpers for the Omnistat module's tests: a recording bridge whose calls the
// test answers in any order, a readiness switch, and a page that runs
// Cordova's own cordova.js.
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';

const require = createRequire(import.meta.url);

export const MODULE_PATH = fileURLToPath(new URL('../../../plugin/www/omnistat.js', import.meta.url));
export const TYPES_PATH = fileURLToPath(new URL('../../../plugin/types/index.d.ts', import.meta.url));
export const moduleSource = () => readFileSync(MODULE_PATH, 'utf8');
export const omnistatModule = require(MODULE_PATH);

// Lets every pending promise job and the host's rejection tracking run; waits
// for no time and no timer.
export const turn = () => new Promise((resolve) => setImmediate(resolve));

// Records every posted command; answer() and fail() deliver its result later.
export class FakeBridge {
  constructor() {
    this.posted = [];
    this.exec = (success, error, service, action, args) => {
      this.posted.push({ success, error, service, action, args: [...args] });
    };
  }

  actions() {
    return this.posted.map((p) => p.action);
  }

  find(action, nth = 0) {
    const found = this.posted.filter((p) => p.action === action)[nth];
    if (!found) throw new Error(`${action} #${nth} was not posted; posted: ${this.actions().join(', ')}`);
    return found;
  }

  answer(action, message, nth = 0) {
    this.find(action, nth).success(message);
  }

  fail(action, message, status, nth = 0) {
    const p = this.find(action, nth);
    if (status === undefined) p.error(message);
    else p.error(message, status);
  }
}

// An onReady whose readiness the test switches on.
export function readiness() {
  const gate = { subscribed: 0, fire: null };
  gate.onReady = (fn) => {
    gate.subscribed += 1;
    gate.fire = fn;
  };
  return gate;
}

export function omnistatOver(bridge, onReady = (fn) => fn()) {
  return omnistatModule.createOmnistat({ exec: bridge.exec, onReady });
}

// Catches unhandled rejections while fn runs and the turns after it.
export async function unhandledDuring(fn) {
  const seen = [];
  const listener = (reason) => seen.push(reason);
  process.on('unhandledRejection', listener);
  try {
    await fn();
    await turn();
    await turn();
  } finally {
    process.off('unhandledRejection', listener);
  }
  return seen;
}

// Cordova's own cordova.js, as the shell serves it to its pages.
export const CORDOVA_JS_PATH = fileURLToPath(
  new URL('../../../App/node_modules/cordova-ios/templates/project/www/cordova.js', import.meta.url));
const ORIGIN = 'app://localhost/';

// A document that records listeners and dispatches to them, and loads a
// <script> appended to its head from `served` (URL to text) in `context`, the
// way a page would: onload after running it, onerror when nothing is served.
export function fakeDocument(served = {}) {
  const listeners = {};
  const document = {
    listeners,
    context: null,
    readyState: 'complete',
    addEventListener(type, fn) {
      (listeners[type] ||= []).push(fn);
    },
    removeEventListener(type, fn) {
      listeners[type] = (listeners[type] || []).filter((f) => f !== fn);
    },
    dispatch(type) {
      for (const fn of listeners[type] || []) fn({ type });
    },
    dispatchEvent(event) {
      for (const fn of listeners[event.type] || []) fn(event);
      return true;
    },
    createEvent() {
      return { initEvent(type) { this.type = type; } };
    },
    createElement(tagName) {
      return { tagName };
    },
    getElementsByTagName(tagName) {
      return tagName === 'script' ? [{ src: ORIGIN + 'cordova.js' }] : [];
    },
    head: {
      appendChild(element) {
        if (!element.src) return;
        setImmediate(() => {
          const text = served[element.src];
          if (text === undefined) {
            if (element.onerror) element.onerror();
            return;
          }
          vm.runInContext(text, document.context, { filename: element.src });
          if (element.onload) element.onload();
        });
      },
    },
  };
  return document;
}

// A page: a window that is its own global, with a document. loadCordova()
// runs Cordova's cordova.js in it unchanged; commands it posts to the native
// side land in `posted`; answer() delivers an answer with the script the
// shell evaluates for one. `plugins` (id to source) are installed the way
// Cordova's tooling installs js-modules: listed in cordova_plugins.js with
// their clobbers, each wrapped in cordova.define.
export function page({ plugins = {} } = {}) {
  const list = Object.entries(plugins).map(([id, { file, clobbers }]) => ({ id, file, pluginId: id.split('.')[0], clobbers }));
  const served = {};
  if (list.length) {
    served[ORIGIN + 'cordova_plugins.js'] =
      `cordova.define('cordova/plugin_list', function (require, exports, module) { module.exports = ${JSON.stringify(list)}; });`;
  }
  for (const [id, { file, source }] of Object.entries(plugins)) {
    served[ORIGIN + file] = `cordova.define(${JSON.stringify(id)}, function (require, exports, module) {\n${source}\n});`;
  }
  const document = fakeDocument(served);
  const posted = [];
  const window = vm.createContext({
    document,
    navigator: {},
    console: { log() {}, warn() {}, error() {} },
    HTMLElement: class HTMLElement {},
    // cordova.js defers its start-up steps with short timers, which must
    // keep the process alive, and warns from a 5-second one when deviceready
    // is late, which must not.
    setTimeout: (fn, ms) => {
      const timer = setTimeout(fn, ms);
      if (ms >= 1000) timer.unref();
      return timer;
    },
    clearTimeout,
    getComputedStyle: () => ({ getPropertyValue: () => '' }),
    // What the web view hands the native side is a copy, in this realm.
    webkit: { messageHandlers: { cordova: { postMessage: (command) => posted.push(JSON.parse(JSON.stringify(command))) } } },
    addEventListener() {},
    removeEventListener() {},
    dispatchEvent: () => true,
  });
  window.window = window;
  document.context = window;
  return {
    window,
    document,
    posted,
    loadCordova() {
      vm.runInContext(readFileSync(CORDOVA_JS_PATH, 'utf8'), window, { filename: 'cordova.js' });
      return window.cordova;
    },
    // Resolves once Cordova's deviceready has fired.
    deviceReady() {
      return new Promise((resolve) => window.cordova.require('cordova/channel').onDeviceReady.subscribe(resolve));
    },
    // cordova.js hands the answer on in a promise job; the turn lets it run.
    async answer(callbackId, status, message, keepCallback = false) {
      vm.runInContext(
        "(function (a) { var c = window.cordova; if (c && c.require) " +
          "c.require('cordova/exec').nativeCallback(a.callbackId, a.status, a.message, a.keepCallback); })(" +
          JSON.stringify({ callbackId, status, message, keepCallback }) + ');',
        window);
      await turn();
    },
  };
}

// An answer's message carrying its status as a second part, which cordova.js
// hands to the error callback as its second argument.
export const withStatus = (message, status) => ({ CDVType: 'MultiPart', messages: [message, status] });
