// The bus through the bcm2835 library: the I2C controller's registers are
// mapped from /dev/mem, so the process runs as root, and each transfer
// polls the controller until it is done.
#include "bus.h"
#include "diagnostics.h"
#include "driver_api.h"

namespace {

int lib_open() {
    if (check_board() != 0) return 1;
    if (!bcm2835_controller.init()) {
        console_line(MSG_INIT_FAILED);
        return 1;
    }
    // Without root, Raspberry Pi OS maps only the GPIO block (/dev/gpiomem):
    // init succeeds, but the I2C controller stays unmapped and the first
    // register access would fault.
    if (!bcm2835_controller.begin()) {
        console_line(MSG_I2C_BEGIN_FAILED);
        bcm2835_controller.close();
        return 1;
    }
    bcm2835_controller.address(slave_address);
    bcm2835_controller.divider(clk_div);
    console_line(MSG_CLOCK_DIVIDER, clk_div);
    return 0;
}

void lib_close() {
    bcm2835_controller.end();
    bcm2835_controller.close();
}

uint8_t lib_read(uint8_t *bytes, uint32_t len) { return bcm2835_controller.read(bytes, len); }
uint8_t lib_write(const uint8_t *bytes, uint32_t len) { return bcm2835_controller.write(bytes, len); }

}  // namespace

const bus_ops bcm2835_bus = {lib_open, lib_close, lib_read, lib_write};
