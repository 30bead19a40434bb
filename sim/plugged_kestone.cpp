#include "sim/plugged_kestone.h"

#include "sdk/comm/libusb/usb_backend.h"

namespace kest_sim {

plugged_kestone::plugged_kestone(const stream_settings &streams)
    : model(std::make_shared<kestone>()) {
    usb_backend_select(bus_backend());
    model->set_streams(streams);
    open_error = streams.open_error;
    id = plug_in();
    start_faults(streams.faults);
}

int plugged_kestone::plug_in() {
    device_desc desc = kestone_desc();
    desc.open_error = open_error;
    return bus_plug(desc, model);
}

plugged_kestone::~plugged_kestone() {
    stop_faults(); // joins the injector before the device goes
    std::lock_guard<std::mutex> lock(mutex);
    if (id != 0)
        bus_unplug(id);
}

// The injector's thread calls replug under the mutex, so it is stopped (and
// joined) without holding it.
void plugged_kestone::stop_faults() {
    std::unique_ptr<fault_injector> stopped = std::move(faults);
    if (stopped)
        injected_before = stopped->injected();
}

void plugged_kestone::start_faults(const fault_settings &settings) {
    if (settings.every_s > 0)
        faults = std::make_unique<fault_injector>(
            model, [this] { replug(); }, settings);
}

void plugged_kestone::swap(const stream_settings &streams) {
    stop_faults();
    {
        std::lock_guard<std::mutex> lock(mutex);
        bus_unplug(id);
        model = std::make_shared<kestone>();
        model->set_streams(streams);
        open_error = streams.open_error;
        id = plug_in();
    }
    start_faults(streams.faults);
}

void plugged_kestone::replug() {
    std::lock_guard<std::mutex> lock(mutex);
    bus_unplug(id);
    id = plug_in();
}

void plugged_kestone::unplug() {
    stop_faults();
    std::lock_guard<std::mutex> lock(mutex);
    bus_unplug(id);
    id = 0;
}

std::shared_ptr<kestone> plugged_kestone::device() const {
    std::lock_guard<std::mutex> lock(mutex);
    return model;
}

std::array<uint64_t, fault_kinds> plugged_kestone::faults_injected() const {
    return faults ? faults->injected() : injected_before;
}

} // namespace kest_sim
