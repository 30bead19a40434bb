// Channels of the USB transport: creation and destruction, framed sends, and the
// completion handler that validates, reassembles and delivers received frames.
#include "sdk/comm/libusb/lib_usb.h"

#include "sdk/common/stats/counters.h"
#include "sdk/logger/logger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int usb_data_xfer::check_ready(log_origin origin) {
    if (!initialised) {
        log_print_from(origin, ERROR, "module not init.\n");
        return -1;
    }
    if (!opened) {
        log_print_from(origin, ERROR, "usb device not attach.\n");
        return -1;
    }
    return 0;
}

// The address of endpoint[index] of interface 0, alternate setting 0, in
// configuration descriptor 0 of the open device. Caller holds the channel mutex.
int usb_data_xfer::endpoint_address_of(uint32_t index, uint32_t from_device, uint8_t *address,
                                       log_origin origin) {
    libusb_config_descriptor *descriptor = nullptr;
    libusb_device *device = current->device;
    int result = usb->get_config_descriptor(device, 0, &descriptor);
    if (result != LIBUSB_SUCCESS || descriptor == nullptr) {
        log_print_from(origin, ERROR, "cannot read configuration descriptor: %s\n",
                       usb->error_name(result));
        return -1;
    }
    int status = -1;
    if (descriptor->bNumInterfaces < 1 || descriptor->interface[0].num_altsetting < 1) {
        log_print_from(origin, ERROR, "configuration descriptor has no interface 0.\n");
    } else {
        const libusb_interface_descriptor &setting = descriptor->interface[0].altsetting[0];
        if (index >= setting.bNumEndpoints) {
            log_print_from(origin, ERROR,
                           "endpoint index %u out of range: interface 0 has %u endpoints.\n", index,
                           setting.bNumEndpoints);
        } else {
            *address = setting.endpoint[index].bEndpointAddress;
            bool in = (*address & LIBUSB_ENDPOINT_IN) != 0;
            if (in == (from_device != 0))
                status = 0;
            else
                log_print_from(origin, ERROR,
                               "endpoint %u (0x%02x) does not match the channel direction.\n",
                               index, *address);
        }
    }
    usb->free_config_descriptor(descriptor);
    return status;
}

// The number of channels, or the next free id above it if that one is taken
// (channels destroyed one by one): an existing channel is never replaced.
int32_t usb_data_xfer::free_channel_id() const {
    auto id = static_cast<int32_t>(channels.size());
    while (channels.count(id) != 0)
        ++id;
    return id;
}

int usb_data_xfer::xfer_chanel_create(const chan_config &chan) {
    if (check_ready(LOG_ORIGIN) != 0)
        return -1;
    if (chan.transfer_size <= PKT_OVERHEAD) {
        log_print(ERROR, "transfer size %u leaves no room for a frame.\n", chan.transfer_size);
        return -1;
    }
    std::lock_guard<std::mutex> lock(channel_mutex);
    if (current == nullptr) {
        log_print(ERROR, "usb device not attach.\n");
        return -1;
    }
    auto *channel = new usb_channel{};
    if (endpoint_address_of(chan.endpoint_index, chan.from_device, &channel->endpoint_address,
                            LOG_ORIGIN) != 0) {
        delete channel;
        return -1;
    }
    channel->id = free_channel_id();
    if (channel->id != static_cast<int32_t>(channels.size()))
        log_print(WARN, "channel id %zu is taken; the new channel gets id %d.\n", channels.size(),
                  channel->id);
    channel->tag = 0;
    channel->endpoint_index = chan.endpoint_index;
    channel->direction = chan.from_device ? USB_CHANNEL_FROM_DEVICE : USB_CHANNEL_TO_DEVICE;
    channel->transfer_size = chan.transfer_size;
    channel->owner = this;
    channel->session = current;
    if (channel->direction == USB_CHANNEL_FROM_DEVICE && submit_receive(channel, LOG_ORIGIN) != 0) {
        delete channel;
        return -1;
    }
    channel->in_table = true;
    channels[channel->id] = channel;
    return channel->id;
}

// Caller holds the channel mutex. On failure nothing stays allocated.
int usb_data_xfer::submit_receive(usb_channel *channel, log_origin origin) {
    libusb_transfer *transfer = usb->alloc_transfer(0);
    auto *buffer = static_cast<uint8_t *>(malloc(channel->transfer_size));
    if (transfer == nullptr || buffer == nullptr) {
        log_print_from(origin, ERROR, "alloc buff fail: %s.\n", strerror(errno));
        free(buffer);
        if (transfer != nullptr)
            usb->free_transfer(transfer);
        return -1;
    }
    libusb_fill_bulk_transfer(transfer, current->handle, channel->endpoint_address, buffer,
                              static_cast<int>(channel->transfer_size), transfer_cb, channel, 0);
    // Filled in before the submission: the completion may run on another thread
    // before submit_transfer returns.
    channel->receive_transfer = transfer;
    channel->in_flight = true;
    current->in_flight.fetch_add(1);
    int result = usb->submit_transfer(transfer);
    if (result != LIBUSB_SUCCESS) {
        log_print_from(origin, ERROR, "submit transfer fail %d.\n", result);
        current->in_flight.fetch_sub(1);
        channel->receive_transfer = nullptr;
        channel->in_flight = false;
        free(buffer);
        usb->free_transfer(transfer);
        return -1;
    }
    return 0;
}

