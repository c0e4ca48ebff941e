// Types of the QEL CAN bus driver: `require('corvalith')`, the driver on the real
// CAN bridge. `require('corvalith/sim')` (sim.d.ts) adds the simulated bridge.
//
// Every function throws a TypeError whose message begins with
// "QEL Driver -- " when it is called before driverStart (except
// registerCallback, driverStart and getVersion), with a wrong number of
// arguments or with an argument of the wrong type. Every error the driver
// throws carries a `code` (qel.ErrorCode) for a program to branch on; the
// message is for people and may read differently one day.

declare namespace qel {
  /**
   * The Buffer of Node.js where its types are present (@types/node), else
   * the Uint8Array that a Buffer is.
   */
  type QelBuffer = typeof globalThis extends { Buffer: { prototype: infer B } } ? B : Uint8Array;

  /**
   * The `code` of an error the driver throws:
   * - QEL_BAD_ARGUMENT: a wrong number of arguments, a wrong type, a value out of range
   * - QEL_NO_CALLBACK: driverStart before registerCallback
   * - QEL_ALREADY_STARTED: a second driverStart
   * - QEL_NOT_STARTED: sendCommand, writeParameter, readStatus, simulate, clearMem before driverStart
   * - QEL_START_FAILED: driverStart could not bring up the bridge (the console said why)
   * - QEL_SEND_FAILED: the bus did not take a command or parameter frame
   * - QEL_MAIN_THREAD_ONLY: the add-on was loaded in a worker thread (an Error)
   * - QEL_IN_OTHER_THREAD: driverStart while another thread's driver runs
   * - QEL_NOT_BUILT, QEL_LOADED_TWICE: require() found no add-on, or a second copy (an Error)
   * - QEL_BAD_OPTION (TypeError, RangeError): an option of open() misspelt or out of range
   * - QEL_UNKNOWN_ID (TypeError, RangeError): an identifier that has no slot, in open()'s
   *   enabledIds or cyclicIds or in read()
   * - QEL_BAD_COMMAND (TypeError, RangeError): a field of send() or an argument of the
   *   driver object's writeParameter that the frame cannot carry; a send() that sets nothing
   * - QEL_ALREADY_OPEN: open() while a driver object is open in this process (an Error)
   * - QEL_CLOSED: a driver object used after close(), or a send()/writeParameter() whose
   *   frame was still waiting when it closed (an Error; the promise rejects)
   * - QEL_QUEUE_FULL: send()/writeParameter() while 64 frames wait for the bus (an Error;
   *   the promise rejects)
   * - QEL_BUS_OPEN: registerCallback while a driver object is open (an Error)
   * - an errno name (ENOENT, EACCES, EAGAIN, ...): a system call failed, as
   *   for Node's fs errors: opening the I2C device file at driverStart, or
   *   creating the driver's threads, lock or wake-up handles
   */
  type ErrorCode =
    | 'QEL_BAD_ARGUMENT'
    | 'QEL_NO_CALLBACK'
    | 'QEL_ALREADY_STARTED'
    | 'QEL_NOT_STARTED'
    | 'QEL_START_FAILED'
    | 'QEL_SEND_FAILED'
    | 'QEL_MAIN_THREAD_ONLY'
    | 'QEL_NOT_BUILT'
    | 'QEL_LOADED_TWICE'
    | 'QEL_IN_OTHER_THREAD'
    | 'QEL_BAD_OPTION'
    | 'QEL_UNKNOWN_ID'
    | 'QEL_BAD_COMMAND'
    | 'QEL_ALREADY_OPEN'
    | 'QEL_CLOSED'
    | 'QEL_QUEUE_FULL'
    | 'QEL_BUS_OPEN'
    | (string & {});

