// Types of the Skanowanie client library (skanowanie.js).

export declare const ErrorCode: Readonly<{
  /** The browser extension is not installed or not enabled for this page. */
  EXTENSION_MISSING: "EXTENSION_MISSING";
  /** The browser knows no native messaging host pl.skanowanie.host. */
  HOST_MISSING: "HOST_MISSING";
  /** The host ended (or never started) before its first answer. */
  HOST_FAILED: "HOST_FAILED";
  /** The connection closed while a call was waiting. */
  CLOSED: "CLOSED";
  /** No answer within the time allowed. */
  TIMEOUT: "TIMEOUT";
  /** No shared document, or it could not be fetched, or it is no PDF. */
  NO_DOCUMENT: "NO_DOCUMENT";
  /** connect() without a click or key press, from a site that may not ask (not https, not loopback http), or from a frame of another origin. */
  NOT_ALLOWED: "NOT_ALLOWED";
  /** The person (or the administrator) did not allow this site. */
  PERMISSION_DENIED: "PERMISSION_DENIED";
  /** This tab already has a connection. */
  BUSY: "BUSY";
  /** This site started the host too often (5 times a minute). */
  RATE_LIMITED: "RATE_LIMITED";
  /** A call's arguments, or a message, the extension refuses (type, length, text that is not well-formed). */
  INVALID_ARGUMENT: "INVALID_ARGUMENT";
  /** The host's installation does not list this extension (Chromium; Firefox says HOST_MISSING). */
  HOST_FORBIDDEN: "HOST_FORBIDDEN";
  /** No such scanner, or none at all, is connected. */
  NO_SCANNER: "NO_SCANNER";
  /** A batch is under way already. */
  SCANNER_BUSY: "SCANNER_BUSY";
  /** The scanner refused or changed a setting; see `setting` and `offered`. */
  UNSUPPORTED_SETTING: "UNSUPPORTED_SETTING";
  /** The batch was cancelled: cancelScan(), or the person in the driver's dialog. */
  USER_CANCELLED: "USER_CANCELLED";
  /** startScan() before openScanRequest(). */
  NO_REQUEST: "NO_REQUEST";
  /** The batch ended without a document; the message gives the host's reason. */
  SCAN_FAILED: "SCAN_FAILED";
  /** The call's AbortSignal aborted; `cause` is the signal's reason. */
  ABORTED: "ABORTED";
  /** The installed Skanowanie program is older than this call. */
  NOT_SUPPORTED: "NOT_SUPPORTED";
}>;

/** A reply's time limit (120 s) unless a call says otherwise. */
export declare const DEFAULT_REPLY_TIMEOUT_MS: number;
/** The limit (30 min) of waits for the person or a batch: waitForStatus, waitForShare, startScan. */
export declare const DEFAULT_WAIT_TIMEOUT_MS: number;

export type ErrorCodeValue = (typeof ErrorCode)[keyof typeof ErrorCode];

export declare class SkanowanieError extends Error {
  readonly name: "SkanowanieError";
  readonly code: ErrorCodeValue;
  /** UNSUPPORTED_SETTING: the setting the scanner refused, e.g. "resolution". */
  readonly setting?: keyof ScanSettings | (string & {});
  /** UNSUPPORTED_SETTING: what the scanner offers instead. */
  readonly offered?: OfferedValues;
  /** INVALID_ARGUMENT from the host: the field it refused. */
  readonly field?: string;
}

/** The host's status texts (the answer to readStatus). */
export type ScanStatus = "" | "Init_SCAN" | "Begin_SCAN" | "Prepared_SCAN" | "Redy_SCAN" | (string & {});

/** The readable form of a status. */
export type ScanState = "idle" | "requested" | "scanning" | "assembling" | "ready" | "shared" | "unknown";

/** Maps a status text to its readable state ("Begin_SCAN" -> "scanning"). */
export declare function readableState(raw: string): ScanState;

/** A status change, in a connection with events. */
export interface StatusChange {
  state: ScanState;
  /** The host's own text: "Init_SCAN", "Begin_SCAN", "Prepared_SCAN", "Redy_SCAN", "Shared_complite". */
  raw: ScanStatus;
}

export type Colour = "colour" | "grey" | "bw";