int usb_data_xfer::xfer_chanel_destroy(int32_t id) {
    if (check_ready(LOG_ORIGIN) != 0)
        return -1;
    std::lock_guard<std::mutex> lock(channel_mutex);
    auto found = channels.find(id);
    if (found == channels.end()) {
        log_print(ERROR, "channel %d not exist.\n", id);
        return -1;
    }
    usb_channel *channel = found->second;
    channels.erase(found);
    channel->in_table = false;
    // An in-flight receive transfer completes later as cancelled and frees the
    // record then; otherwise nothing refers to the record any more.
    if (channel->in_flight)
        usb->cancel_transfer(channel->receive_transfer);
    else
        delete_channel(channel);
    return 0;
}

int usb_data_xfer::xfer_async_send(int32_t id, const uint8_t *data, size_t length) {
    if (check_ready(LOG_ORIGIN) != 0)
        return -1;
    usb_session *session;
    uint8_t endpoint;
    uint32_t size;
    uint32_t tag;
    {
        std::lock_guard<std::mutex> lock(channel_mutex);
        auto found = channels.find(id);
        if (found == channels.end()) {
            log_print(ERROR, "channel %d not exist.\n", id);
            return -1;
        }
        if (found->second->direction != USB_CHANNEL_TO_DEVICE) {
            log_print(ERROR, "channel %d is not to device channel.\n", id);
            return -1;
        }
        if (current == nullptr) {
            log_print(ERROR, "usb device not attach.\n");
            return -1;
        }
        session = current;
        endpoint = found->second->endpoint_address;
        size = found->second->transfer_size;
        tag = found->second->tag;
        // Keeps the session open while its frames are built and submitted.
        session->in_flight.fetch_add(1);
    }

    size_t cap = size - PKT_OVERHEAD;
    size_t frames = (length + cap - 1) / cap;
    if (frames > PKT_MAX_GROUP_FRAMES) {
        log_print(ERROR, "message of %zu bytes needs %zu frames, more than %u.\n", length, frames,
                  PKT_MAX_GROUP_FRAMES);
        transfer_done(session);
        return -1;
    }
    int status = 0;
    for (size_t i = 0; i < frames && status == 0; ++i) {
        libusb_transfer *transfer = usb->alloc_transfer(0);
        auto *buffer = static_cast<uint8_t *>(malloc(size));
        if (transfer == nullptr || buffer == nullptr) {
            log_print(ERROR, "alloc buff fail: %s.\n", strerror(errno));
            free(buffer);
            if (transfer != nullptr)
                usb->free_transfer(transfer);
            status = -1;
            break;
        }
        size_t offset = i * cap;
        auto piece = static_cast<uint32_t>(i + 1 < frames ? cap : length - offset);
        uint8_t flags = frames >= 2 ? PKT_FLAG_GROUP : 0;
        auto group_word = static_cast<uint16_t>(frames << 8 | (i + 1));
        packet_construct(buffer, 0, tag, flags, group_word, 0, data + offset, piece);
        status = submit_frame(session, endpoint, transfer, buffer, size, i, LOG_ORIGIN);
    }
    transfer_done(session);
    return status;
}

int usb_data_xfer::submit_frame(usb_session *session, uint8_t endpoint, libusb_transfer *transfer,
                                uint8_t *buffer, uint32_t size, size_t frame_index,
                                log_origin origin) {
    libusb_fill_bulk_transfer(transfer, session->handle, endpoint, buffer, static_cast<int>(size),
                              transfer_cb, session, 0);
    std::lock_guard<std::mutex> lock(channel_mutex);
    int result = LIBUSB_ERROR_NO_DEVICE;
    if (session == current) {
        session->in_flight.fetch_add(1);
        result = usb->submit_transfer(transfer);
        if (result != LIBUSB_SUCCESS)
            session->in_flight.fetch_sub(1);
    }
    if (result != LIBUSB_SUCCESS) {
        log_print_from(origin, ERROR, "submit %d transfer fail %s.\n",
                       static_cast<int>(frame_index), usb->error_name(result));
        free_transfer(transfer);
        return -1;
    }
    return 0;
}

