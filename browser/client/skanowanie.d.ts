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
}>;

export type ErrorCodeValue = (typeof ErrorCode)[keyof typeof ErrorCode];

export declare class SkanowanieError extends Error {
  readonly name: "SkanowanieError";
  readonly code: ErrorCodeValue;
}

/** The host's status texts (the answer to readStatus). */
export type ScanStatus = "" | "Init_SCAN" | "Begin_SCAN" | "Prepared_SCAN" | "Redy_SCAN" | (string & {});

/** Messages 5 ("Dokument zeskanowany, ...") and 6 ("1") sent when a scan completes. */
export interface Progress {
  number: 5 | 6;
  text: string;
}

/** The user pressed "Confirm and send": the host serves the document on this loopback port. */
export interface Share {
  port: number;
  filename: string;
}

export interface ConnectionEvents {
  /** Every message of the host, as it arrived. */
  message: Record<string, unknown>;
  status: ScanStatus;
  progress: Progress;
  shared: Share;
  /** The host or the extension went away; `reason` is the browser's text, if any. */
  close: { reason: string };
}

export declare class Connection {
  /** The status of the latest answer to readStatus, null before the first. */
  readonly status: ScanStatus | null;
  /** The identifier of the latest scan request, e.g. "2025_03_07_09_05_02_045". */
  readonly scanId: string | null;
  /** The latest share of the current scan request, null before it. */
  readonly share: Share | null;
  readonly isClosed: boolean;
  /** Resolves when the connection closes (END, the host exiting, close()). */
  readonly closed: Promise<{ reason: string }>;

  on<K extends keyof ConnectionEvents>(type: K, listener: (detail: ConnectionEvents[K]) => void): () => void;

  /** Opens a new scan request; resolves to its identifier. */
  openScanRequest(
    /** email: at most 254 characters; serialnumber: at most 64; both well-formed text. */
    request?: { email?: string; serialnumber?: string },
    options?: { timeoutMs?: number },
  ): Promise<string>;
  readStatus(options?: { timeoutMs?: number }): Promise<ScanStatus>;
  /** Polls readStatus every intervalMs (1000) until the status is `status`; timeoutMs 0 waits for ever. */
  waitForStatus(status: ScanStatus, options?: { intervalMs?: number; timeoutMs?: number }): Promise<ScanStatus>;
  /** Resolves once the user has pressed "Confirm and send"; timeoutMs 0 waits for ever. */
  waitForShare(options?: { timeoutMs?: number }): Promise<Share>;
  /** The shared PDF; rejects with NO_DOCUMENT before a share or when the host serves no PDF. */
  getPdf(options?: { timeoutMs?: number }): Promise<Blob>;
  /** Ends the host; resolves to its farewell ("Pa Pa") once it has gone. */
  end(options?: { timeoutMs?: number }): Promise<string>;
  /** Drops the connection at once; the host ends because its input closes. */
  close(): void;
}

/** The extension's version, or null when it does not answer within timeoutMs (1500). */
export declare function extensionVersion(options?: { timeoutMs?: number }): Promise<string | null>;

/**
 * Starts a host and waits for its first answer. Call it from a click or key
 * press handler: the first time, the extension asks the person whether this
 * site may use the scanner.
 * extensionTimeoutMs (1500): how long to wait for the extension;
 * startTimeoutMs (60000): for the host's first answer;
 * replyTimeoutMs (120000): for each later answer.
 */
export declare function connect(options?: {
  extensionTimeoutMs?: number;
  startTimeoutMs?: number;
  replyTimeoutMs?: number;
}): Promise<Connection>;
