#include "files/file_error.h"

#include "ui/message_service.h"
#include "ui/messages.h"

namespace velumtar {

void reportFileError(MessageService& messages, std::string_view operation,
                     std::string_view fileName) {
    messages.show(messages::fileError(operation, fileName), messages::kError);
}

}  // namespace velumtar
