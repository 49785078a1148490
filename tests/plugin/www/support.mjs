// Fakes for the Omnistat module's tests: a recording bridge whose calls the
// test answers in any order, a readiness switch, and a small cordova.js
// stand-in with the same callback path as the real one.
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
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

// A cordova.js stand-in: exec registers callbacks under an id and posts
// [callbackId, service, action, args]; nativeCallback delivers an answer the
// way cordova-ios does, through cordova.callbackFromNative in a promise job.
export function fakeCordova({ deviceReady = false } = {}) {
  const modules = {};
  const cordova = {
    callbackId: 1,
    callbacks: {},
    messages: [],
    channel: { onDeviceReady: { state: deviceReady ? 2 : 0 } },
    define(id, factory) {
      modules[id] = { factory, exports: undefined };
    },
    require(id) {
      if (id === 'cordova/channel') return cordova.channel;
      const m = modules[id];
      if (!m) throw new Error(`module ${id} not found`);
      if (m.factory) {
        const module = { id, exports: {} };
        const factory = m.factory;
        delete m.factory;
        factory(cordova.require, module.exports, module);
        m.exports = module.exports;
      }
      return m.exports;
    },
    exec(success, fail, service, action, args) {
      let callbackId = 'INVALID';
      if (success || fail) {
        callbackId = service + cordova.callbackId++;
        cordova.callbacks[callbackId] = { success, fail };
      }
      cordova.messages.push([callbackId, service, action, JSON.parse(JSON.stringify(args))]);
    },
    nativeCallback(callbackId, status, message, keepCallback = false) {
      const ok = status === 0 || status === 1;
      return Promise.resolve().then(() => cordova.callbackFromNative(callbackId, ok, status, [message], keepCallback));
    },
    callbackFromNative(callbackId, isSuccess, status, args, keepCallback) {
      const callback = cordova.callbacks[callbackId];
      if (!callback) return;
      if (isSuccess && status === 1) callback.success && callback.success.apply(null, args);
      else if (!isSuccess) callback.fail && callback.fail.apply(null, args);
      if (!keepCallback) delete cordova.callbacks[callbackId];
    },
  };
  return cordova;
}

// A document that only records listeners and dispatches to them.
export function fakeDocument() {
  const listeners = {};
  return {
    listeners,
    addEventListener(type, fn) {
      (listeners[type] ||= []).push(fn);
    },
    dispatch(type) {
      for (const fn of listeners[type] || []) fn({ type });
    },
  };
}
