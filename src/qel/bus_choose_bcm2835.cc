#include "bus.h"

static const bus_ops &bus = bcm2835_bus;

void bus_choose() {}
int bus_open() { return bus.open(); }
void bus_close() { bus.close(); }
uint8_t bus_read(uint8_t *bytes, uint32_t len) { return bus.read(bytes, len); }
uint8_t bus_write(const uint8_t *bytes, uint32_t len) { return bus.write(bytes, len); }
