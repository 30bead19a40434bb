#include "sdk/common/version/version.h"

const char *kest_sdk_version() {
    return KEST_VERSION;
}
