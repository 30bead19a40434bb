// The device layer's version, as the build names it.
#pragma once

// "major.minor.patch"; static storage.
const char *kest_sdk_version();
