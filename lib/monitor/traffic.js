'use strict';
// Traffic for the simulated bridge, shaped like the QEL module's: a car
// position that is sent cyclically and changes now and then, a slower
// cyclic status word, push buttons that bounce, events, heartbeats of other
// nodes, and now and then an identifier nobody listens to or a frame spoilt
// on the wire. Empty polls come by themselves: the bridge answers "empty"
// whenever its queue is.
const { frame } = require('../frame');

// A small seeded generator, so that every run shows the same story.
function mulberry32(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const BUTTONS = [0x2c0, 0x2c1, 0x2c4, 0x2c5, 0x2c8, 0x2c9, 0x2a2];
const UNKNOWN = [0x123, 0x18f, 0x5a0, 0x6ff, 0x050];
const SPOILABLE = [0x1a1, 0x3a1, 0x4a1, 0x2c0, 0x2c8];

// feed(frame16) puts one frame in the bridge's receive queue.
function startTraffic(feed, { seed = 0x5e1e } = {}) {
  const random = mulberry32(seed);
  const between = (lo, hi) => lo + Math.floor(random() * (hi - lo + 1));
  const pick = (list) => list[Math.floor(random() * list.length)];
  const timers = new Set();
  const after = (ms, fn) => {
    const t = setTimeout(() => { timers.delete(t); fn(); }, ms);
    timers.add(t);
  };
  const every = (ms, fn) => { const t = setInterval(fn, ms); timers.add(t); };

  // 0x1A1, every 100 ms: floor, direction, door, load. The car moves or
  // its door works about once a second; in between the frame repeats.
  const car = { floor: 0, dir: 0, door: 2, load: 12 };
  let carCountdown = 10;
  const sendCar = () => feed(frame(0x1a1, [car.floor, car.dir, car.door, car.load, 0, 0, 0, 0]));
  every(100, () => {
    if (--carCountdown <= 0) {
      carCountdown = between(8, 14);
      if (car.door !== 0) {
        car.door = car.door === 2 ? 3 : 0;  // open -> closing -> closed
      } else if (car.dir === 0) {
        car.dir = random() < 0.5 && car.floor > 0 ? 2 : 1;
      } else {
        car.floor = Math.max(0, Math.min(9, car.floor + (car.dir === 1 ? 1 : -1)));
        if (random() < 0.5) { car.dir = 0; car.door = 1; car.load = between(0, 80); }
      }
    } else if (car.door === 1) {
      car.door = 2;
    }
    sendCar();
  });

  // 0x3A1, every 250 ms: a status word that changes every few seconds.
  const status = [0x01, 0x00, 21, 0x10, 0, 0, 0, 0];
  let statusStep = 0;
  every(250, () => {
    statusStep++;
    if (statusStep % 12 === 0) { status[2] = between(19, 26); status[1] ^= 0x01; }
    feed(frame(0x3a1, status));
  });

  // Buttons: a press bounces (the same frame three or four times within a
  // few milliseconds), the release a while later bounces too.
  let pressCount = 0;
  const press = (id) => {
    const n = id & 0xff;
    pressCount++;
    const bounces = between(3, 4);
    for (let i = 0; i < bounces; i++) after(i * 6, () => feed(frame(id, [1, n, 0, pressCount & 0xff])));
    after(between(250, 700), () => {
      for (let i = 0; i < 3; i++) after(i * 6, () => feed(frame(id, [0, n, 0, pressCount & 0xff])));
    });
  };
  const nextPress = () => { press(pick(BUTTONS)); after(between(700, 1800), nextPress); };

  // 0x2A1, a key switch whose position the module repeats every second:
  // reported again only once the debounce window has passed.
  let key = 0;
  every(1000, () => {
    if (random() < 0.15) key ^= 1;
    feed(frame(0x2a1, [key, 0, 0]));
  });

  // 0x4A1, events (e.g. a call registered): every one is reported.
  let eventSeq = 0;
  const nextEvent = () => {
    eventSeq = (eventSeq + 1) & 0xff;
    feed(frame(0x4a1, [eventSeq, between(1, 4), between(0, 9)]));
    after(between(600, 1500), nextEvent);
  };

  // 0x421, disabled by default: only seen with --enable.
  every(2000, () => feed(frame(0x421, [between(0, 255), 0x42])));

  // Heartbeats of two other nodes.
  every(500, () => feed(frame(0x701, [0x05])));
  every(1000, () => feed(frame(0x725, [0x05])));

  // Now and then: an identifier that no slot lists, and a spoilt frame.
  const nextUnknown = () => { feed(frame(pick(UNKNOWN), [between(0, 255)])); after(between(1500, 4500), nextUnknown); };
  const nextSpoilt = () => {
    feed(frame(pick(SPOILABLE), [between(0, 255), between(0, 255)], { badChecksum: true }));
    after(between(1500, 4000), nextSpoilt);
  };

  // Every kind of traffic shows up within the first second.
  after(20, sendCar);
  after(60, () => feed(frame(0x3a1, status)));
  after(120, () => press(0x2c0));
  after(180, nextEvent);
  after(240, () => feed(frame(0x701, [0x05])));
  after(300, nextUnknown);
  after(360, nextSpoilt);
  after(1000, nextPress);

  return { stop: () => { for (const t of timers) clearTimeout(t); timers.clear(); } };
}

module.exports = { startTraffic, mulberry32 };
