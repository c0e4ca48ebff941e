// The driver's threads and the state they share: one table, the single
// place that says who writes what, who reads it and under which lock. The
// headers of the units point here instead of telling it each in their own
// words; a change of ownership is made here first.
//
// Threads
//   main       the runtime's event loop: start-up (driverStart), every
//              JavaScript function, the delivery of status objects and of
//              capture batches
//   receive    listen(): polls the bridge, sorts frames into the slots
//   heartbeat  heartbit(): writes the heartbeat frame every hb_delay us
//   transmit   transmitter(): writes the frames that Bus.send and
//              Bus.writeParameter queued, in order (transmit.h)
//   writer     the debug log's queue: writes lines out (console lines are
//              handed to process.stdout by main, console_js.cc)
//
// Locks
//   bus lock   listen_mutex (bus_lock.h): one transfer on the I2C bus at a
//              time, and the state marked "bus" below. The main thread never
//              holds it while JavaScript runs. The receive thread steps aside
//              for waiting threads after each cycle.
//   queue      the LineRings' own mutexes, and diagnostics.cc's log_lock
//              and faults_lock; never held during a write, and taken by
//              nobody who holds the bus lock (the debug-mode lines of a
//              cycle are queued after the lock is released).
//   none       a single writer and atomics, or a value fixed before the
//              driver threads exist.
//
// Shared state          written by           read by              lock
// -------------------   ------------------   ------------------   ----------
// configuration         main (driverStart,   all threads          none: set
//  i2c_delay,            before the threads                        before the
//  can_bus_delay,        exist)                                    threads
//  hb_delay, deb_delay,                                            exist
//  is_enabled,
//  is_cyclic, debug_log
// buf (frame buffer:    receive (main at     receive              bus
//  the receive frame,    start-up, before
//  register scratch)     the threads exist)
// sim_buf, simulate     main (simulate()),   receive              bus
//                        receive clears
//                        the flag
// command values        main (sendCommand,   main (send_command,  none: main
//  cmd_tft,              writeParameter)      write_parameter)     only
//  cmd_read_cfg,
//  cmd_cop_light,
//  cmd_cop_light_color,
//  cmd_parm_num,
//  write_param_num,
//  write_param_value
// send_buf              main                 main, the bus        bus for
//                                                                  the write
// transmit queue        main (frames),       transmit (frames),   none:
//  (transmit.cc: ring,   transmit (results)   main (results)       atomics,
//  queued, written)                                                counters
// hb                    heartbeat            heartbeat, the bus   bus for
//                                                                  the write
// data (latest bus      whichever thread     nobody decides on    bus
//  result)               made the transfer    it
// slot table            receive (records,    receive, main        bus
//  PDO_memory            sort_frame), main    (readStatus)
//                        (clear_mem)
// slot copies           receive, main        main (Bus.read)      none:
//  (message_memory.cc:   (clear_mem), each                         sequence
//  slot_copies)          under the bus lock                        numbers
// set-up of the bridge  receive (main       receive              none:
//  (bridge_link.cc:      resets it while                           receive
//  next_setup,           the threads are                           only
//  failed_run)           joined)
// link news             receive (post_news)  main                 none:
//  (news_posted,                              (take_link_news)     atomics,
//  news_failed)                                                    sequence
//                                                                  numbers
// change queue          receive (post),      main (take_change)   none:
//  (handoff.cc:          main (take: head)                         atomics,
//  mailboxes,                                                      sequence
//  change_ring,                                                    numbers
//  pending_mask,
//  stats_mirror)
// async                 main (init; a stop   receive signals it   none
//                        unrefs it)
// console ring          any thread           main (console_js:    queue
//  console_ring          (console_line)       to process.stdout)
// the log's faults      the writer, main     main (console_take,  queue
//  failing, lost         (log_open)           never dropped)
// the function's lines  main (in a           main (as the         none: main
//  own_lines             ConsoleScope)        function returns)    only
// log queue             receive              the writer thread    queue
//  log_ring              (log_message_line)
// capture ring          receive (tail,       main (head,          none:
//  ring, capture_on      under the bus lock)  capture_js)          atomics;
//                        main (start, stop)                        stop takes
//                                                                  bus
// mirror socket         main (mirror(),      receive (sends)      mirror_lock
//  mirror_fd,            QEL_MIRROR);                              (mirror.cc),
//  mirror_name,          receive ends it                           which the
//  mirror_on             when a send fails                         receive
//                                                                  thread only
//                                                                  tries
// mirror counts         receive; main        main (mirror())      none:
//                        resets them                               atomics
// node_callback,        main                 main                 none: main
//  driver_started,                                                 only
//  the lifecycle's
//  state (lifecycle.cc)
//
// What a start creates and a stop (driverStop, Bus.close, a failed start,
// the environment's cleanup) lets go, in reverse order, all on main,
// through one sequence: lifecycle_stop() in lifecycle.cc, which the
// JavaScript layer only calls. The receive and heartbeat threads are asked to end
// (stop_requested, which ends their pauses at once) and joined before
// anything they use goes: no lock is needed for the state above once they
// are joined. The log's writer ends and is joined as the log closes; the
// runtime unloads the module once the last environment using it ends, so
// no thread of it may outlive a stop (a writer stuck in a write keeps the
// module loaded instead).
#pragma once
