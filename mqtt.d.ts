// Types of `require('corvalith/mqtt')`: the publisher of `qel-monitor --mqtt`
// for an application's own process, over its driver object of open(). It needs no types of the mqtt package
// (which need @types/node): what it returns of that package is `client`.
import qel = require('./index');

/** Where the status objects come from besides a driver object of open(): any EventEmitter of 'status'. */
export interface StatusSource {
  on(event: 'status', listener: (status: qel.StatusObject) => void): unknown;
  removeListener(event: 'status', listener: (status: qel.StatusObject) => void): unknown;
}

/** Gets the publisher's listener, to call with each status object (from a registered function, say). */
export type StatusFeed = (listener: (status: qel.StatusObject) => void) => void;

export interface PublishOptions {
  /** The broker: mqtt://, mqtts://, ws:// or wss://, with a user (and a password) if it wants one. */
  url: string;
  /** The password from this file's first line, in place of one in the URL. */
  passwordFile?: string;
  /** First part of every topic ('corvalith'). */
  prefix?: string;
  /** Second part of every topic (the host name). */
  node?: string;
  /**
   * Event statuses that may wait for the broker, in order, before the oldest
   * are dropped (1000). A cyclic or debounced slot, the statistics and the
   * health wait as their latest value only, outside this bound.
   */
  queueLimit?: number;
  /** The driver's cyclic identifiers, which tell the slots' classes (those of open()'s default, 0x1A1 and 0x3A1). */
  cyclicIds?: readonly number[];
  /** Milliseconds: the bound of the first pause before trying a lost broker again, doubled at each failed try (1000). */
  reconnectFirst?: number;
  /** Milliseconds: the cap of that bound (30000); each pause is drawn at random below it. */
  reconnectMax?: number;
  /** Milliseconds between two statistics and health messages (1000). */
  interval?: number;
  /**
   * For a source that is no driver object: the add-on whose statistics are
   * published and which runs the commands, through the driver object's
   * checks. A driver object as the source does both itself.
   */
  driver?: Pick<qel.Driver, 'readStatus' | 'sendCommand' | 'writeParameter'>;
  /** The topic commands come on; none without it. They need a user and a password. */
  commands?: string;
  /** Gets one line for each command, and one at each change of the broker's state, to tell an operator. */
  log?: (line: string) => void;
  /** Called with the broker's new state at each change. */
  onState?: (state: BrokerState) => void;
  /** Passed on to the mqtt package's connect(), e.g. `ca` for a private certificate authority. */
  mqttOptions?: Record<string, unknown>;
}

/** Where the publisher stands with its broker. */
export type BrokerState = 'connecting' | 'connected' | 'unreachable' | 'lost';

export interface PublishCounts {
  /** Status objects received. */
  readonly frames: number;
  /** Messages the broker acknowledged. */
  readonly published: number;
  /** Event statuses dropped, the queue being full. */
  readonly dropped: number;
  /** Messages waiting for the broker. */
  readonly queued: number;
  /** Connections tried again after a loss or a failed try. */
  readonly reconnects: number;
}

export interface Publisher {
  /** The mqtt package's MqttClient: `publisher.client as import('mqtt').MqttClient` where its types are at hand. */
  readonly client: unknown;
  readonly counts: PublishCounts;
  /** Whether the broker is connected now. */
  readonly connected: boolean;
  /** The broker's state: 'connecting' until its first answer. */
  readonly state: BrokerState;
  /** Whether the broker was connected at some time of the run. */
  readonly reached: boolean;
  /** Says goodbye on the health topic and disconnects; `done` runs once, either way. */
  stop(done?: () => void): void;
}

/**
 * Publishes every status object of `source` to the broker of `options.url`;
 * a driver object of open() also gives the statistics and runs the commands
 * (its send() and writeParameter()).
 */
export declare function publish(source: qel.Bus | StatusSource | StatusFeed, options: PublishOptions): Publisher;
