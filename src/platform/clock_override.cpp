#include "platform/clock_override.h"

#include "util/text_field.h"

namespace velumtar {

ClockOverride::ClockOverride(Platform& system)
    : ForwardingPlatform(system), system_(system), clock_(system.environment("VELUMTAR_CLOCK")) {}

LocalDateTime ClockOverride::localDateTime() {
    if (!clock_)
        return system_.localDateTime();
    std::string value = padded(*clock_, 16);
    return LocalDateTime{value.substr(0, 8), value.substr(8, 8)};
}

}  // namespace velumtar
