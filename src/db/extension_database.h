// ExtensionDatabase: VELULIST.DBI, the keyed mirror of the user's extension
// list between runs, so that a later run can tell which user extensions left
// the list.
#pragma once

#include <string>

#include "files/keyed_file.h"
#include "files/record_view.h"

namespace velumtar {

class ExtensionDatabase : public KeyedFile {
  public:
    explicit ExtensionDatabase(Platform& platform);

    RecordView view() { return RecordView(record()); }

    // Whether the file exists and may be used by the purge and the walk.
    bool available() const { return available_; }
    void setAvailable(bool available) { available_ = available; }

    // Removes the file without the test open and without an outcome.
    void removeFile();

    // Switches to the full, quoted name: the start directory (in pattern
    // form) with "VELULIST.DBI" written over its asterisk. Later opens must
    // not depend on the working directory, which the walk changes.
    void useFullName(const std::string& startDirectory);

    // Rebuilds the file through C:\VELUTMPA.TMP without the space of
    // deleted entries. Silent; a failure clears `available`. False
    // when the file could not be read through (a damaged page): it is then
    // not emptied, `available` is cleared, and the caller tells the user.
    [[nodiscard]] bool compactExtensionDatabase();

  private:
    bool available_ = false;
};

}  // namespace velumtar
