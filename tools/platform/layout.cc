// Prints the size, alignment and field offsets of every structure that the
// add-on shares with Node, libuv and the bcm2835 library. Built for armhf
// with and without 64-bit times and file offsets, the outputs must agree for
// what the driver uses: Debian's armhf libraries were built with 32-bit
// time_t, and a layout that moved with the setting would be read differently
// on the two sides.
#include <node.h>
#include <node_buffer.h>
#include <uv.h>
#include <bcm2835.h>

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

#define SHOW(type) std::printf("%-28s size %3zu align %zu\n", #type, sizeof(type), alignof(type))
#define FIELD(type, field) std::printf("  %-26s offset %3zu\n", #type "." #field, offsetof(type, field))
// A type the driver does not use directly, shown for the record.
#define NOTE(type) std::printf("(unused) %-19s size %3zu align %zu\n", #type, sizeof(type), alignof(type))

int main() {
    // What the driver hands to libuv.
    SHOW(uv_loop_t);
    FIELD(uv_loop_t, data);
    FIELD(uv_loop_t, active_handles);
    FIELD(uv_loop_t, active_reqs);
    FIELD(uv_loop_t, stop_flag);
    SHOW(uv_handle_t);
    FIELD(uv_handle_t, loop);
    FIELD(uv_handle_t, type);
    FIELD(uv_handle_t, close_cb);
    SHOW(uv_async_t);
    FIELD(uv_async_t, loop);
    FIELD(uv_async_t, async_cb);
    SHOW(uv_mutex_t);
    SHOW(uv_thread_t);
    SHOW(uv_cond_t);
    SHOW(uv_rwlock_t);
    SHOW(uv_sem_t);
    SHOW(uv_once_t);
    SHOW(uv_key_t);
    SHOW(uv_timer_t);
    SHOW(uv_work_t);
    SHOW(uv_buf_t);
    SHOW(uv_timespec_t);
    SHOW(uv_stat_t);
    // What the driver hands to Node.
    SHOW(node::node_module);
    FIELD(node::node_module, nm_register_func);
    FIELD(node::node_module, nm_modname);
    FIELD(node::node_module, nm_link);
    // Arguments and globals of the bcm2835 library.
    SHOW(size_t);
    SHOW(uint32_t);
    std::printf("%-28s size %3zu (the library's own is 4 bytes)\n", "bcm2835_peripherals_base", sizeof(bcm2835_peripherals_base));
    // Not used by the driver at its boundaries; shown to see what the
    // setting does change.
    NOTE(uv_fs_t);
    NOTE(uv_tty_t);
    NOTE(uv_process_t);
    NOTE(off_t);
    NOTE(time_t);
    NOTE(struct timespec);
    return 0;
}
