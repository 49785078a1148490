// The three ways the module is loaded (Node's require, a classic page script,
// Cordova's module loader), each over a cordova.js stand-in, and the
// declarations and manifests that describe it.
import { describe, it, after } from 'node:test';
import assert from 'node:assert/strict';
import vm from 'node:vm';
import { createRequire } from 'node:module';
import { existsSync, readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { MODULE_PATH, TYPES_PATH, fakeCordova, fakeDocument, moduleSource, omnistatModule } from './support.mjs';

const PLUGIN_DIR = dirname(dirname(MODULE_PATH));
// Cordova's manifest reader, installed with the page scripts (npm ci in App/).
const PluginInfo = createRequire(import.meta.url)('../../../App/node_modules/cordova-common/src/PluginInfo/PluginInfo.js');

const COMMANDS = [
  'startTrackerWithId', 'setAllowIDFACollection', 'getVar', 'setVar', 'dispatch', 'debugMode',
  'setUserId', 'setAnonymizeIp', 'setOptOut', 'setAppVersion', 'enableUncaughtExceptionReporting',
  'addCustomDimension', 'trackMetric', 'trackEvent', 'trackException', 'trackView', 'trackTiming',
  'addTransaction', 'addTransactionItem', 'getStatistics',
];

// A page: a window that is its own global, with a document and maybe cordova.
function page({ cordova } = {}) {
  const document = fakeDocument();
  const window = vm.createContext({ document });
  window.window = window;
  if (cordova) window.cordova = cordova;
  return { window, document };
}

describe('required from Node', () => {
  after(() => { delete globalThis.cordova; });

  it('exports an Omnistat object with its factory, error class and statuses', () => {
    for (const name of COMMANDS) assert.equal(typeof omnistatModule[name], 'function', name);
    assert.equal(typeof omnistatModule.createOmnistat, 'function');
    assert.equal(omnistatModule.SERVICE, 'OmnistatPlugin');
    assert.equal(omnistatModule.Status.ERROR, 9);
    assert.ok(Object.isFrozen(omnistatModule.Status));
    assert.equal('omnistat' in globalThis, false);
  });

  it('looks cordova.exec up only when a command is posted', async () => {
    await assert.rejects(omnistatModule.trackView('Early'), /cordova.exec is not available/);
    const cordova = fakeCordova();
    globalThis.cordova = cordova;
    const view = omnistatModule.trackView('Home');
    const opt = omnistatModule.setOptOut(true);
    assert.deepEqual(cordova.messages.map((m) => m.slice(1)),
      [['OmnistatPlugin', 'trackView', ['Home', null]], ['OmnistatPlugin', 'setOptOut', [true]]]);
    await cordova.nativeCallback(cordova.messages[0][0], 1, null);
    await cordova.nativeCallback(cordova.messages[1][0], 7, 'no such action');
    assert.equal(await view, null);
    const err = await opt.catch((e) => e);
    assert.ok(err instanceof omnistatModule.OmnistatError);
    assert.deepEqual([err.status, err.message], [7, 'no such action']);
  });
});

describe('loaded as a classic script', () => {
  it('sets window.omnistat and no other global', () => {
    const { window } = page();
    const before = Object.keys(window);
    vm.runInContext(moduleSource(), window, { filename: 'omnistat.js' });
    assert.deepEqual(Object.keys(window), [...before, 'omnistat']);
    assert.deepEqual(COMMANDS.filter((n) => typeof window.omnistat[n] !== 'function'), []);
  });

  it('waits for deviceready, even when cordova.js comes after it', async () => {
    const { window, document } = page();
    vm.runInContext(moduleSource(), window);
    const started = window.omnistat.startTrackerWithId('UA-1', 20);
    const view = window.omnistat.trackView('Home');
    assert.equal(document.listeners.deviceready.length, 1);

    const cordova = fakeCordova();
    window.cordova = cordova;
    assert.equal(cordova.messages.length, 0);
    document.dispatch('deviceready');
    assert.deepEqual(cordova.messages.map((m) => m[2]), ['startTrackerWithId']);

    await cordova.nativeCallback(cordova.messages[0][0], 1, null);
    assert.deepEqual(cordova.messages.map((m) => [m[2], m[3]]),
      [['startTrackerWithId', ['UA-1', 20]], ['trackView', ['Home', null]]]);
    await cordova.nativeCallback(cordova.messages[1][0], 9, 'Tracker not started');
    assert.equal(await started, null);
    const err = await view.catch((e) => e);
    assert.deepEqual([err.name, err.status, err.message], ['OmnistatError', 9, 'Tracker not started']);
  });

  it('posts at once when deviceready has already fired', () => {
    const cordova = fakeCordova({ deviceReady: true });
    const { window, document } = page({ cordova });
    vm.runInContext(moduleSource(), window);
    window.omnistat.dispatch();
    assert.deepEqual(cordova.messages, [['INVALID', 'OmnistatPlugin', 'dispatch', []]]);
    assert.equal(document.listeners.deviceready, undefined);
    assert.deepEqual(Object.keys(cordova.callbacks), []);
  });

  it('reads each error status from the answer being delivered', async () => {
    const cordova = fakeCordova({ deviceReady: true });
    const { window } = page({ cordova });
    vm.runInContext(moduleSource(), window);
    const results = [
      window.omnistat.getVar('&a').catch((e) => e.status),
      window.omnistat.getVar('&b').catch((e) => e.status),
      window.omnistat.getVar('&c'),
    ];
    const [a, b, c] = cordova.messages.map((m) => m[0]);
    await cordova.nativeCallback(b, 2, 'Class not found');
    await cordova.nativeCallback(a, 9, 'Tracker not started');
    await cordova.nativeCallback(c, 1, 'value');
    assert.deepEqual(await Promise.all(results), [9, 2, 'value']);
  });

  it("reports a throwing callback through the page's reportError and goes on", async () => {
    const { window } = page();
    const reported = [];
    window.reportError = (e) => reported.push(e.message);
    vm.runInContext(moduleSource(), window);
    const posted = [];
    const om = window.omnistat.createOmnistat({
      exec: (success, error, service, action) => { posted.push(action); if (success) success(); },
      onReady: (fn) => fn(),
    });
    om.dispatch(() => { throw new Error('dispatch callback'); });
    om.setUserId('u', () => { throw new Error('answer callback'); });
    await om.trackView('Home');
    assert.deepEqual(posted, ['dispatch', 'setUserId', 'trackView']);
    assert.deepEqual(reported, ['dispatch callback', 'answer callback']);
  });
});

describe('loaded by cordova.define', () => {
  it('exports through module.exports for the clobbers target', async () => {
    const cordova = fakeCordova();
    const { window, document } = page({ cordova });
    const wrapped = `cordova.define("cordova-plugin-omnistat.omnistat", function(require, exports, module) {\n${moduleSource()}\n});`;
    vm.runInContext(wrapped, window, { filename: 'plugins/cordova-plugin-omnistat/www/omnistat.js' });
    const exported = cordova.require('cordova-plugin-omnistat.omnistat');
    assert.equal(window.omnistat, undefined, 'the module set a global of its own');
    window.omnistat = exported; // what <clobbers target="omnistat"/> does

    const event = window.omnistat.trackEvent('c', 'a', 'l', 1, true);
    document.dispatch('deviceready');
    assert.deepEqual(cordova.messages.map((m) => [m[2], m[3]]), [['trackEvent', ['c', 'a', 'l', 1, true]]]);
    await cordova.nativeCallback(cordova.messages[0][0], 1, null);
    assert.equal(await event, null);
    assert.equal(typeof exported.createOmnistat, 'function');
  });
});

describe('declarations and manifests', () => {
  const dts = readFileSync(TYPES_PATH, 'utf8');
  const read = (rel) => readFileSync(fileURLToPath(new URL(rel, import.meta.url)), 'utf8');

  function block(name) {
    const start = dts.indexOf(`interface ${name} `);
    assert.notEqual(start, -1, `interface ${name}`);
    return dts.slice(start, dts.indexOf('\n  }\n', start));
  }

  it('declares exactly the module commands, each with a doc comment', () => {
    const body = block('Omnistat');
    const declared = [...new Set([...body.matchAll(/^ {4}(\w+)\(/gm)].map((m) => m[1]))];
    assert.deepEqual(declared.sort(), [...COMMANDS].sort());
    const made = omnistatModule.createOmnistat({ exec() {}, onReady() {} });
    assert.deepEqual(Object.keys(made).sort(), [...COMMANDS].sort());
    for (const name of declared) {
      const first = body.indexOf(`\n    ${name}(`);
      const doc = body.slice(body.lastIndexOf('/**', first), first);
      assert.ok(doc.split('\n').length > 3 && doc.trimEnd().endsWith('*/'), `${name} has a full doc comment`);
    }
  });

  it('declares the module extras, the statuses and window.omnistat', () => {
    const extras = block('OmnistatModule');
    for (const name of ['createOmnistat', 'OmnistatError', 'Status', 'SERVICE']) {
      assert.match(extras, new RegExp(`\\b${name}\\b`));
      assert.ok(name in omnistatModule, name);
    }
    const statuses = Object.fromEntries([...block('StatusValues').matchAll(/readonly (\w+): (\d+);/g)].map((m) => [m[1], Number(m[2])]));
    assert.deepEqual(statuses, { ...omnistatModule.Status });
    assert.match(dts, /declare global \{\s*interface Window \{[^}]*omnistat: omnistat\.OmnistatModule;/);
  });

  it('points package.json and plugin.xml at the module and the native service it ships', () => {
    const pkg = JSON.parse(read('../../../plugin/package.json'));
    assert.deepEqual([pkg.name, pkg.version, pkg.main, pkg.types, pkg.cordova.id],
      ['cordova-plugin-omnistat', '3.20.0', 'www/omnistat.js', 'types/index.d.ts', 'cordova-plugin-omnistat']);
    assert.equal(pkg.dependencies, undefined);

    // The manifest as Cordova's own tooling reads it.
    const plugin = new PluginInfo(PLUGIN_DIR);
    assert.deepEqual([plugin.id, plugin.version], [pkg.name, pkg.version]);
    assert.deepEqual(plugin.getJsModules('linux').map((m) => [m.src, m.name, m.clobbers.map((c) => c.target)]),
      [['www/omnistat.js', 'omnistat', ['omnistat']]]);
    assert.deepEqual(plugin.getPlatformsArray(), ['linux']);
    assert.deepEqual(pkg.cordova.platforms, plugin.getPlatformsArray());
    const features = plugin.getConfigFiles('linux').flatMap((c) => c.xmls)
      .filter((x) => x.tag === 'feature').map((x) => x.attrib.name);
    assert.deepEqual(features, [omnistatModule.SERVICE]);
    // Every native file the platform names is there and is packed.
    const native = [...plugin.getHeaderFiles('linux'), ...plugin.getSourceFiles('linux')].map((f) => f.src);
    assert.deepEqual(native.sort(), ['OmnistatPlugin.cpp', 'OmnistatPlugin.h']);
    for (const src of native) {
      assert.ok(existsSync(join(PLUGIN_DIR, src)), src);
      assert.ok(pkg.files.includes(src), `${src} is packed`);
    }
  });
});
