// DirectoryWalk: visits every directory of drive C: that it can enter,
// starting at the root, and records in the comparison work file one
// directory entry for every sub-directory it will visit and one file entry,
// with the file's facts, for every file that qualifies. The work file is also
// the walk's list of directories still to visit: there is no recursion and no
// list in memory.
#pragma once

#include <string>

namespace velumtar {

class ExtensionList;
class MessageService;
class Platform;
class WorkFile;
struct FindingCounters;

class DirectoryWalk {
public:
    DirectoryWalk(Platform& platform, MessageService& messages, WorkFile& workFile,
                  ExtensionList& extensions, FindingCounters& counters);

    // REQUIRES: the work file is open for update and empty. Returns
    // walkCompleted: 'J' when every reachable directory was listed, 'N' when
    // the walk stopped early. The working directory is back at
    // `startDirectory` (searchPattern form) on return.
    char walk(const std::string& startDirectory);

private:
    Platform& platform_;
    MessageService& messages_;
    WorkFile& workFile_;
    ExtensionList& extensions_;
    FindingCounters& counters_;
};

}  // namespace velumtar
