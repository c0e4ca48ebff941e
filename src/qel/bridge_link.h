// The bridge link: frames and register access, the receive loop, the
// heartbeat, and the command and parameter senders.
//
// This code runs on the driver threads and knows nothing of JavaScript.
// Which thread owns each buffer and field below, and under which lock:
// threads.h.
#pragma once

#include <cstdint>

#include <uv.h>

#include "bus_lock.h"
#include "frame.h"

extern uint8_t buf[16];       // receive frame; scratch of the register operations
extern uint8_t send_buf[17];  // command and parameter transmit frame
extern uint8_t hb[17];        // heartbeat transmit frame
extern uint8_t sim_buf[16];   // pending simulated frame
extern uint8_t simulate;      // 1 while sim_buf waits for the receive loop
extern uint8_t data;          // result code of the latest bridge transfer

extern uv_async_t async;  // wakes the main loop

// Initialises `async` on `loop` once; later calls reuse it and let it keep
// the event loop alive again. It keeps the loop alive while the driver
// runs, and no longer once release_async() let it go (a stop).
int init_async(uv_loop_t *loop, uv_async_cb cb);
void release_async();
// Closes it as its environment ends; returns how many handles close (0 or
// 1). The next init_async sets it up anew, on another loop.
int close_async(uv_close_cb closed);
// Wakes the main loop for something other than a slot (news of the
// bridge, frames written): any thread.
void wake_main_thread();

uint8_t read_register(uint8_t reg, uint8_t &out);
uint8_t write_register(uint8_t reg, uint8_t value);
uint8_t select_register(uint8_t reg);

// Pauses for `us` microseconds; a negative value pauses not at all.
void pause_us(int32_t us);

// The shortest pause after a failed bus read, in microseconds.
constexpr int32_t READ_RETRY_MIN_US = 1000;

// One receive cycle; returns the pause in microseconds before the next:
// the poll delay, and after a failed bus read at least READ_RETRY_MIN_US.
// After a failed transfer the cycles set the bridge up again (the bit rate,
// then the receive register) before they read.
int32_t listen_cycle();

// The bridge stopped answering (`answering` false: a transfer of the receive
// loop failed, or it gave a frame no bridge sends), or answers again with a
// valid frame after `failed` failed transfers and a new set-up.
struct link_news {
    bool answering;
    uint32_t failed;
};
// Main thread: the next news, in order, since the start; false when none.
bool take_link_news(link_news *out);
void listen(void *arg);

// Heartbeat: prints its start line and completes the frame; returns false
// when the heartbeat is disabled.
bool heartbit_prepare();
void heartbit_beat();
void heartbit(void *arg);

// The driver threads wait until this is called, so that neither touches the
// bus before both exist.
void release_driver_threads();
// Asks both driver threads to end: each ends after the transfer it is in,
// without finishing its pause. rearm_driver_threads() readies the next
// start once they are joined.
void request_driver_stop();
void rearm_driver_threads();
// Whether the heartbeat thread has queued its first line.
bool heartbeat_started();

// Command and parameter requests.
extern int32_t cmd_tft;
extern int32_t cmd_read_cfg;
extern int32_t cmd_cop_light;
extern int32_t cmd_cop_light_color;
extern int32_t cmd_parm_num;
extern int32_t write_param_num;
extern uint8_t write_param_value[7];

void reset_command_fields();
void reset_parameter_fields();
int send_command();
int write_parameter();
// A command's (a parameter's) lines, then its frame in `frame`, from the
// fields above: what send_command (write_parameter) writes, and what the
// transmit queue takes.
void prepare_command(uint8_t (&frame)[TRANSMIT_BYTES]);
void prepare_parameter(uint8_t (&frame)[TRANSMIT_BYTES]);
