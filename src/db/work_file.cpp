#include "db/work_file.h"

#include "files/file_error.h"
#include "files/file_names.h"
#include "scan/file_facts.h"

namespace velumtar {

WorkFile::WorkFile(Platform& platform)
    : KeyedFile(platform, std::string(files::kWorkFile), workrec::kWidth, workrec::kKeyWidth) {}

bool prepareWorkFile(WorkFile& workFile, MessageService& messages) {
    if (!workFile.deleteFile()) {
        reportFileError(messages, kDelete, files::kWorkFile);
        return false;
    }
    if (!workFile.open(KeyedOpenMode::update)) {
        reportFileError(messages, kOpen, files::kWorkFile);
        return false;
    }
    return true;
}

std::string FindingCounters::text(Index i) const {
    return digits(value[i], 9);
}

}  // namespace velumtar