  /**
   * What the driver throws: a TypeError (an Error where ErrorCode says so) with a code.
   * open() and its driver object throw a fault of the system (a failed start, a refused
   * bus write) as an Error, and keep TypeError and RangeError for a wrong call.
   */
  interface DriverError extends Error {
    code: ErrorCode;
    /** A failed start: the console line(s) that say why. */
    reason?: string;
    /** A failed start: an Error whose message is `reason`. */
    cause?: Error;
    /** A failed start, or a frame of send()/writeParameter() on the kernel's I2C path, where a system call failed: its negative errno and its name. */
    errno?: number;
    syscall?: string;
    /** A frame of send()/writeParameter() the bus refused: the bus's result code (1 no acknowledge, ...). */
    busCode?: number;
  }

  /** The four bus statistics, counted since start-up or the last clearMem. */
  interface DriverStats {
    /** Frames with identifiers 0x700-0x7FF (heartbeats of other nodes). */
    hb: number;
    /** Frames with an identifier that no slot lists. */
    unk: number;
    /** Polls that found the bridge empty (length code 0xFF). */
    empty: number;
    /** Failed bus reads and frames with a wrong checksum. */
    err: number;
  }

  /** The state of one message slot, as delivered and as readStatus returns it. */
  interface StatusObject {
    /** Reception time in milliseconds since the Unix epoch, in decimal; "0" for a cleared slot. */
    timestamp: string;
    /** Frames recorded in the slot (a signed 32-bit count); for the statistics slots, their count. */
    counter: number;
    /** CAN identifier of the latest recorded frame; 0 for a cleared slot. */
    msg_id: number;
    /** A copy of the slot's 8 data bytes. */
    msg_data: QelBuffer;
    driver_stats: DriverStats;
  }

  /** Called on the main thread with one status object per reported change. */
  type StatusCallback = (this: typeof globalThis, status: StatusObject) => void;

  /**
   * Frames read from the bridge, oldest first, in columns: frame i has
   * `time[i]`, `id[i]`, `length[i]`, the data bytes `data[8 * i]` to
   * `data[8 * i + 7]`, `checksumError[i]` and `simulated[i]`.
   */
  interface CaptureBatch {
    /** Frames in this batch. */
    count: number;
    /** Reception time, microseconds since the Unix epoch (wall clock). */
    time: Float64Array;
    /** Identifier: bytes 2-3 of the bridge frame. */
    id: Uint16Array;
    /** Length code as received (values above 8 are kept; the data are 8 bytes all the same). */
    length: Uint8Array;
    /** All eight data bytes of every frame, 8 * count bytes. */
    data: Uint8Array;
    /** 1 where the frame's checksum was wrong (the driver dropped it and counted it in "err"). */
    checksumError: Uint8Array;
    /** 1 where the frame came from simulate(), not from the bridge. */
    simulated: Uint8Array;
    /** Frames lost since the previous batch because the capture's buffer was full. */
    dropped: number;
    /** Empty polls since the previous batch (counted, never stored). */
    empty: number;
  }

  /** The mirror to a SocketCAN interface, as mirror() returns it. */
  interface MirrorState {
    /** The interface mirrored to; null when the mirror is off (or ended). */
    interface: string | null;
    /** Frames sent to the interface since the mirror started. */
    sent: number;
    /** Frames dropped because the socket had no room at that moment. */
    dropped: number;
    /** Frames with a wrong checksum: no bus frames, counted and not sent. */
    checksumErrors: number;
    /** Empty polls: counted and not sent. */
    empty: number;
  }

  /** Called on the main thread with each batch of captured frames. */
  type CaptureCallback = (this: typeof globalThis, batch: CaptureBatch) => void;

  /** How open()'s console function classes a line of the driver's. */
  type ConsoleLevel = 'error' | 'warn' | 'info' | 'debug';

  /** Gets each console line of the driver's, without its newline, on the thread that opened the driver. */
  type ConsoleFunction = (line: string, level: ConsoleLevel) => void;

