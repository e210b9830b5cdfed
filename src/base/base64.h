#pragma once
// Base64 as the Basic authentication scheme carries credentials: the
// standard alphabet with "=" padding and no line breaks, so the text can be
// compared byte for byte with what a client sends.

#include <string>
#include <string_view>

namespace vs {

std::string EncodeBase64(std::string_view bytes);

}  // namespace vs
