#include "control/instance_marker.h"

namespace velumtar {

InstanceMarker::InstanceMarker(Platform& platform, std::string name)
    : platform_(platform), name_(std::move(name)) {}

FileStatus InstanceMarker::probe() {
    return openStatusOf(platform_.probe(name_));
}

FileStatus InstanceMarker::openOutput() {
    if (hold_)
        return status::alreadyOpen;
    PlatformStatus s = PlatformStatus::ioError;
    hold_ = platform_.holdExclusive(name_, s);
    if (!hold_)
        return s == PlatformStatus::locked ? status::locked : status::ioError;
    return s == PlatformStatus::created ? status::created : status::success;
}

void InstanceMarker::close() {
    hold_.reset();
}

void InstanceMarker::remove() {
    (void)platform_.removeFile(name_);
}

}  // namespace velumtar