  /** open()'s options; each left out (or undefined) takes the default shown. */
  interface OpenOptions {
    /** Pause after each bridge register access at start-up, µs, 0 to 2^31-1 (50000). */
    i2cDelay?: number;
    /** Pause between two polls of the bridge, µs (20000). */
    canBusDelay?: number;
    /** Heartbeat period, µs; 0 turns it off (500000). */
    heartbeat?: number;
    /** Debounce window of identifiers 0x200-0x2FF, ms (2000). */
    debounce?: number;
    /** Identifiers to listen to, each one of the thirteen slots' (all but 0x421 and 0x4E0). */
    enabledIds?: readonly number[];
    /** Identifiers reported only when their data change (0x1A1, 0x3A1). */
    cyclicIds?: readonly number[];
    /** Per-frame console lines and the debug log file (false). */
    debug?: boolean;
    /** Where the driver's console lines go: standard output ('stdout'), nowhere (false) or a function. */
    console?: 'stdout' | false | ConsoleFunction;
    /** The debug log's file for this start, in place of QEL_LOG_PATH and the fixed path (the simulated flavour: of bridge.logPath); relative to the working directory. */
    logPath?: string;
  }

  interface CommandLights {
    /** TFT value, 0-255. */
    tft?: number;
    /** true: COP light on; false: off. */
    copLight?: boolean;
    /** true: the COP light colour bit. */
    copLightColor?: boolean;
  }

  /**
   * The fields of one command frame (0x4E0); a field left out is not set.
   * readCfg 'all' asks for every parameter, 'one' for `parameter` (0-255).
   */
  type Command = CommandLights & ({ readCfg?: 'all'; parameter?: undefined } | { readCfg: 'one'; parameter: number });

  /** A `for await` loop's iterator; `dropped` counts what it fell too far behind to keep. */
  interface StatusIterator extends AsyncIterableIterator<StatusObject> {
    readonly dropped: number;
  }

  type BusEvent = 'status' | 'error' | 'close' | 'bridgeDown' | 'bridgeUp';
  type BusListener<E extends BusEvent> =
    E extends 'status' ? (status: StatusObject) => void :
    E extends 'error' ? (error: Error) => void :
    E extends 'bridgeUp' ? (failedTransfers: number) => void : () => void;

  /**
   * The driver object that open() returns (an EventEmitter): 'status' with
   * every status object, 'error' with what a 'status' listener or the
   * console function threw, 'close' once the driver stopped; 'bridgeDown'
   * when the bridge stopped answering (a refused transfer, or a frame no
   * bridge sends), 'bridgeUp' with the number of failed transfers once it
   * answers again, set up anew.
   */
  interface Bus extends AsyncIterable<StatusObject> {
    on<E extends BusEvent>(event: E, listener: BusListener<E>): this;
    once<E extends BusEvent>(event: E, listener: BusListener<E>): this;
    off<E extends BusEvent>(event: E, listener: BusListener<E>): this;
    addListener<E extends BusEvent>(event: E, listener: BusListener<E>): this;
    removeListener<E extends BusEvent>(event: E, listener: BusListener<E>): this;
    removeAllListeners(event?: BusEvent): this;
    listenerCount(event: BusEvent): number;
    /** Whether close() was called. */
    readonly closed: boolean;
    /** Status objects that `for await` loops dropped, being 1024 behind. */
    readonly dropped: number;
    /** The state of the slot of `id`, one of the thirteen slots' identifiers; never waits for the bus. */
    read(id: number): StatusObject;
    /**
     * Queues one command frame (0x4E0), written off the event loop in call order; settles
     * once it is on the bus (QEL_SEND_FAILED, QEL_QUEUE_FULL, QEL_CLOSED reject). A wrong
     * field throws at the call.
     */
    send(command: Command): Promise<void>;
    /** Queues one parameter frame (0x560): `number` 0-255, up to 7 value bytes; as send(). */
    writeParameter(number: number, bytes?: readonly number[] | Uint8Array): Promise<void>;
    /** As the add-on's capture(). */
    capture(fn: CaptureCallback | null): void;
    /** As the add-on's mirror(). */
    mirror(iface?: string | null): MirrorState;
    /** Stops the driver and frees it for the next open(); settles after 'close'. */
    close(): Promise<void>;
    [Symbol.asyncIterator](): StatusIterator;
    [Symbol.asyncDispose](): Promise<void>;
  }