// Logs the completion as its status requires and says whether the transfer
// should go out again. A receiving transfer that came back short or overflowed
// lost its data, not its link: it is dropped and the channel receives on (a
// channel that ended there would leave its stream dead while the device is
// attached and answering).
bool usb_data_xfer::completion_wants_resubmit(libusb_transfer *transfer, log_origin origin) {
    const char *name = usb->error_name(transfer->status);
    const bool receiving = (transfer->endpoint & LIBUSB_ENDPOINT_IN) != 0;
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        if (transfer->actual_length == transfer->length)
            return receiving;
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print_from(origin, ERROR, "tansfer error, fix len %d, actual %d.\n", transfer->length,
                       transfer->actual_length);
        if (receiving)
            sdk_counters::count_device_drop(); // its frame is lost
        return receiving;
    case LIBUSB_TRANSFER_ERROR:
        log_print_from(origin, ERROR, "transfer error: %s.\n", name);
        return false;
    case LIBUSB_TRANSFER_TIMED_OUT:
        log_print_from(origin, ERROR, "transfer timeout: %s.\n", name);
        return true;
    case LIBUSB_TRANSFER_CANCELLED:
        log_print_from(origin, DEBUG, "transfer cancel.\n");
        return false;
    case LIBUSB_TRANSFER_STALL:
        log_print_from(origin, ERROR, "transfer stall: %s.\n", name);
        usb->clear_halt(transfer->dev_handle, transfer->endpoint);
        return true;
    case LIBUSB_TRANSFER_NO_DEVICE:
        log_print_from(origin, DEBUG, "transfer no device: %s.\n", name);
        return false;
    case LIBUSB_TRANSFER_OVERFLOW:
        log_print_from(origin, ERROR, "transfer overflow: %s.\n", name);
        if (receiving)
            sdk_counters::count_device_drop();
        return receiving;
    default:
        log_print_from(origin, ERROR, "transfer unknown error: %s.\n", name);
        return false;
    }
}

void LIBUSB_CALL usb_data_xfer::transfer_cb(libusb_transfer *transfer) {
    if ((transfer->endpoint & LIBUSB_ENDPOINT_IN) == 0) {
        auto *session = static_cast<usb_session *>(transfer->user_data);
        usb_data_xfer *self = session->owner;
        self->finish_send(transfer, self->completion_wants_resubmit(transfer, LOG_ORIGIN),
                          LOG_ORIGIN);
        return;
    }
    auto *channel = static_cast<usb_channel *>(transfer->user_data);
    usb_data_xfer *self = channel->owner;
    bool resubmit = self->completion_wants_resubmit(transfer, LOG_ORIGIN);
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED &&
        transfer->actual_length == transfer->length && resubmit)
        self->deliver(channel, transfer->buffer, static_cast<size_t>(transfer->actual_length));
    self->finish_receive(channel, transfer, resubmit, LOG_ORIGIN);
}

void usb_data_xfer::deliver(usb_channel *channel, const uint8_t *frame, size_t size) {
    auto raise_data = [](void *context, uint8_t *data, uint32_t length) {
        auto *target = static_cast<usb_channel *>(context);
        target->owner->raise(target->id, XFER_EVENT_DATA, data, length);
    };
    packet_receive(frame, size, &channel->group, raise_data, channel);
}

// The receive transfer goes out again, or ends: then it and its buffer are
// freed here, and the record too if the table has let go of it already.
void usb_data_xfer::finish_receive(usb_channel *channel, libusb_transfer *transfer, bool resubmit,
                                   log_origin origin) {
    usb_session *session = channel->session;
    bool release_record;
    {
        std::lock_guard<std::mutex> lock(channel_mutex);
        if (resubmit && channel->in_table && session == current && detached == 0) {
            int result = usb->submit_transfer(transfer);
            if (result == LIBUSB_SUCCESS)
                return;
            // Kept verbatim, misspelling included: readers of the log match this text.
            log_print_from(origin, ERROR, "submit tansfer fail : %s.\n", usb->error_name(result));
        }
        channel->in_flight = false;
        channel->receive_transfer = nullptr;
        release_record = !channel->in_table;
    }
    free_transfer(transfer);
    if (release_record)
        delete_channel(channel);
    transfer_done(session);
}

void usb_data_xfer::finish_send(libusb_transfer *transfer, bool resubmit, log_origin origin) {
    auto *session = static_cast<usb_session *>(transfer->user_data);
    {
        std::lock_guard<std::mutex> lock(channel_mutex);
        if (resubmit && session == current && detached == 0) {
            int result = usb->submit_transfer(transfer);
            if (result == LIBUSB_SUCCESS)
                return;
            // Kept verbatim, misspelling included: readers of the log match this text.
            log_print_from(origin, ERROR, "submit tansfer fail : %s.\n", usb->error_name(result));
        }
    }
    free_transfer(transfer);
    transfer_done(session);
}

void usb_data_xfer::free_transfer(libusb_transfer *transfer) {
    free(transfer->buffer);
    usb->free_transfer(transfer);
}

void usb_data_xfer::delete_channel(usb_channel *channel) {
    packet_group_release(&channel->group);
    delete channel;
}
