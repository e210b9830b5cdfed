#pragma once

namespace vs {

// Raises the soft limit of open files to the hard limit: every connection
// takes two descriptors, and the default soft limit of 1024 is far below
// what a busy LAN needs.
void RaiseFileLimit();

}  // namespace vs
