// Prints the entries of the contents tree of a help viewer window, one per
// line, indented by two blanks per level: help_tree <window title> [seconds].
// Waits up to the given time (default 20 s) for a top-level window with that
// title and a non-empty tree view inside it. Exit code 0 when entries were
// printed, 1 when the window or its tree did not appear.
//
// The tree belongs to another process, so each item is read through a
// buffer allocated in that process.
// windows.h first: commctrl.h needs its types.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

BOOL CALLBACK findTree(HWND window, LPARAM found) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (lstrcmpiW(name, WC_TREEVIEWW) == 0) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

struct Remote {
    TVITEMW item;
    wchar_t text[256];
};

std::string utf8(const wchar_t* text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

// Prints `item` and its siblings after it, with their children.
int printItems(HWND tree, HANDLE process, Remote* remote, HTREEITEM item, int depth) {
    int count = 0;
    for (; item != nullptr;
         item = reinterpret_cast<HTREEITEM>(
             SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(item)))) {
        Remote local = {};
        local.item.mask = TVIF_TEXT;
        local.item.hItem = item;
        local.item.pszText = remote->text;
        local.item.cchTextMax = 256;
        SIZE_T moved = 0;
        if (!WriteProcessMemory(process, remote, &local, sizeof local, &moved))
            return count;
        SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&remote->item));
        if (!ReadProcessMemory(process, remote, &local, sizeof local, &moved))
            return count;
        local.text[255] = L'\0';
        std::printf("%s%s\n", std::string(2 * depth, ' ').c_str(), utf8(local.text).c_str());
        ++count;
        HTREEITEM child = reinterpret_cast<HTREEITEM>(
            SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(item)));
        count += printItems(tree, process, remote, child, depth + 1);
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: help_tree <window title> [seconds]\n");
        return 2;
    }
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    for (int waited = 0; waited < seconds * 10; ++waited, Sleep(100)) {
        HWND window = FindWindowA(nullptr, argv[1]);
        HWND tree = nullptr;
        if (window != nullptr)
            EnumChildWindows(window, findTree, reinterpret_cast<LPARAM>(&tree));
        if (tree == nullptr || SendMessageW(tree, TVM_GETCOUNT, 0, 0) == 0)
            continue;
        DWORD pid = 0;
        GetWindowThreadProcessId(tree, &pid);
        HANDLE process =
            OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process == nullptr)
            return 1;
        auto* remote = static_cast<Remote*>(
            VirtualAllocEx(process, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE));
        int count = 0;
        if (remote != nullptr) {
            HTREEITEM root =
                reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
            count = printItems(tree, process, remote, root, 0);
            VirtualFreeEx(process, remote, 0, MEM_RELEASE);
        }
        CloseHandle(process);
        std::fflush(stdout);
        return count > 0 ? 0 : 1;
    }
    return 1;
}
