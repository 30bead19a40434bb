// The base of every fixture that runs the device layer on the virtual USB bus:
// a clean logger that captures every line, a reset bus selected as the usb
// backend, and both put back afterwards. Header-only, so test programs that do
// not use the bus need not link it.
#pragma once

#include "sdk/comm/libusb/usb_backend.h"
#include "sim/usb_bus.h"
#include "tests/support/log_capture.h"

namespace kest_test {

// Defined with scaled_heartbeat (tests/support/heartbeat_timing.h), whose
// header the Qt tests cannot include: its "slots" is a Qt keyword.
void use_scaled_heartbeat();

class bus_test : public logged_test {
protected:
    void SetUp() override {
        logged_test::SetUp();
        kest_sim::bus_reset();
        usb_backend_select(kest_sim::bus_backend());
        use_scaled_heartbeat();
    }
    void TearDown() override {
        kest_sim::bus_reset();
        usb_backend_select(nullptr);
        logged_test::TearDown();
    }
};

} // namespace kest_test
