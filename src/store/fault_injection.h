// Fault injection for tests: makes chosen operations on record files fail as
// an input-output error would, so that every failure path can be driven
// through the real executable.
//
// The list comes from the environment variable VELUMTAR_FAULTS, read once per
// run: items `kind:FILE:N` separated by commas. The Nth operation of that kind
// on that file fails with status "30"; each item fires once. Kinds:
//   open     any open of a line-sequential or keyed file
//   read     reading the next line; a keyed read by key, start-at or read next
//   write    writing a line; storing a new keyed record
//   rewrite  storing a keyed record that the last read found
//   delete   deleting a keyed record; removing a file
//   rename   moving a file onto another name
//   commit   making a keyed file's changes durable; forcing a line file's
//            lines to the device
//   close    closing a file (a keyed file loses its changes since the last
//            commit point, as a process that died would)
//   grow     not a failure: the Nth reading of a watched file's contents is
//            followed by one byte appended to the file, as if a program wrote
//            to it while it was read (FILE is the file's recorded path)
// FILE is compared without case and without enclosing double quotes with the
// name the tool opens the file by. A FILE without a drive or directory also
// matches any name whose last part it is, so `VELULIST.DBI` covers both the
// short name and the quoted full name the extension database later takes.
//
// The hooks exist only in builds made with VELUMTAR_FAULT_INJECTION; in other
// builds injectedFault() is a constant no.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velumtar {

class Platform;

enum class FaultKind { open, read, write, rewrite, remove, rename, commit, close, grow };

#ifdef VELUMTAR_FAULT_INJECTION

struct FaultItem {
    FaultKind kind = FaultKind::open;
    std::string file;
    unsigned long which = 0;  // the Nth operation, counted from 1
    unsigned long seen = 0;   // matching operations so far
};

// Parses a fault list; false (and `items` empty) when any item is malformed.
bool parseFaultList(std::string_view text, std::vector<FaultItem>& items);
// Whether the FILE of an item names the file the tool calls `fileName`.
bool faultNameMatches(std::string_view itemFile, std::string_view fileName);

// Counts this operation and answers whether it is to fail. The first call of
// a run reads the list from the platform's environment.
bool injectedFault(Platform& platform, FaultKind kind, std::string_view fileName);
// Whether the list holds a fault of `kind`, for any file.
bool faultListed(Platform& platform, FaultKind kind);
// Forgets the list, so that the next call reads it again (for tests that run
// several simulated runs in one process).
void resetFaultInjection();

#else

inline bool injectedFault(Platform&, FaultKind, std::string_view) {
    return false;
}
inline bool faultListed(Platform&, FaultKind) {
    return false;
}
inline void resetFaultInjection() {}

#endif

}  // namespace velumtar
