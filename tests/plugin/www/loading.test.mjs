// The three ways the module is loaded (Node's require, a classic page script,
// Cordova's plugin loader), each over Cordova's own cordova.js, and the
// declarations and manifests that describe it.
import { describe, it, after } from 'node:test';
import assert from 'node:assert/strict';
import vm from 'node:vm';
import { createRequire } from 'node:module';
import { existsSync, readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { MODULE_PATH, TYPES_PATH, moduleSource, omnistatModule, page, withStatus } from './support.mjs';

const PLUGIN_DIR = dirname(dirname(MODULE_PATH));
// Cordova's manifest reader, installed with the page scripts (npm ci in App/).
const PluginInfo = createRequire(import.meta.url)('../../../App/node_modules/cordova-common/src/PluginInfo/PluginInfo.js');

const COMMANDS = [
  'startTrackerWithId', 'setAllowIDFACollection', 'getVar', 'setVar', 'dispatch', 'debugMode',
  'setUserId', 'setAnonymizeIp', 'setOptOut', 'setAppVersion', 'enableUncaughtExceptionReporting',
  'addCustomDimension', 'trackMetric', 'trackEvent', 'trackException', 'trackView', 'trackTiming',
  'addTransaction', 'addTransactionItem', 'getStatistics',
];

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
    const shell = page();
    globalThis.cordova = shell.loadCordova();
    await shell.deviceReady();
    const view = omnistatModule.trackView('Home');
    const opt = omnistatModule.setOptOut(true).catch((e) => e);
    assert.deepEqual(shell.posted.map((m) => m.slice(1)),
      [['OmnistatPlugin', 'trackView', ['Home', null]], ['OmnistatPlugin', 'setOptOut', [true]]]);
    await shell.answer(shell.posted[0][0], 1, null);
    await shell.answer(shell.posted[1][0], 7, withStatus('Invalid action: setOptOut', 7));
    assert.equal(await view, null);
    const err = await opt;
    assert.ok(err instanceof omnistatModule.OmnistatError);
    assert.deepEqual([err.status, err.message], [7, 'Invalid action: setOptOut']);
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
    const shell = page();
    const { window, document } = shell;
    vm.runInContext(moduleSource(), window);
    const started = window.omnistat.startTrackerWithId('UA-1', 20);
    const view = window.omnistat.trackView('Home').catch((e) => e);
    assert.equal(document.listeners.deviceready.length, 1);

    shell.loadCordova();
    assert.equal(shell.posted.length, 0);
    await shell.deviceReady();
    assert.deepEqual(shell.posted.map((m) => m[2]), ['startTrackerWithId']);

    await shell.answer(shell.posted[0][0], 1, null);
    assert.deepEqual(shell.posted.map((m) => [m[2], m[3]]),
      [['startTrackerWithId', ['UA-1', 20]], ['trackView', ['Home', null]]]);
    await shell.answer(shell.posted[1][0], 9, 'Tracker not started');
    assert.equal(await started, null);
    const err = await view;
    assert.deepEqual([err.name, err.status, err.message], ['OmnistatError', 9, 'Tracker not started']);
  });

  it('posts at once when deviceready has already fired', async () => {
    const shell = page();
    const cordova = shell.loadCordova();
    await shell.deviceReady();
    vm.runInContext(moduleSource(), shell.window);
    shell.window.omnistat.dispatch();
    assert.deepEqual(shell.posted, [['INVALID', 'OmnistatPlugin', 'dispatch', []]]);
    assert.equal(shell.document.listeners.deviceready, undefined);
    assert.deepEqual(Object.keys(cordova.callbacks), []);
  });

  it("reads each error status from its own answer and leaves Cordova's functions as they were", async () => {
    const shell = page();
    const cordova = shell.loadCordova();
    await shell.deviceReady();
    const exec = cordova.require('cordova/exec');
    const shipped = [cordova.callbackFromNative, cordova.exec, exec.nativeCallback];
    vm.runInContext(moduleSource(), shell.window);
    const results = [
      shell.window.omnistat.getVar('&a').catch((e) => [e.status, e.message]),
      shell.window.omnistat.getVar('&b').catch((e) => [e.status, e.message]),
      shell.window.omnistat.getVar('&c'),
    ];
    const [a, b, c] = shell.posted.map((m) => m[0]);
    await shell.answer(b, 2, withStatus('Class not found: OmnistatPlugin', 2));
    await shell.answer(a, 9, 'Tracker not started');
    await shell.answer(c, 1, 'value');
    assert.deepEqual(await Promise.all(results),
      [[9, 'Tracker not started'], [2, 'Class not found: OmnistatPlugin'], 'value']);
    assert.deepEqual([cordova.callbackFromNative, cordova.exec, exec.nativeCallback], shipped);
    assert.deepEqual(Object.keys(cordova.callbacks), []);
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

describe("loaded by Cordova's plugin loader", () => {
  it('is clobbered onto window.omnistat and works over the unchanged cordova global', async () => {
    const shell = page({
      plugins: {
        'cordova-plugin-omnistat.omnistat': {
          file: 'plugins/cordova-plugin-omnistat/www/omnistat.js',
          clobbers: ['omnistat'],
          source: moduleSource(),
        },
      },
    });
    const cordova = shell.loadCordova();
    const shipped = cordova.callbackFromNative;
    await shell.deviceReady();
    assert.equal(typeof shell.window.omnistat.createOmnistat, 'function');
    assert.equal(shell.window.omnistat, cordova.require('cordova-plugin-omnistat.omnistat'));

    const event = shell.window.omnistat.trackEvent('c', 'a', 'l', 1, true);
    const failed = shell.window.omnistat.setUserId('u').catch((e) => [e.status, e.message]);
    assert.deepEqual(shell.posted.map((m) => [m[2], m[3]]),
      [['trackEvent', ['c', 'a', 'l', 1, true]], ['setUserId', ['u']]]);
    await shell.answer(shell.posted[0][0], 1, null);
    await shell.answer(shell.posted[1][0], 9, 'Tracker not started');
    assert.equal(await event, null);
    assert.deepEqual(await failed, [9, 'Tracker not started']);
    assert.equal(cordova.callbackFromNative, shipped);
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