  /** What one argument of a driver function may be (Facts.arguments). */
  interface ArgumentRule {
    /** The option of open() or the field of send() it maps onto. */
    readonly name: string;
    readonly kind: 'integer' | 'identifiers' | 'boolean' | 'bytes';
    /** integer: the values that act; bytes: at most `max` of them. */
    readonly min?: number;
    readonly max?: number;
    /** Of a delay. */
    readonly unit?: string;
    /** The argument acts only when the one at `position` holds `value`, and is then required. */
    readonly needs?: { readonly position: number; readonly value: number };
  }

  /** The driver's own tables, frozen: what an application need not copy. */
  interface Facts {
    /** The thirteen message slots in slot order, with their flags at load. */
    readonly slots: readonly { readonly id: number; readonly enabled: boolean; readonly cyclic: boolean }[];
    /** The keys of DriverStats, in slot order. */
    readonly statistics: readonly (keyof DriverStats)[];
    /** driverStart's settings at load, by open()'s option names. */
    readonly defaults: {
      readonly i2cDelay: number;
      readonly canBusDelay: number;
      readonly heartbeat: number;
      readonly debounce: number;
      readonly enabledIds: readonly number[];
      readonly cyclicIds: readonly number[];
      readonly debug: boolean;
    };
    /** The codes of the errors the driver and open() throw for a wrong call or a failure. */
    readonly codes: { readonly [key: string]: ErrorCode };
    /** Byte counts and offsets of a bridge frame, its registers and marker identifiers. */
    readonly frame: {
      readonly bytes: number;
      readonly transmitBytes: number;
      readonly idAt: number;
      readonly lengthAt: number;
      readonly dataAt: number;
      readonly checksumAt: number;
      readonly lenEmpty: number;
      readonly regBaud: number;
      readonly regTransmit: number;
      readonly regReceive: number;
      readonly baud250k: number;
      readonly idEmpty: number;
      readonly idError: number;
      readonly idUnknown: number;
      /** The bridge's I2C address. */
      readonly address: number;
    };
    /** The arguments of the functions that send or start, by position. */
    readonly arguments: {
      readonly driverStart: readonly ArgumentRule[];
      readonly sendCommand: readonly ArgumentRule[];
      readonly writeParameter: readonly ArgumentRule[];
    };
  }

  interface Driver {
    /** The driver's tables (not enumerated with the functions). */
    readonly facts: Facts;

    /**
     * Registers the function that receives the status objects; may be
     * called again at any time, the newest function is used.
     * Throws "Expected a function as the first argument", and QEL_BUS_OPEN
     * (an Error) while a driver object of open() is open.
     */
    registerCallback(callback: StatusCallback): void;

    /**
     * Starts the driver: exactly seven arguments, each of which may be
     * undefined to keep the current setting (the debug flag then becomes
     * false). Numbers are converted to 32-bit integers.
     *
     * @param i2cDelay pause after each bridge register access, µs (50000)
     * @param canBusDelay pause between two polls of the bridge, µs (20000)
     * @param hbDelay heartbeat period, µs; below 1 turns it off (500000)
     * @param debounceDelay debounce window of identifiers 0x200-0x2FF, ms (2000)
     * @param enabledIds identifiers to listen to (default: all slots but 0x421 and 0x4E0)
     * @param cyclicIds identifiers reported only when their data change (default 0x1A1, 0x3A1)
     * @param debug per-frame console lines and the debug log file
     */
    driverStart(
      i2cDelay: number | undefined,
      canBusDelay: number | undefined,
      hbDelay: number | undefined,
      debounceDelay: number | undefined,
      enabledIds: readonly number[] | undefined,
      cyclicIds: readonly number[] | undefined,
      debug: boolean | undefined,
    ): void;

