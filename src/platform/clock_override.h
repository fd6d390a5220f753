// ClockOverride: a platform whose clock can be set from outside. With
// VELUMTAR_CLOCK=<16 characters> in the environment, localDateTime() answers
// its first 8 characters as the date and its last 8 (hhmmsscc) as the time of
// day, verbatim, so that tests and scheduled runs get a fixed reading.
// Everything else is the wrapped platform's.
#pragma once

#include <optional>
#include <string>

#include "platform/forwarding_platform.h"

namespace velumtar {

class ClockOverride final : public ForwardingPlatform {
  public:
    explicit ClockOverride(Platform& system);

    LocalDateTime localDateTime() override;

  private:
    Platform& system_;
    std::optional<std::string> clock_;
};

}  // namespace velumtar
