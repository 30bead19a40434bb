// What to tell a user whose KestOne was seen on the bus but could not be
// opened: the viewer's status bar and the Python module say the same.
#pragma once

#include <QString>

#include <utility>

// The short reason ("no permission", "in use", "error N") and the hint that
// says what to do, for the libusb error of the failed open.
std::pair<QString, QString> openFailureText(int libusbError);
