// WorkFile: the comparison work file C:\VELUCMPT.TMP, scratch store of one
// compare or build run: the directories still to visit and the facts of
// every qualifying file.
#pragma once

#include <string>

#include "files/keyed_file.h"
#include "files/record_view.h"

namespace velumtar {

class MessageService;

class WorkFile : public KeyedFile {
  public:
    explicit WorkFile(Platform& platform);
    RecordView view() { return RecordView(record()); }
};

// Removes the work file and opens it anew, empty, for update. A failure is
// reported (DELETE or OPEN) and answers false.
[[nodiscard]] bool prepareWorkFile(WorkFile& workFile, MessageService& messages);

}  // namespace velumtar
