/*
 * omnistat.js: the script side of the OmnistatPlugin bridge.
 *
 * Every method posts one command to the native "OmnistatPlugin" service
 * through the Cordova bridge (`exec(success, error, service, action, args)`)
 * and returns a Promise for its answer. Cordova-style callbacks may be given
 * as the last arguments instead of, or as well as, using the Promise.
 *
 * Two rules keep the native side's view of a script simple:
 *
 *  - One ordered queue. Calls made before the bridge is ready wait in the
 *    queue and go out in call order once it is.
 *  - A start holds everything behind it. The native start runs in the
 *    background and answers when the tracker exists; a command posted before
 *    that answer could be told "Tracker not started". So from the moment
 *    `startTrackerWithId` is posted until its answer (success or error)
 *    arrives, later calls stay in the queue, and then go out in their
 *    original order.
 *
 * The file loads three ways and needs no build step:
 *
 *  - by Cordova's module loader: the body is wrapped in
 *    `cordova.define(id, function (require, exports, module) {...})`, this file
 *    sets `module.exports`, and the manifest's `<clobbers target="omnistat"/>`
 *    puts that object on `window.omnistat`;
 *  - as a classic `<script>` in a page: there is no `module`, so the file sets
 *    `window.omnistat` itself (and declares no other global);
 *  - by Node's `require`, for tests and tooling: `module.exports` again.
 *
 * In all three the exported object is a ready-to-use instance bound to
 * `window.cordova.exec` and Cordova's "deviceready" event, plus the factory
 * `createOmnistat`, `OmnistatError` and the `Status` values. The module only
 * calls into Cordova (`exec`, `require('cordova/channel')`); it replaces
 * nothing of it, so other plugins of the page see Cordova as it shipped.
 */
