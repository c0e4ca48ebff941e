'use strict';
// `for await (const status of bus)`: the status objects from the moment the
// loop begins, held for a consumer that is slower than the bus. The buffer
// is bounded: past `limit` the oldest status object is dropped and counted,
// so a stalled loop costs memory no further and still sees the newest state.

const DONE = Object.freeze({ value: undefined, done: true });

class StatusIterator {
  #queue = [];
  #waiters = [];
  #ended = false;
  #limit;
  #onDrop;
  #detach;

  constructor(limit, onDrop, detach) {
    this.#limit = limit;
    this.#onDrop = onDrop;
    this.#detach = detach;
    /** Status objects dropped because the loop was `limit` behind. */
    this.dropped = 0;
  }

  push(status) {
    if (this.#waiters.length > 0) {
      this.#waiters.shift()({ value: status, done: false });
      return;
    }
    this.#queue.push(status);
    if (this.#queue.length > this.#limit) {
      this.#queue.shift();
      this.dropped++;
      this.#onDrop();
    }
  }

  // The driver closed: what is buffered is still handed out, then the loop ends.
  end() {
    this.#ended = true;
    for (const resolve of this.#waiters.splice(0)) resolve(DONE);
  }

  next() {
    if (this.#queue.length > 0) return Promise.resolve({ value: this.#queue.shift(), done: false });
    if (this.#ended) return Promise.resolve(DONE);
    return new Promise((resolve) => this.#waiters.push(resolve));
  }

  // A loop left early (break, return, throw) takes nothing more.
  return() {
    this.#queue.length = 0;
    this.end();
    this.#detach(this);
    return Promise.resolve(DONE);
  }

  [Symbol.asyncIterator]() {
    return this;
  }
}

module.exports = { StatusIterator };
