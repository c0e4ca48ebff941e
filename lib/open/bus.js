'use strict';
// The driver object that open() returns: an EventEmitter over the add-on's
// functions, with named fields and strict checks, that owns the driver from
// open() to close(). The driver threads know nothing of it: it sees the
// status objects through the registered function, on the JavaScript thread.
const { EventEmitter } = require('events');
const { fail, systemFault, commandArguments, parameterValue, parameterNumber, slotId } = require('./checks');
const { StatusIterator } = require('./statuses');

const DELIVER = Symbol('deliver');
const FAULT = Symbol('fault');
const LINK = Symbol('link');
const OPENED = Symbol('opened');
const HALT = Symbol('halt');
const SENT = Symbol('sent');
const QUEUE_COMMAND = Symbol.for('corvalith.queueCommand');
const QUEUE_PARAMETER = Symbol.for('corvalith.queueParameter');
const READ_COPY = Symbol.for('corvalith.readCopy');

// Frames that may wait for the bus at once: the add-on's transmit queue.
const QUEUE_SLOTS = 64;
// The errors of a frame that the bus refused: sendCommand's and
// writeParameter's own texts and code.
const SEND_FAILED = { command: 'Error sending the command', parameter: 'Error writing the parameter' };
const ASYNC_DISPOSE = Symbol.asyncDispose ?? Symbol.for('nodejs.asyncDispose');

// The functions that settle the promise being made: one executor for
// every send, so that a call makes no function of its own.
let settleNext = null;
let failNext = null;
const keepSettlers = (resolve, reject) => {
  settleNext = resolve;
  failNext = reject;
};

// Status objects a `for await` loop may fall behind before the oldest go.
const ITERATOR_LIMIT = 1024;

// The add-on prints what a listener threw by its text, which for an Error
// leaves out where it was thrown: the report it prints gets the stack.
const withStack = (e) => (e !== null && typeof e === 'object' && typeof e.stack === 'string' ? { toString: () => e.stack } : e);

class Bus extends EventEmitter {
  #addon;
  #onClose;
  #closing = null;
  #iterators = new Set();
  #dropped = 0;
  // The promises of queued frames, by ticket in a ring of QUEUE_SLOTS
  // places: the add-on gives a ticket only while fewer frames wait, and
  // tells each frame's result before it can give a ticket that takes the
  // same place. `#calls` numbers them in the order of the calls.
  #tickets = new Array(QUEUE_SLOTS).fill(-1);
  #resolves = new Array(QUEUE_SLOTS).fill(null);
  #rejects = new Array(QUEUE_SLOTS).fill(null);
  #kinds = new Array(QUEUE_SLOTS).fill('');
  #order = new Array(QUEUE_SLOTS).fill(0);
  #calls = 0;
  // What the console function threw before the application had a chance
  // to listen for 'error' (during open()): handed on a tick later. null
  // once handed on.
  #held = [];

  // `onClose` runs once the driver is stopped (open() frees its place).
  constructor(addon, onClose) {
    super();
    this.#addon = addon;
    this.#onClose = onClose;
  }

  /** Whether close() was called. */
  get closed() {
    return this.#closing !== null;
  }

  /** Status objects that `for await` loops dropped, being too far behind. */
  get dropped() {
    return this.#dropped;
  }

