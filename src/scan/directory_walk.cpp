// Placeholder until the walk lands.
#include "scan/directory_walk.h"

namespace velumtar {

DirectoryWalk::DirectoryWalk(Platform& platform, MessageService& messages, WorkFile& workFile,
                             ExtensionList& extensions, FindingCounters& counters)
    : platform_(platform),
      messages_(messages),
      workFile_(workFile),
      extensions_(extensions),
      counters_(counters) {}

char DirectoryWalk::walk(const std::string&) { return 'N'; }

}  // namespace velumtar