/** One scanned page, as it arrives. */
export interface PageEvent {
  /** 1 for the first page of the batch. */
  page: number;
  pixelWidth: number | null;
  pixelHeight: number | null;
  dpi: number | null;
  colour: Colour | (string & {});
  /** A small JPEG of the page as a data: URL (for an <img>), or null. */
  thumbnail: string | null;
  /** The same JPEG as a Blob, or null. */
  thumbnailBlob: Blob | null;
}

/** A batch ended. */
export interface ScannedEvent {
  pages: number;
  outcome: "done" | "cancelled" | "failed";
  /** Why, when not done. */
  reason?: string;
  /** The assembled document's id, when done: "d" and 32 hex digits. */
  document?: string;
}

export interface ScannerInfo {
  /** Pass it as `scan.scanner` and to scannerCapabilities(). */
  id: string;
  name: string;
  manufacturer: string;
  productFamily: string;
  isDefault: boolean;
}

export type OfferedValues<T = unknown> = T[] | { min: number; max: number; step: number };

/** One capability: current, default and the values on offer (a list, or a range). */
export interface Capability<T> {
  current?: T;
  default?: T;
  values?: T[];
  min?: number;
  max?: number;
  step?: number;
}

/** What the scanner answers nothing about is the string "UNSUPPORTED". */
export type Answer<T> = T | "UNSUPPORTED";

export interface ScannerCapabilities {
  resolution?: Answer<Capability<number>>;
  colour?: Answer<Capability<Colour>>;
  duplex?: Answer<Capability<boolean>>;
  source?: Answer<Capability<"feeder" | "flatbed">>;
  paperSize?: Answer<Capability<PaperSize>>;
  showScannerUI?: Answer<{ canHide: boolean }>;
  [other: string]: unknown;
}

export type PaperSize = "A4" | "A5" | "Letter" | "Legal" | "auto";

/** Settings of a scan request, each optional. */
export interface ScanSettings {
  /** An id from listScanners(); absent: the default scanner. */
  scanner?: string;
  /** Dots per inch, 1 to 19200; the scanner says which it takes. */
  resolution?: number;
  colour?: Colour;
  duplex?: boolean;
  source?: "feeder" | "flatbed" | "auto";
  paperSize?: PaperSize;
  /** 1 to 1000. */
  maxPages?: number;
  /** Show the driver's own dialog (false by default when `scan` is given). */
  showScannerUI?: boolean;
}

export interface ScanRequest {
  /** At most 254 characters, well-formed text. */
  email?: string;
  /** At most 64 characters, well-formed text. */
  serialnumber?: string;
  /** With it the host sets up the scanner at once (no dialog unless showScannerUI). */
  scan?: ScanSettings;
  /** OCR languages, "+"-joined ("pol+eng", the default); "" for none. */
  languages?: string;
  /** "compact" (the default) or "lossless" images. */
  compression?: "compact" | "lossless";
}

/** Every call that waits: a time limit (0 or Infinity: none) and an AbortSignal. */
export interface WaitOptions {
  timeoutMs?: number;
  signal?: AbortSignal;
}

/** Messages 5 ("Dokument zeskanowany, ...") and 6 ("1") sent when a scan completes. */
export interface Progress {
  number: 5 | 6;
  text: string;
}

/** The user pressed "Confirm and send": the host serves the document on this loopback port. */
export interface Share {
  port: number;
  filename: string;
  /** The document's id (in a connection with events). */
  document?: string;
}

/** The events of a connection without the host's events (connect()). */
export interface ConnectionEvents {
  /** Every message of the host, as it arrived. */
  message: Record<string, unknown>;
  /** Each answer to readStatus. */
  status: ScanStatus;
  progress: Progress;
  shared: Share;
  /** The host or the extension went away; `reason` is the browser's text, if any. */
  close: { reason: string };
}

/** The events of a connection with the host's events (connect({events: true})). */
export interface LiveConnectionEvents extends Omit<ConnectionEvents, "status"> {
  /** Each change of the status, pushed by the host. */
  status: StatusChange;
  /** Each page as it is scanned, in order, before the batch's `scanned`. */
  page: PageEvent;
  /** The batch ended. */
  scanned: ScannedEvent;
}

