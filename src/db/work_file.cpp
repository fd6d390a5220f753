#include "db/work_file.h"

#include "files/file_error.h"
#include "files/file_names.h"

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

}  // namespace velumtar
