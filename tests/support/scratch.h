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

}  // namespace velumtar::test
