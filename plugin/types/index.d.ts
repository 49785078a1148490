// Type declarations for cordova-plugin-omnistat (www/omnistat.js).
//
// The module exports one ready-to-use object: the commands of the native
// "OmnistatPlugin" service, plus the factory `createOmnistat`, the error class
// and the status values. In a Cordova app the same object is `window.omnistat`.
//
// Every command returns a Promise for the native answer. Cordova-style
// callbacks may be passed after the command's own arguments:
// `(..., success, error)`, `(..., success)` or `(..., null, error)` (the last
// only after the command's whole argument list: before it, a null reads as
// an argument left empty); the
// callback is called when the Promise settles, and a Promise whose call was
// given callbacks never reports an unhandled rejection.
//
// Commands are sent in call order. Calls made before the bridge is ready, or
// while a `startTrackerWithId` has not been answered yet, wait and then go out
// in that same order.
//
// Every command except `startTrackerWithId`, `dispatch`, `debugMode`,
// `addCustomDimension` and `getStatistics` needs a started tracker: before the first
// `startTrackerWithId` it rejects with status 9 and the message
// "Tracker not started", and changes nothing.
//
// A command left without an argument it cannot do without rejects with
// status 9 and "<command>: argument N (<what>) is missing", for example
// "setUserId: argument 0 (user id) is missing", and changes nothing. Before a
// start, `setUserId`, `setAnonymizeIp`, `setOptOut` and `setAppVersion` give
// that message rather than "Tracker not started"; `getVar`, `setVar`,
// `trackView` and `enableUncaughtExceptionReporting` give "Tracker not
// started" first.

export = omnistat;
export as namespace omnistat;

declare const omnistat: omnistat.OmnistatModule;

declare namespace omnistat {
  /** The plugin framework's status values (Cordova's callback status enumeration). */
  type StatusCode = 0 | 1 | 2 | 3 | 4 | 5 | 6 | 7 | 8 | 9;

  /** Names for the status values, as `omnistat.Status`. */
  interface StatusValues {
    readonly NO_RESULT: 0;
    readonly OK: 1;
    readonly CLASS_NOT_FOUND_EXCEPTION: 2;
    readonly ILLEGAL_ACCESS_EXCEPTION: 3;
    readonly INSTANTIATION_EXCEPTION: 4;
    readonly MALFORMED_URL_EXCEPTION: 5;
    readonly IO_EXCEPTION: 6;
    readonly INVALID_ACTION: 7;
    readonly JSON_EXCEPTION: 8;
    readonly ERROR: 9;
  }

  /**
   * What a command's Promise rejects with and its error callback receives.
   * `message` is the native answer's message when that is text (for example
   * "Tracker not started"), otherwise a description naming the command and
   * the status.
   */
  interface OmnistatError extends Error {
    readonly name: 'OmnistatError';
    /**
     * The answer's status: 9 (ERROR) for a command's own failure and when the
     * command could not be posted; the framework's own (2 to 8) when the
     * bridge passes it to the error callback as its second argument (through
     * cordova.js, an answer whose message is a MultiPart of [message, status]),
     * otherwise 9 as well.
     */
    status: StatusCode | number;
    /** The command that failed, for example "trackView". */
    action: string | null;
    /** The answer's message exactly as the native side sent it (any JSON value), or null. */
    nativeMessage: unknown;
    /** What was thrown when the command could not be posted to the bridge. */
    cause?: unknown;
  }

  /** The `OmnistatError` class. */
  interface OmnistatErrorConstructor {
    /**
     * Makes an error.
     * @param message the readable message
     * @param options status (default 9), action, nativeMessage and cause
     */
    new (
      message: string,
      options?: { status?: number; action?: string | null; nativeMessage?: unknown; cause?: unknown }
    ): OmnistatError;
    readonly prototype: OmnistatError;
  }

