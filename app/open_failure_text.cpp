#include "app/open_failure_text.h"

#include <libusb.h>

std::pair<QString, QString> openFailureText(int libusbError) {
    if (libusbError == LIBUSB_ERROR_ACCESS)
        return {QStringLiteral("no permission"),
                QStringLiteral("A KestOne is connected but this user may not open it: install "
                               "the udev rule 70-kestone.rules (the kestviewer package does; for "
                               "a source build see the README), then plug the device in again.")};
    if (libusbError == LIBUSB_ERROR_BUSY)
        return {QStringLiteral("in use"),
                QStringLiteral("A KestOne is connected but another program holds it: close that "
                               "program, then plug the device in again.")};
    return {QStringLiteral("error %1").arg(libusbError),
            QStringLiteral("A KestOne is connected but could not be opened (libusb error %1): "
                           "plug the device in again.")
                .arg(libusbError)};
}
