// The instance marker C:\VELUMTAR.AKT: created and held open by the running
// instance, so that a second instance's probe finds it locked. It is never
// written or read for content.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"
#include "store/file_status.h"

namespace velumtar {

class InstanceMarker {
  public:
    InstanceMarker(Platform& platform, std::string name);

    const std::string& name() const { return name_; }
    // Opens for input to test it and closes it again: "00" it exists and
    // nobody holds it, "9A" another process holds it, "35" missing, else the
    // failure's status ("37", "30").
    FileStatus probe();
    // Creates it empty and holds it: "00" (replaced) or "05" (created); "9A"
    // when another process holds it; "30" otherwise.
    FileStatus openOutput();
    void close();
    // Removes the file; does nothing to a marker another process holds.
    void remove();

  private:
    Platform& platform_;
    std::string name_;
    std::unique_ptr<ExclusiveHold> hold_;
};

}  // namespace velumtar
