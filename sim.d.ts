// Types of `require('corvalith/sim')`: the same driver on a simulated CAN bridge,
// with the bridge's control surface as `bridge`.
import qel = require('./index');

declare namespace qelSim {
  // Every type of `corvalith`'s, by the same name.
  type QelBuffer = qel.QelBuffer;
  type ErrorCode = qel.ErrorCode;
  type DriverError = qel.DriverError;
  type DriverStats = qel.DriverStats;
  type StatusObject = qel.StatusObject;
  type StatusCallback = qel.StatusCallback;
  type CaptureBatch = qel.CaptureBatch;
  type CaptureCallback = qel.CaptureCallback;
  type MirrorState = qel.MirrorState;
  type ConsoleLevel = qel.ConsoleLevel;
  type ConsoleFunction = qel.ConsoleFunction;
  type OpenOptions = qel.OpenOptions;
  type CommandLights = qel.CommandLights;
  type Command = qel.Command;
  type StatusIterator = qel.StatusIterator;
  type BusEvent = qel.BusEvent;
  type BusListener<E extends BusEvent> = qel.BusListener<E>;
  type Bus = qel.Bus;
  type ArgumentRule = qel.ArgumentRule;
  type Facts = qel.Facts;
  type Driver = qel.Driver;

  /** One write that the driver made to the simulated bridge. */
  interface BridgeWrite {
    /** The bytes written (17 for a transmit frame, beginning with 0x30). */
    bytes: QelBuffer;
    /** The result code the bridge gave (0 = success). */
    code: number;
    /** When, in ms on the clock of `bridge.now()`. */
    time: number;
  }

  interface BridgeState {
    initialized: boolean;
    i2cOpen: boolean;
    slaveAddress: number;
    clockDivider: number;
    /** Transfers that began while another was still on the bus. */
    overlaps: number;
  }

  /**
   * The simulated CAN bridge. Its methods throw a TypeError
   * "bridge.<method>: expected ..." with the code QEL_BAD_ARGUMENT on
   * wrong arguments.
   */
  interface Bridge {
    /** Empties the queue, the write log and every fault. */
    reset(): void;
    /**
     * A valid 16-byte bridge frame for `receive`: the identifier (0-65535) in
     * bytes 2-3, the length code `data.length` (at most 8 bytes) in byte 6,
     * the data from byte 7 and the checksum in byte 15.
     */
    frame(id: number, data?: readonly number[] | Uint8Array): QelBuffer;
    /** Queues a 16-byte bridge frame `repeat` times (default once) for the driver's polls. */
    receive(frame16: Uint8Array, repeat?: number): void;
    /** Frames queued and not yet polled. */
    pending(): number;
    /** Every write the driver made, oldest first. */
    writes(): BridgeWrite[];
    /** 16-byte reads of the receive register so far. */
    reads(): number;
    /** Makes the library initialisation fail (as without root). */
    failInit(on: boolean): void;
    /** Makes opening the I2C master fail while initialisation succeeds (as for a non-root user with /dev/gpiomem). */
    failBegin(on: boolean): void;
    /** Values that the next reads of the bit-rate register give, one per read (then the written value). */
    baudReadback(values: readonly number[]): void;
    /** Fails the next `count` receive reads with result code `code` (1-255). */
    failReads(count: number, code: number): void;
    /** Fails the next `count` writes with result code `code` (1-255). */
    failWrites(count: number, code: number): void;
    /** Fails the selection of the receive register with `code`; 0 ends the fault. */
    failSelect(code: number): void;
    /** The bridge loses power and comes back: no register selected (reads give 16 bytes of 0xFF), bit rate register 0. */
    powerCycle(): void;
    /** Simulated I2C clock in Hz (a transfer takes 9 bit times per byte); 0 makes transfers take no time. */
    busSpeed(hz: number): void;
    /** The file start-up reads the board's model name from, as the real driver reads /proc/device-tree/model; '' (the default) for none. */
    boardModelFile(path: string): void;
    /** Where the debug log goes from the next driverStart on (loading sets it: see README, The debug log); updates logPath. */
    setLogPath(path: string): void;
    state(): BridgeState;
    /** The bridge's monotonic clock, ms. */
    now(): number;
    /** Where the debug log of this flavour goes. */
    readonly logPath: string;
  }

  interface SimDriver extends qel.Driver {
    readonly bridge: Bridge;
  }
}

declare const qelSim: qelSim.SimDriver;
export = qelSim;
