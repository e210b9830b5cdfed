#pragma once

namespace vs {

// Raises the soft limit of open files to the hard limit: every connection
// takes two descriptors, and the default soft limit of 1024 is far below
// what a busy LAN needs.
void RaiseFileLimit();

// Opens /dev/null on standard input, output and error where they are closed
// (a start with ">&-"): otherwise the first files and sockets opened take
// those numbers, and a message meant for the error output would be written
// into a saved file or a browser's connection.
void ReserveStandardDescriptors();

}  // namespace vs