    /**
     * Sends one command frame (identifier 0x4E0). Pass -1 for a field that
     * is not to be set. An argument that is passed must be a number
     * (explicit undefined is refused).
     *
     * @param tft TFT value 0-255, or -1 for none; above 255 it is refused
     * @param readCfg 0: Read CFG ALL; 1: Read CFG of parameter `paramNum`
     * @param copLight 0: COP light off; 1: on
     * @param copLightColor 1: COP light colour bit
     * @param paramNum 0-255, required when readCfg is 1
     */
    sendCommand(tft: number): void;
    sendCommand(tft: number, readCfg: number): void;
    sendCommand(tft: number, readCfg: number, copLight: number): void;
    sendCommand(tft: number, readCfg: number, copLight: number, copLightColor: number): void;
    sendCommand(tft: number, readCfg: number, copLight: number, copLightColor: number, paramNum: number): void;

    /**
     * Sends one parameter frame (identifier 0x560): `paramNum` (0-255, other
     * values are refused) and up to 7 value bytes (zeros past them; seven
     * zero bytes when `value` is left out).
     */
    writeParameter(paramNum: number): void;
    writeParameter(paramNum: number, value: Uint8Array): void;

    /** The state of the slot that `msgId` maps to (any number maps to a slot). */
    readStatus(msgId: number): StatusObject;

    /**
     * Makes the next poll process this frame instead of reading the bus:
     * bytes 0-14 of a bridge frame (identifier in bytes 2-3, length code in
     * byte 6, data in bytes 7-14); the driver adds the checksum.
     */
    simulate(frameBytes: Uint8Array): void;

    /**
     * Clears one slot (the slot `msgId` maps to) or, with undefined, all of
     * them; `keepCounters` keeps their counters. Exactly two arguments.
     */
    clearMem(keepCounters: boolean, msgId: number | undefined): void;

    /** The package's version, as in its package.json. */
    getVersion(): string;

    /**
     * Starts capturing every frame the driver reads from the bridge, or
     * with a running capture hands the next batches to `fn` instead; null
     * stops it, after a last call of the function with what was still
     * waiting. Batches come at most every 10 ms. May be called before
     * driverStart. Throws "Expected a function or null as the first argument".
     */
    capture(fn: CaptureCallback | null): void;

    /**
     * Mirrors every frame the driver reads from the bridge (simulated ones
     * too) to the SocketCAN interface `iface`, e.g. 'vcan0', instead of an
     * earlier one; null ends the mirror; without an argument it only
     * reports. One way: nothing on the interface reaches the bridge. Throws
     * "Cannot mirror to IFACE: ..." with the errno name as code (ENODEV,
     * ENETDOWN, EAFNOSUPPORT) when the interface cannot be used. May be
     * called before driverStart; QEL_MIRROR=iface turns it on at driverStart.
     */
    mirror(iface?: string | null): MirrorState;
    /**
     * Stops the driver: capture's last batch, then the threads end, the
     * mirror, the debug log and the bus close, and every setting is back to
     * its load-time value; undelivered changes are dropped. The event loop
     * may then end; driverStart may start it again. Does nothing when
     * stopped; throws QEL_NOT_STARTED before the first start. With a driver
     * object of open() open, closes it as its close() does.
     */
    driverStop(): void;

    /**
     * Starts the driver with options by name and returns the object that
     * owns it until close() (or driverStop()). Registers its own function:
     * registerCallback is refused (QEL_BUS_OPEN) while the object is open.
     * A start that fails throws an Error whose message says why
     * ("QEL Driver -- Error starting the driver: ..."), with `reason`.
     */
    open(options?: OpenOptions): Bus;
  }
}

declare global {
  // As Node's own types and TypeScript's esnext.disposable declare them, so
  // that `await using bus = open()` compiles in a project with neither.
  interface SymbolConstructor {
    readonly dispose: unique symbol;
    readonly asyncDispose: unique symbol;
  }
  interface Disposable {
    [Symbol.dispose](): void;
  }
  interface AsyncDisposable {
    [Symbol.asyncDispose](): PromiseLike<void>;
  }
}

declare const qel: qel.Driver;
export = qel;
