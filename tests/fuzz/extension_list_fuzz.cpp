// libFuzzer target over the extension-list reader and `qualifies`: the input
// is the text of VELULIST.EXT, then a byte 0xFF, then a file name. Whatever
// the list holds, preparing it must not fail badly, the extension database
// must hold only upper-case entries that begin with a dot, and `qualifies`
// must answer with a 4-character extension.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/scan_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t cut = input.find('\xff');
    std::string list = input.substr(0, cut);
    std::string name = cut == std::string::npos ? "SETUP.EXE" : input.substr(cut + 1);

    velumtar::test::ScanFixture f;
    f.platform.putFile("C:\\TOOLS\\VELULIST.EXT", list);
    f.list.prepareExtensions("C:\\TOOLS\\*");
    for (const std::string& key : f.extensionKeys()) {
        if (key.size() != 7 || key[0] != '.')
            std::abort();
        for (char c : key.substr(0, 4)) {
            if (c >= 'a' && c <= 'z')
                std::abort();
        }
    }
    f.list.openForWalk();
    std::string user;
    (void)f.list.qualifies(name, user);
    f.list.closeAfterWalk();
    if (user.size() != 4)
        std::abort();
    return 0;
}
