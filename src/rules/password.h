#pragma once
// The scrambled form a password takes in a list file. It keeps a password
// from being read at a glance over someone's shoulder or in a backup; it is
// no protection against anyone who has the file and this code. The form is
// kept as it is so that existing list files stay readable.
//
// Passwords are 8-bit texts (CP1251 bytes); callers convert.

#include <string>
#include <string_view>

namespace vs {

// 4n + 7 characters for n bytes: one digit, then upper-case hex. Random
// filler makes each call give a different text for the same password.
std::string EncodeStoredPassword(std::string_view password);

// Never fails: a short or damaged text gives "" or whatever bytes it still
// holds, so one bad row cannot stop a list from loading.
std::string DecodeStoredPassword(std::string_view stored);

// Whether a stored password cell holds the password itself, typed in by
// hand, rather than the form EncodeStoredPassword gives (a digit, then
// upper- or lower-case hex, 4n + 7 characters in all): decoded, it would be
// bytes nobody can type, and the password lost at the next save.
bool IsWrittenInClear(std::string_view cell);

}  // namespace vs
