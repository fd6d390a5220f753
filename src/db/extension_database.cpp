#include "db/extension_database.h"

#include "files/file_names.h"
#include "platform/platform.h"
#include "store/line_file.h"
#include "util/text_field.h"

namespace velumtar {

ExtensionDatabase::ExtensionDatabase(Platform& platform)
    : KeyedFile(platform, std::string(files::kExtensionDatabase), extrec::kWidth,
                extrec::kKeyWidth) {}

void ExtensionDatabase::removeFile() {
    removeWithoutTest();
}

void ExtensionDatabase::useFullName(const std::string& startDirectory) {
    std::string full = padded(startDirectory, 255);
    std::size_t star = full.find('*');
    if (star != std::string::npos) {
        std::string_view dbi = files::kExtensionDatabase;
        for (std::size_t i = 0; i < dbi.size() && star + i < full.size(); ++i) {
            full[star + i] = dbi[i];
        }
    }
    setName("\"" + std::string(trimmedRight(full)) + "\"");
}

bool ExtensionDatabase::compactExtensionDatabase() {
    bool readThrough = true;
    LineFile copy(platform(), std::string(files::kCopyWorkFile), files::kCopyWorkFileRecord);
    bool ok = open(KeyedOpenMode::input);
    if (!ok)
        setAvailable(false);
    if (ok)
        ok = copy.openOutput().isSuccess();
    while (ok && readNext()) {
        ok = copy.write(std::string_view(record(), recordLength())).isSuccess();
    }
    if (ok && readFailed()) {
        // Emptying the file now would lose the entries after the damaged
        // page: the file is given up instead (it is rebuilt from the list).
        readThrough = false;
        setAvailable(false);
        ok = false;
    }
    // The file is emptied only once the copy is on the device; else it
    // stays as it is, not compacted.
    if (ok && !copy.close().isSuccess())
        ok = false;
    if (ok) {
        close();
        if (!open(KeyedOpenMode::output)) {
            setAvailable(false);
            ok = false;
        }
    }
    if (ok)
        ok = copy.openInput().isSuccess();
    std::string line;
    while (ok && copy.readNext(line).isSuccess()) {
        std::copy(line.begin(), line.begin() + extrec::kWidth, record());
        if (!store()) {
            setAvailable(false);
            break;
        }
    }
    close();
    copy.remove();
    return readThrough;
}

}  // namespace velumtar