  #live() {
    if (this.closed) throw fail(Error, 'QEL_CLOSED', 'The driver is closed; open() gives a new one');
    return this.#addon;
  }

  // From the slot's own copy: never waits for the bus lock, which the
  // receive thread holds through each read of the bridge.
  read(id) {
    return this.#live()[READ_COPY](slotId(id, 'read()'));
  }

  // The frame is queued for the driver's transmit thread; the promise
  // settles once the bus took it or refused it. A mistake in the fields
  // throws here, at the call, as it always did.
  send(fields) {
    const args = commandArguments(fields);
    return this.#queue(this.#system(QUEUE_COMMAND, args), 'command');
  }

  writeParameter(number, bytes = []) {
    const args = [parameterNumber(number), parameterValue(bytes)];
    return this.#queue(this.#system(QUEUE_PARAMETER, args), 'parameter');
  }

  #queue(ticket, kind) {
    if (ticket < 0) {
      return Promise.reject(fail(Error, 'QEL_QUEUE_FULL', `${QUEUE_SLOTS} frames already wait for the bus; await some before sending more`));
    }
    const promise = new Promise(keepSettlers);
    const at = ticket % QUEUE_SLOTS;
    this.#tickets[at] = ticket;
    this.#resolves[at] = settleNext;
    this.#rejects[at] = failNext;
    this.#kinds[at] = kind;
    this.#order[at] = this.#calls++;
    settleNext = null;
    failNext = null;
    return promise;
  }

  // The add-on wrote the frames of `count` tickets from `ticket` on
  // (busCode 0), or the bus refused the frame of `ticket` (count 1);
  // `errno` where the system said why (the kernel's I2C path), else null.
  [SENT](ticket, busCode, errno, count = 1) {
    for (let i = 0; i < count; i++) this.#settle(ticket + i, busCode, errno);
  }

  #settle(ticket, busCode, errno) {
    const at = ticket % QUEUE_SLOTS;
    if (this.#tickets[at] !== ticket) return;
    const resolve = this.#resolves[at];
    const reject = this.#rejects[at];
    const kind = this.#kinds[at];
    this.#forget(at);
    if (busCode === 0) return resolve();
    const err = fail(Error, 'QEL_SEND_FAILED', SEND_FAILED[kind]);
    err.busCode = busCode;
    if (errno !== null) Object.assign(err, { errno, syscall: 'write' });
    return reject(err);
  }

  #forget(at) {
    this.#tickets[at] = -1;
    this.#resolves[at] = null;
    this.#rejects[at] = null;
  }

  capture(fn) {
    this.#live().capture(fn);
  }

  mirror(...iface) {
    return this.#system('mirror', iface);
  }

  // A call whose failure past the checks is the system's (a refused bus
  // write, a missing interface): thrown as an Error.
  #system(name, args) {
    const addon = this.#live();
    try {
      return addon[name](...args);
    } catch (e) {
      throw systemFault(e);
    }
  }

  // Stops the driver at once (also from a 'status' listener); the promise
  // settles after 'close' was emitted. Later calls give the same promise.
  close() {
    this.#halt();
    return this.#closing;
  }

  // The add-on's driverStop() on this object: close() at once; what the
  // stop threw, or null, for the caller to throw.
  [HALT]() {
    return this.#halt();
  }

  #halt() {
    if (this.#closing) return null;
    let failure = null;
    try {
      this.#addon.driverStop();
    } catch (e) {
      // Stopped already, through the add-on's own driverStop.
      if (e.code !== 'QEL_NOT_STARTED') failure = e;
    }
    this.#onClose();
    // The stop told what was written; the rest never will be, rejected in
    // the order of their calls.
    const unsettled = [];
    for (let at = 0; at < QUEUE_SLOTS; at++) if (this.#tickets[at] !== -1) unsettled.push(at);
    unsettled.sort((a, b) => this.#order[a] - this.#order[b]);
    for (const at of unsettled) {
      const reject = this.#rejects[at];
      const kind = this.#kinds[at];
      this.#forget(at);
      reject(fail(Error, 'QEL_CLOSED', `The driver was closed before the ${kind} frame was written`));
    }
    for (const it of this.#iterators) it.end();
    this.#iterators.clear();
    this.#closing = new Promise((resolve, reject) => process.nextTick(() => {
      this.emit('close');
      if (failure) reject(failure);
      else resolve();
    }));
    return failure;
  }

  [ASYNC_DISPOSE]() {
    return this.close();
  }

  [Symbol.asyncIterator]() {
    const it = new StatusIterator(ITERATOR_LIMIT, () => { this.#dropped++; }, (gone) => this.#iterators.delete(gone));
    if (this.closed) it.end();
    else this.#iterators.add(it);
    return it;
  }

  // The registered function: every status object to the loops, then to the
  // 'status' listeners. What a listener throws goes to 'error' when the
  // application listens for it, else back to the add-on, which prints it
  // as it always has and delivers on.
  [DELIVER](status) {
    if (this.closed) return;
    for (const it of this.#iterators) it.push(status);
    this.#emitGuarded('status', status);
  }

  // The receive loop's news of the bridge: 'bridgeDown' when its transfers
  // began to fail, 'bridgeUp' with the number of failed transfers once it
  // answers again, set up anew.
  [LINK](answering, failed) {
    if (this.closed) return;
    if (answering) this.#emitGuarded('bridgeUp', failed);
    else this.#emitGuarded('bridgeDown');
  }

  #emitGuarded(name, ...args) {
    try {
      this.emit(name, ...args);
    } catch (e) {
      if (this.listenerCount('error') === 0) throw withStack(e);
      this.emit('error', e);
    }
  }

  // What the application's console function threw: 'error', or uncaught.
  [FAULT](err) {
    if (this.#held) this.#held.push(err);
    else this.#report(err);
  }

  // open() is over: the application's next line may listen for 'error'.
  // After a failed start there is no object to listen on, and the start's
  // error is what the application handles: the faults become warnings.
  [OPENED](started) {
    process.nextTick(() => {
      const held = this.#held;
      this.#held = null;
      for (const err of held) {
        if (started) this.#report(err);
        else process.emitWarning(err);
      }
    });
  }

  #report(err) {
    if (this.listenerCount('error') > 0) this.emit('error', err);
    else process.nextTick(() => { throw err; });
  }
}

module.exports = { Bus, DELIVER, FAULT, LINK, OPENED, HALT, SENT };
