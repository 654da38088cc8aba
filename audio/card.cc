// Modem card discovery. Nothing is cached: a card that comes or goes between
// calls is seen at the next call.
#include "audio/audio.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
// Preferred id first; no other card is ever considered.
constexpr const char *kCardIds[] = {"RM500QGL", "modem"};
constexpr size_t kProcPathSize = 128;
constexpr size_t kDeviceNameSize = 64;  // "plughw:CARD=RM500QGL" is 20
}  // namespace

int card_exists(const char *id)
{
    char path[kProcPathSize];
    snprintf(path, sizeof(path), "/proc/asound/%s", id);
    return access(path, F_OK) == 0 ? 1 : 0;
}

int card_present()
{
    for (const char *id : kCardIds)
        if (card_exists(id))
            return 1;
    return 0;
}

char *card_device_name()
{
    for (const char *id : kCardIds) {
        if (!card_exists(id))
            continue;
        char *name = static_cast<char *>(malloc(kDeviceNameSize));
        if (!name)
            return nullptr;
        snprintf(name, kDeviceNameSize, "plughw:CARD=%s", id);
        return name;
    }
    return nullptr;
}
