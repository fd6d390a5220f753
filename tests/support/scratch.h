// A scratch directory for tests that touch the real file system.
#pragma once

#include <string>

namespace velumtar::test {

// Creates a new, empty directory and returns it as a drive path the platform
// accepts ("C:\..." on POSIX, where drive C: is mapped onto a temporary host
// directory for the test run; a directory under the temporary folder on
// Windows). Each call gives a fresh directory.
std::string scratchDirectory();

// The same directory as a host path, for test code that prepares files with
// the standard library.
std::string hostPath(const std::string& drivePath);

// Makes the drive path `link`, which must not exist, a link to the directory
// `target`: a symbolic link on POSIX, a junction on Windows, and under Wine,
// which makes neither, a symbolic link of the host. False where none can be
// made.
bool makeDirectoryLink(const std::string& link, const std::string& target);

}  // namespace velumtar::test