  /** Called with the answer's message when a command succeeds. */
  type SuccessCallback<T> = (message: T) => void;
  /** Called with the error when a command fails. */
  type ErrorCallback = (error: OmnistatError) => void;

  /** The answer of a command that answers OK without a message. */
  type NoMessage = null | undefined;

  /**
   * A bridge in Cordova's form: posts `action` with `args` to `service` and
   * later calls `success(message)` or `error(message, status?)` once.
   * An error without a status is taken as 9 (ERROR).
   */
  type Exec = (
    success: ((message?: unknown) => void) | null,
    error: ((message?: unknown, status?: number) => void) | null,
    service: string,
    action: string,
    args: unknown[]
  ) => void;

  /** Options of `createOmnistat`. */
  interface OmnistatOptions {
    /** The bridge; default `window.cordova.exec`, looked up when a command is posted. */
    exec?: Exec;
    /** Calls `ready` once the bridge can take commands; default Cordova's "deviceready" (at once when it has fired already, or when there is no document). */
    onReady?: (ready: () => void) => void;
  }

  /** Hits dropped since the process started, by reason; `total` is their sum. */
  interface DroppedHits {
    /** Older than the 30-day limit, deleted unsent. */
    expired: number;
    /** The oldest hits, removed to keep the hit store at its cap. */
    overCap: number;
    /** Refused for good by the collection service (400, 413, ...). */
    refused: number;
    /** Over the size limits: no request could be built for them. */
    unsendable: number;
    /** Queued or stored while the user was opted out. */
    optOut: number;
    /** Outside the hit's sample rate; never stored. */
    sampledOut: number;
    /** Stored parameters that no longer decode. */
    undecodable: number;
    /** The sum of the reasons above. */
    total: number;
  }

  /** The last answer from the collection service that did not deliver. */
  interface LastRefusal {
    /** Its HTTP status, or -1 when the transfer failed without one. */
    status: number;
    /** When, in seconds since 1970 (`new Date(time * 1000)`). */
    time: number;
  }

  /**
   * What became of the hits this process handed to the client since it
   * started (not since the page loaded: a reload keeps counting). Every
   * stored hit is at any moment pending, delivered or dropped; hits refused
   * before they were stored (opt-out, sampling) count as dropped, never as
   * stored. Figures are read one by one while hits move, so one read may be
   * off by the hits in motion.
   */
  interface DeliveryStatistics {
    /** Hits written to the hit store. */
    stored: number;
    /** Hits the collection service took (a 2xx answer). */
    delivered: number;
    /** Hits in the hit store when it was last counted; null before it first was. */
    pending: number | null;
    /** Times a hit was sent and kept because the service did not take it, once per hit per request. */
    retried: number;
    /** Hits the store failed to save; they are lost. */
    notStored: number;
    /** Hits dropped, by reason. */
    dropped: DroppedHits;
    /** The last refusal, or null when there was none. */
    lastRefusal: LastRefusal | null;
  }