export declare class Connection<Events extends ConnectionEvents | LiveConnectionEvents = ConnectionEvents> {
  /** Whether the host pushes its events to this connection. */
  readonly events: boolean;
  /** The default limit of waits for the person or a batch (connect's waitTimeoutMs). */
  readonly waitTimeoutMs: number;
  /** The latest status, null before the first. */
  readonly status: ScanStatus | null;
  /** The latest status's readable form. */
  readonly state: ScanState | null;
  /** The latest assembled document's id (a connection with events). */
  readonly document: string | null;
  /** The identifier of the latest scan request, e.g. "2025_03_07_09_05_02_045". */
  readonly scanId: string | null;
  /** The latest share of the current scan request, null before it. */
  readonly share: Share | null;
  readonly isClosed: boolean;
  /** Resolves when the connection closes (END, the host exiting, close()). */
  readonly closed: Promise<{ reason: string }>;

  on<K extends keyof Events>(type: K, listener: (detail: Events[K]) => void): () => void;

  /**
   * Opens a new scan request; resolves to its identifier. With `scan`, a
   * setting the scanner refuses rejects with UNSUPPORTED_SETTING (and no
   * request is opened); an unknown scanner with NO_SCANNER.
   */
  openScanRequest(request?: ScanRequest, options?: WaitOptions): Promise<string>;
  readStatus(options?: WaitOptions): Promise<ScanStatus>;
  /** Polls readStatus every intervalMs (1000) until the status is `status`; timeoutMs: waitTimeoutMs (30 min), 0 for none. */
  waitForStatus(status: ScanStatus, options?: WaitOptions & { intervalMs?: number }): Promise<ScanStatus>;
  /** Resolves once the user has pressed "Confirm and send"; timeoutMs: waitTimeoutMs (30 min), 0 for none. */
  waitForShare(options?: WaitOptions): Promise<Share>;
  /**
   * The shared PDF; rejects with NO_DOCUMENT before a share, when the host
   * serves no PDF, or when `document` is not the shared one. timeoutMs 120 s.
   */
  getPdf(options?: WaitOptions & { document?: string }): Promise<Blob>;
  /** The scanners the host sees. */
  listScanners(options?: WaitOptions): Promise<ScannerInfo[]>;
  /** What a scanner offers; NO_SCANNER for an unknown id. */
  scannerCapabilities(scanner: string, options?: WaitOptions): Promise<ScannerCapabilities>;
  /**
   * Starts the open request's batch (as "Scan to PDF" would) and resolves
   * when it ends with a document. Rejects with NO_REQUEST, SCANNER_BUSY,
   * NO_SCANNER, USER_CANCELLED, SCAN_FAILED, TIMEOUT (waitTimeoutMs), ABORTED
   * (the signal also cancels the batch), or INVALID_ARGUMENT without events.
   */
  startScan(options?: WaitOptions): Promise<ScannedEvent & { outcome: "done"; document: string }>;
  /** Cancels the batch under way; resolves to whether there was one. */
  cancelScan(options?: WaitOptions): Promise<boolean>;
  /** Ends the host; resolves to its farewell ("Pa Pa") once it has gone. */
  end(options?: WaitOptions): Promise<string>;
  /** Drops the connection at once; the host ends because its input closes. */
  close(): void;
}

/** The extension's version, or null when it does not answer within timeoutMs (1500). */
export declare function extensionVersion(options?: { timeoutMs?: number }): Promise<string | null>;

export interface ConnectOptions {
  /** How long to wait for the extension (1500 ms). */
  extensionTimeoutMs?: number;
  /** For the host's first answer (60 s). */
  startTimeoutMs?: number;
  /** For each later answer (120 s). */
  replyTimeoutMs?: number;
  /** For waits on the person or a batch (30 min); 0 for none. */
  waitTimeoutMs?: number;
  /** Ask the host for its events: status, page, scanned, and document ids. */
  events?: boolean;
  signal?: AbortSignal;
}

/**
 * Starts a host and waits for its first answer. Call it from a click or key
 * press handler: the first time, the extension asks the person whether this
 * site may use the scanner.
 */
export declare function connect(options: ConnectOptions & { events: true }): Promise<Connection<LiveConnectionEvents>>;
export declare function connect(options?: ConnectOptions & { events?: false }): Promise<Connection<ConnectionEvents>>;
/** `events` known only at run time: the events both kinds of connection have. */
export declare function connect(options: ConnectOptions): Promise<Connection<ConnectionEvents | LiveConnectionEvents>>;