(function (root, factory) {
  'use strict';
  var api = factory(root);
  if (typeof module === 'object' && module !== null && typeof module.exports === 'object') {
    module.exports = api;
  } else if (root) {
    root.omnistat = api;
  }
})(typeof window !== 'undefined' ? window : typeof globalThis !== 'undefined' ? globalThis : this, function (root) {
  'use strict';

  var SERVICE = 'OmnistatPlugin';

  // The plugin framework's status values (Cordova's callback status
  // enumeration). Commands answer OK or ERROR; the rest come from the
  // framework itself (unknown service, unknown action, bad arguments).
  var Status = Object.freeze({
    NO_RESULT: 0,
    OK: 1,
    CLASS_NOT_FOUND_EXCEPTION: 2,
    ILLEGAL_ACCESS_EXCEPTION: 3,
    INSTANTIATION_EXCEPTION: 4,
    MALFORMED_URL_EXCEPTION: 5,
    IO_EXCEPTION: 6,
    INVALID_ACTION: 7,
    JSON_EXCEPTION: 8,
    ERROR: 9
  });

  var STATUS_TEXT = [
    'No result',
    'OK',
    'Class not found',
    'Illegal access',
    'Instantiation error',
    'Malformed URL',
    'IO error',
    'Invalid action',
    'JSON error',
    'Error'
  ];

  // name, arity (the most arguments the native command reads), and:
  //   padTo   - positions the native command always reads, sent as null when
  //             the caller left them out;
  //   start   - the call that holds later calls until it is answered;
  //   noAnswer - the native command never answers; done once posted.
  var COMMANDS = [
    { name: 'startTrackerWithId', arity: 2, padTo: 2, start: true },
    { name: 'setAllowIDFACollection', arity: 1 },
    { name: 'getVar', arity: 1 },
    { name: 'setVar', arity: 2 },
    { name: 'dispatch', arity: 0, noAnswer: true },
    { name: 'debugMode', arity: 0, noAnswer: true },
    { name: 'setUserId', arity: 1 },
    { name: 'setAnonymizeIp', arity: 1 },
    { name: 'setOptOut', arity: 1 },
    { name: 'setAppVersion', arity: 1 },
    { name: 'enableUncaughtExceptionReporting', arity: 1 },
    { name: 'addCustomDimension', arity: 2 },
    { name: 'trackMetric', arity: 2 },
    { name: 'trackEvent', arity: 5 },
    { name: 'trackException', arity: 2 },
    { name: 'trackView', arity: 3, padTo: 2 },
    { name: 'trackTiming', arity: 4 },
    { name: 'addTransaction', arity: 6 },
    { name: 'addTransactionItem', arity: 7 },
    // Answers the delivery figures; needs no start, but still waits behind
    // one in flight like every call, so it reads what that start set up.
    { name: 'getStatistics', arity: 0 }
  ];

  /**
   * The error a command's Promise rejects with and its error callback gets.
   * `message` is the native answer's message when it is text; `nativeMessage`
   * keeps the answer's message as it came (any JSON value, or null).
   */
  class OmnistatError extends Error {
    constructor(message, options) {
      var opts = options || {};
      super(message, opts.cause !== undefined ? { cause: opts.cause } : undefined);
      this.name = 'OmnistatError';
      this.status = typeof opts.status === 'number' ? opts.status : Status.ERROR;
      this.action = opts.action === undefined ? null : opts.action;
      this.nativeMessage = opts.nativeMessage === undefined ? null : opts.nativeMessage;
    }
  }

  function statusText(status) {
    return STATUS_TEXT[status] || 'Status ' + status;
  }

  function errorFromAnswer(action, message, status) {
    var text;
    if (typeof message === 'string' && message !== '') {
      text = message;
    } else if (message !== null && message !== undefined && typeof message === 'object') {
      try {
        text = JSON.stringify(message);
      } catch (e) {
        text = String(message);
      }
    } else if (message !== null && message !== undefined && message !== '') {
      text = String(message);
    } else {
      text = action + ' failed: ' + statusText(status) + ' (status ' + status + ')';
    }
    return new OmnistatError(text, {
      status: status,
      action: action,
      nativeMessage: message === undefined ? null : message
    });
  }

  function errorFromThrow(action, thrown) {
    var text = thrown && typeof thrown.message === 'string' ? thrown.message : String(thrown);
    return new OmnistatError(action + ' could not be posted: ' + text, {
      status: Status.ERROR,
      action: action,
      cause: thrown
    });
  }

  // Reports an error without throwing it into the current call stack: through
  // the page's reportError (its error event) where there is one, otherwise by
  // throwing it from a later job, where the host reports it as uncaught.
  function raiseLater(error) {
    if (root && typeof root.reportError === 'function') {
      root.reportError(error);
      return;
    }
    var schedule = typeof queueMicrotask === 'function'
      ? queueMicrotask
      : function (fn) { Promise.resolve().then(fn); };
    schedule(function () { throw error; });
  }

  // ---- The default bridge: window.cordova ------------------------------------

  function currentCordova() {
    return root && root.cordova ? root.cordova : undefined;
  }

  // Resolved when a command is posted, not when the module loads, so this file
  // may be loaded before cordova.js.
  function cordovaExec(success, error, service, action, args) {
    var cordova = currentCordova();
    if (!cordova || typeof cordova.exec !== 'function') {
      throw new TypeError('cordova.exec is not available');
    }
    return cordova.exec(success, error, service, action, args);
  }

  // Calls fn once Cordova's "deviceready" has fired. The event is sticky in
  // cordova.js: a listener added after it fired runs at once. A listener added
  // before cordova.js loaded is a plain DOM listener, which cordova.js also
  // serves by dispatching "deviceready" on the document. With no document at
  // all (Node) there is nothing to wait for.
  function cordovaOnReady(fn) {
    var called = false;
    var once = function () {
      if (called) return;
      called = true;
      fn();
    };
    var cordova = currentCordova();
    try {
      if (cordova && typeof cordova.require === 'function') {
        var channel = cordova.require('cordova/channel');
        if (channel && channel.onDeviceReady && channel.onDeviceReady.state === 2) {
          once();
          return;
        }
      }
    } catch (e) {
      // No channel module: fall back to the event.
    }
    var doc = root && root.document;
    if (doc && typeof doc.addEventListener === 'function') {
      doc.addEventListener('deviceready', once, false);
    } else {
      once();
    }
  }

  // ---- Arguments and callbacks -----------------------------------------------

  function isCallback(value) {
    return typeof value === 'function';
  }

  // Splits a call's arguments into what is sent and the callbacks:
  //   (..., success, error)  two trailing functions
  //   (..., success)         one trailing function
  //   (..., null, error)     one trailing function after an empty slot that lies
  //                          past the command's own arguments
  function shapeCall(command, given) {
    var list = Array.prototype.slice.call(given);
    var callbacks = [];
    while (callbacks.length < 2 && list.length && isCallback(list[list.length - 1])) {
      callbacks.unshift(list.pop());
    }
    var success = null;
    var error = null;
    if (callbacks.length === 2) {
      success = callbacks[0];
      error = callbacks[1];
    } else if (callbacks.length === 1) {
      var before = list[list.length - 1];
      if (list.length > command.arity && (before === null || before === undefined)) {
        list.pop();
        error = callbacks[0];
      } else {
        success = callbacks[0];
      }
    }
    var args = list.slice(0, command.arity);
    // Positions the native side reads after the caller's own are padded;
    // with no argument at all nothing is, so a missing first argument is
    // refused natively rather than sent as null.
    while (command.padTo && args.length > 0 && args.length < command.padTo) args.push(null);
    for (var i = 0; i < args.length; i++) {
      if (args[i] === undefined) args[i] = null;
    }
    return { args: args, success: success, error: error, hasCallbacks: callbacks.length > 0 };
  }

  // ---- The queue ---------------------------------------------------------------

  /**
   * Makes an Omnistat object over a bridge.
   *   options.exec(success, error, service, action, args)  posts a command;
   *     the bridge later calls success(message) or error(message[, status]);
   *     an error without a status is taken as ERROR.
   *     Default: window.cordova.exec, looked up when a command is posted.
   *   options.onReady(fn)  calls fn once the bridge can take commands.
   *     Default: Cordova's "deviceready" (at once when it has fired).
   * The default bridge is subscribed to on the first call, not before.
   */
  function createOmnistat(options) {
    var opts = options || {};
    var exec = typeof opts.exec === 'function' ? opts.exec : cordovaExec;
    var onReady = typeof opts.onReady === 'function' ? opts.onReady : cordovaOnReady;

    var queue = [];
    var readiness = 'idle'; // 'idle' | 'waiting' | 'ready'
    var startInFlight = false;
    var pumping = false;

    function markReady() {
      if (readiness === 'ready') return;
      readiness = 'ready';
      pump();
    }

    function awaitReady() {
      if (readiness !== 'idle') return;
      readiness = 'waiting';
      try {
        onReady(markReady);
      } catch (thrown) {
        readiness = 'idle';
        var failed = queue.splice(0, queue.length);
        failed.forEach(function (entry) {
          settle(entry, false, errorFromThrow(entry.action, thrown));
        });
      }
    }

    function pump() {
      if (pumping) return; // the outer loop picks up what a re-entrant call added
      pumping = true;
      try {
        while (readiness === 'ready' && !startInFlight && queue.length) {
          post(queue.shift());
        }
      } finally {
        pumping = false;
      }
    }

    function post(entry) {
      if (entry.noAnswer) {
        var posted = false;
        try {
          exec(null, null, SERVICE, entry.action, entry.args);
          posted = true;
        } catch (thrown) {
          settle(entry, false, errorFromThrow(entry.action, thrown));
        }
        if (posted) settle(entry, true, undefined);
        return;
      }

      var answered = false;
      if (entry.start) startInFlight = true;
      var onSuccess = function (message) {
        if (answered) return;
        answered = true;
        settle(entry, true, message, true);
      };
      // The status comes with the answer, as the error callback's second
      // argument, when the bridge sends one: cordova.js passes it for an
      // answer whose message is the framework's MultiPart [message, status].
      // Without it the failure is the service's own, which answers ERROR.
      var onError = function (message, status) {
        if (answered) return;
        answered = true;
        if (typeof status !== 'number') status = Status.ERROR;
        settle(entry, false, errorFromAnswer(entry.action, message, status), true);
      };
      try {
        exec(onSuccess, onError, SERVICE, entry.action, entry.args);
      } catch (thrown) {
        if (answered) {
          // The bridge answered at once and a caller's callback threw; the
          // call itself went through.
          raiseLater(thrown);
        } else {
          answered = true;
          settle(entry, false, errorFromThrow(entry.action, thrown));
        }
      }
    }

    // Settles the Promise, lets held calls go, then calls the caller's
    // callback. A callback that throws does so after the queue has moved on:
    // into the bridge when the bridge delivered an answer (cordova.js logs
    // it), or outside the current stack when the module settled the call
    // itself, so that one caller's callback never stops the queue.
    function settle(entry, ok, value, fromBridge) {
      if (entry.start) startInFlight = false;
      if (ok) entry.resolve(value);
      else entry.reject(value);
      pump();
      var callback = ok ? entry.success : entry.error;
      if (!callback) return;
      if (fromBridge) {
        callback(value);
        return;
      }
      try {
        callback(value);
      } catch (thrown) {
        raiseLater(thrown);
      }
    }

    function call(command, given) {
      var shaped = shapeCall(command, given);
      var entry = {
        action: command.name,
        args: shaped.args,
        start: !!command.start,
        noAnswer: !!command.noAnswer,
        success: shaped.success,
        error: shaped.error,
        resolve: null,
        reject: null
      };
      var promise = new Promise(function (resolve, reject) {
        entry.resolve = resolve;
        entry.reject = reject;
      });
      // A caller who passed callbacks handles the answer there; the Promise
      // must not then report an unhandled rejection.
      if (shaped.hasCallbacks) promise.catch(function () {});
      queue.push(entry);
      awaitReady();
      pump();
      return promise;
    }

    var omnistat = {};
    COMMANDS.forEach(function (command) {
      omnistat[command.name] = function () {
        return call(command, arguments);
      };
    });
    return omnistat;
  }

  var api = createOmnistat();
  api.createOmnistat = createOmnistat;
  api.OmnistatError = OmnistatError;
  api.Status = Status;
  api.SERVICE = SERVICE;
  return api;
});