  /** The commands of the native "OmnistatPlugin" service. */
  interface Omnistat {
    /**
     * Starts the tracker for `trackingId` and makes it the default tracker;
     * sets the dispatch interval to `interval` seconds when it is a number,
     * otherwise to 30 seconds. Starting again with another id makes that
     * tracker the default. Sends `[trackingId, interval ?? null]`.
     * Every call made after this one waits until it is answered.
     * Answers OK (also when the tracker could not be made).
     * @param trackingId the property's tracking id, for example "UA-12345-6"
     * @param interval the dispatch interval in seconds
     */
    startTrackerWithId(trackingId: string, interval?: number | null): Promise<NoMessage>;
    /** `startTrackerWithId` with Cordova-style callbacks. */
    startTrackerWithId(trackingId: string, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `startTrackerWithId` with Cordova-style callbacks. */
    startTrackerWithId(trackingId: string, interval: number | null | undefined, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Allows or forbids the default tracker to collect the advertising
     * identifier (hashed, sent with hits). Needs a started tracker.
     * @param flag true to allow
     */
    setAllowIDFACollection(flag: boolean): Promise<NoMessage>;
    /** `setAllowIDFACollection` with Cordova-style callbacks. */
    setAllowIDFACollection(flag: boolean, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Reads a field of the default tracker. Resolves with the field's value
     * when it is text, with nothing (null or undefined) when the field is not
     * set or holds a number or a boolean. Needs a started tracker.
     * @param key the field key, for example "&uid" or "&cd"
     */
    getVar(key: string): Promise<string | NoMessage>;
    /** `getVar` with Cordova-style callbacks. */
    getVar(key: string, success: SuccessCallback<string | NoMessage> | null, error?: ErrorCallback): Promise<string | NoMessage>;

    /**
     * Sets a field of the default tracker; it goes out with every later hit
     * of that tracker. A null value hides the field in later hits.
     * Needs a started tracker.
     * @param key the field key, for example "&ul"
     * @param value the value
     */
    setVar(key: string, value: string | number | boolean | null): Promise<NoMessage>;
    /** `setVar` with Cordova-style callbacks. */
    setVar(key: string, value: string | number | boolean | null, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Asks the client to send its stored hits now. The native side never
     * answers this command: the Promise resolves (and the success callback
     * runs) once the command has been posted to the bridge. Works before a
     * start.
     */
    dispatch(): Promise<void>;
    /** `dispatch` with Cordova-style callbacks, called once the command is posted. */
    dispatch(success: SuccessCallback<void> | null, error?: ErrorCallback): Promise<void>;

    /**
     * Turns the client's logging to verbose for the rest of the process; there
     * is no way back. Never answered: the Promise resolves (and the success
     * callback runs) once the command has been posted. Works before a start.
     */
    debugMode(): Promise<void>;
    /** `debugMode` with Cordova-style callbacks, called once the command is posted. */
    debugMode(success: SuccessCallback<void> | null, error?: ErrorCallback): Promise<void>;

    /**
     * Sets the user id ("&uid") on the default tracker; later hits carry it.
     * Needs a started tracker.
     * @param userId the user id
     */
    setUserId(userId: string): Promise<NoMessage>;
    /** `setUserId` with Cordova-style callbacks. */
    setUserId(userId: string, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sets IP anonymisation ("&aip") on the default tracker to the value as
     * given; later hits carry it. Needs a started tracker.
     * @param value true (or 1) to anonymise the sender's address
     */
    setAnonymizeIp(value: boolean | number | string): Promise<NoMessage>;
    /** `setAnonymizeIp` with Cordova-style callbacks. */
    setAnonymizeIp(value: boolean | number | string, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Opts the whole client out (true) or back in (false): while opted out no
     * hit is kept or sent. Needs a started tracker: before a start it changes
     * nothing and rejects with "Tracker not started".
     * @param flag true to opt out
     */
    setOptOut(flag: boolean): Promise<NoMessage>;
    /** `setOptOut` with Cordova-style callbacks. */
    setOptOut(flag: boolean, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sets the application version ("&av") on the default tracker; later hits
     * carry it. Needs a started tracker.
     * @param version the version text
     */
    setAppVersion(version: string): Promise<NoMessage>;
    /** `setAppVersion` with Cordova-style callbacks. */
    setAppVersion(version: string, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Turns reporting of uncaught native exceptions on or off: when on, such
     * an exception is sent as a fatal exception hit before the process ends.
     * Needs a started tracker.
     * @param flag true to report
     */
    enableUncaughtExceptionReporting(flag: boolean): Promise<NoMessage>;
    /** `enableUncaughtExceptionReporting` with Cordova-style callbacks. */
    enableUncaughtExceptionReporting(flag: boolean, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Stores custom dimension `index` ("&cd<index>") with `value`. Stored
     * dimensions become fields of the default tracker with the next
     * `trackEvent`, `trackException`, `trackView` or `trackTiming`, and then
     * go out with every hit of that tracker; a later value for the same index
     * replaces the earlier one, and null removes the dimension from later
     * hits. Works before a start. Rejects with status 9, storing nothing,
     * when an argument is missing ("addCustomDimension: argument 1 (value)
     * is missing") or when the index is not a number from 0 to
     * 18446744073709551615 (a string, a negative number, 1e300): "addCustomDimension:
     * argument 0 (dimension index) is not a number from 0 to
     * 18446744073709551615".
     * @param index the dimension index, a number from 0 (0 gives "&cd0")
     * @param value the value: text, a number or a boolean as it is, null to remove it
     */
    addCustomDimension(index: number, value: string | number | boolean | null): Promise<NoMessage>;
    /** `addCustomDimension` with Cordova-style callbacks. */
    addCustomDimension(index: number, value: string | number | boolean | null, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sets custom metric `index` ("&cm<index>") on the default tracker. Sends
     * no hit: the value goes out with the next hit and every hit after it.
     * Needs a started tracker. An index with a fraction is cut to a whole
     * number; one that is negative or over 2147483647 rejects with status 9,
     * "trackMetric: argument 0 (metric index) is not a number from 0 to
     * 2147483647", and sets nothing.
     * @param index the metric index, a number from 0 (0 gives "&cm0")
     * @param value the metric value
     */
    trackMetric(index: number, value: number | string | null): Promise<NoMessage>;
    /** `trackMetric` with Cordova-style callbacks. */
    trackMetric(index: number, value: number | string | null, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sends an event hit with category, action and, when given, label and
     * value, plus the tracker's fields (the last screen name, stored custom
     * dimensions). With `newSession` true the hit starts a new session.
     * Needs a started tracker.
     * @param category the event category
     * @param action the event action
     * @param label the event label
     * @param value the event value, an integer
     * @param newSession true to start a new session with this hit
     */
    trackEvent(category: string | null, action: string | null, label?: string | null, value?: number | null, newSession?: boolean | null): Promise<NoMessage>;
    /** `trackEvent` with Cordova-style callbacks. */
    trackEvent(category: string | null, action: string | null, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackEvent` with Cordova-style callbacks. */
    trackEvent(category: string | null, action: string | null, label: string | null | undefined, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackEvent` with Cordova-style callbacks. */
    trackEvent(category: string | null, action: string | null, label: string | null | undefined, value: number | null | undefined, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackEvent` with Cordova-style callbacks. */
    trackEvent(category: string | null, action: string | null, label: string | null | undefined, value: number | null | undefined, newSession: boolean | null | undefined, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sends two hits: a screen view (with the tracker's last screen name),
     * then an exception hit with the description and the fatal flag.
     * Answers once. Needs a started tracker.
     * @param description what went wrong
     * @param fatal true when the exception ended the app
     */
    trackException(description: string | null, fatal: boolean | null): Promise<NoMessage>;
    /** `trackException` with Cordova-style callbacks. */
    trackException(description: string | null, fatal: boolean | null, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sends a screen-view hit for `screen`, which also becomes the tracker's
     * screen name ("&cd") for every later hit. A campaign URL adds its
     * campaign fields to this hit; `newSession` true starts a new session.
     * Always sends `[screen, campaignUrl ?? null, ...]`. Needs a started
     * tracker.
     * @param screen the screen name
     * @param campaignUrl a URL whose query carries campaign parameters (utm_source, ...)
     * @param newSession true to start a new session with this hit
     */
    trackView(screen: string, campaignUrl?: string | null, newSession?: boolean | null): Promise<NoMessage>;
    /** `trackView` with Cordova-style callbacks. */
    trackView(screen: string, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackView` with Cordova-style callbacks. */
    trackView(screen: string, campaignUrl: string | null | undefined, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackView` with Cordova-style callbacks. */
    trackView(screen: string, campaignUrl: string | null | undefined, newSession: boolean | null | undefined, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sends a timing hit: category, the interval in milliseconds and, when
     * given, name and label. Needs a started tracker.
     * @param category the timing category
     * @param interval the measured time in milliseconds
     * @param name the timing variable's name
     * @param label the timing label
     */
    trackTiming(category: string | null, interval: number | null, name?: string | null, label?: string | null): Promise<NoMessage>;
    /** `trackTiming` with Cordova-style callbacks. */
    trackTiming(category: string | null, interval: number | null, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackTiming` with Cordova-style callbacks. */
    trackTiming(category: string | null, interval: number | null, name: string | null | undefined, success: SuccessCallback<NoMessage>, error?: ErrorCallback): Promise<NoMessage>;
    /** `trackTiming` with Cordova-style callbacks. */
    trackTiming(category: string | null, interval: number | null, name: string | null | undefined, label: string | null | undefined, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sends a transaction hit: id, affiliation, revenue, tax, shipping and
     * currency code. Not rate-limited. Needs a started tracker.
     * @param id the transaction id
     * @param affiliation the store or affiliation
     * @param revenue the total revenue
     * @param tax the tax
     * @param shipping the shipping cost
     * @param currencyCode the ISO 4217 currency code, for example "EUR"
     */
    addTransaction(id: string, affiliation: string | null, revenue: number | null, tax: number | null, shipping: number | null, currencyCode: string | null): Promise<NoMessage>;
    /** `addTransaction` with Cordova-style callbacks. */
    addTransaction(id: string, affiliation: string | null, revenue: number | null, tax: number | null, shipping: number | null, currencyCode: string | null, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Sends an item hit for a transaction: transaction id, item name, SKU,
     * category, price, quantity and currency code. Not rate-limited.
     * Needs a started tracker.
     * @param transactionId the id of the transaction the item belongs to
     * @param name the item name
     * @param sku the stock-keeping unit
     * @param category the item category
     * @param price the unit price
     * @param quantity the number of units, an integer
     * @param currencyCode the ISO 4217 currency code
     */
    addTransactionItem(transactionId: string, name: string | null, sku: string | null, category: string | null, price: number | null, quantity: number | null, currencyCode: string | null): Promise<NoMessage>;
    /** `addTransactionItem` with Cordova-style callbacks. */
    addTransactionItem(transactionId: string, name: string | null, sku: string | null, category: string | null, price: number | null, quantity: number | null, currencyCode: string | null, success: SuccessCallback<NoMessage> | null, error?: ErrorCallback): Promise<NoMessage>;

    /**
     * Reads the client's delivery figures: hits stored, delivered, pending,
     * retried and dropped by reason, and the last refusal. Sends no hit and
     * works before a start, so a page can show them at any time (polling
     * every few seconds is cheap: the native side reads counters and takes
     * no lock).
     */
    getStatistics(): Promise<DeliveryStatistics>;
    /** `getStatistics` with Cordova-style callbacks. */
    getStatistics(success: SuccessCallback<DeliveryStatistics> | null, error?: ErrorCallback): Promise<DeliveryStatistics>;
  }

  /** What the module exports, and what `window.omnistat` is in a Cordova app. */
  interface OmnistatModule extends Omnistat {
    /**
     * Makes an independent Omnistat object with its own queue, over the given
     * bridge (default `window.cordova.exec` and "deviceready").
     * @param options the bridge and its readiness
     */
    createOmnistat(options?: OmnistatOptions): Omnistat;
    /** The class of the errors commands reject with. */
    readonly OmnistatError: OmnistatErrorConstructor;
    /** The status values. */
    readonly Status: StatusValues;
    /** The native service name the commands are posted to. */
    readonly SERVICE: 'OmnistatPlugin';
  }
}

declare global {
  interface Window {
    /** The Omnistat commands, set by the Cordova plugin loader or by the script itself. */
    omnistat: omnistat.OmnistatModule;
  }
}
