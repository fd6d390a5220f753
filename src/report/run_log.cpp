// Placeholder until the run log lands.
#include "report/run_log.h"

namespace velumtar {

RunLog::RunLog(Platform& platform, MessageService& messages, RunStamp& stamp)
    : platform_(platform), messages_(messages), stamp_(stamp) {}
void RunLog::trimLog() {}
bool RunLog::logComparison(const FindingCounters&, char) { return true; }
bool RunLog::logNewBuild(const FindingCounters&, char) { return true; }
bool RunLog::logInterruption(char) { return true; }
void RunLog::close() {}

}  // namespace velumtar
