#pragma once
// The one spelling of a URL that its many spellings reach at the origin.
// A black-list rule is written for the URL as browsers send it; a client
// asking for "/%61ds", "/x/../ads", "//ads" or "http://127.1/ads" reaches
// the same page on most servers, and must meet the same rule; so must
// "/%D0%BA%D0%B0%D0%B7%D0%B8%D0%BD%D0%BE", which is how browsers send the
// "/казино" a rule names in Windows-1251.

#include <string>
#include <string_view>

namespace vs::proxy {

// Where a URL leads, as the black list sees it (no scheme, no "www."),
// spelled one way: the host, port and path the proxy itself connects to and
// asks for, read from the URL as the browser wrote it (`tunnel`: a
// CONNECT's "host:port"). Lower-cased in the code page, with: a host
// written as a number in another form (127.1, 0x7f000001,
// [::ffff:127.0.0.1]) in dotted form, and labels in the ASCII form of
// another script ("xn--...") in their letters; the port only where it is
// not the scheme's own (":080", ":" and ":+80" are port 80), a tunnel's
// always; the path "/" where none is written, the fragment left out; in
// path and query, letters, digits and "-._~" written as %XX decoded;
// everywhere, letters past ASCII, raw or escaped, in UTF-8 or in the code
// page itself, in the code page; in the path, "/" written as %2F (servers
// of files read it so), runs of "/" as one and "." and ".." segments
// resolved.
std::string PlainSpelling(std::string_view url, bool tunnel);
// The same for a whole URL, its scheme ("http" where none is written) and
// "www." included, %2F kept: "HTTP://Host:80?q" is "http://host/?q".
std::string PlainUrl(std::string_view url);

// What a converter rule sees, as its result goes out through UriSpelling,
// which takes raw bytes for the code page's. RawLettersInCodePage: the URL
// with letters written raw in UTF-8 (as curl and many tools send them) in
// the code page, where it has them, and escaped where it has not; the code
// page's own bytes written raw escaped each as it came; escapes as they
// are. LettersInCodePage: the same with letters
// escaped in UTF-8 (as browsers send them) in the code page as well, so that
// a rule naming "/путь/" meets "/%D0%BF%D1%83%D1%82%D1%8C/", and host labels
// in their "xn--" form in their letters. EveryLetterInCodePage: the same
// with the code page's own bytes escaped ("%EF%F3%F2%FC", as old sites'
// forms send them) taken for its letters too.
std::string RawLettersInCodePage(std::string_view url);
// Whether the URL holds letters the readings above read otherwise: bytes
// past ASCII escaped, or host labels in their "xn--" form.
bool HasEscapedLetters(std::string_view url);
std::string LettersInCodePage(std::string_view url);
std::string EveryLetterInCodePage(std::string_view url);

// The URL with the escapes of its host and port read ("%6cocalhost%3a8080",
// "%5b::1%5d"; a CONNECT's target is all authority), the rest as it is: how
// a parent that reads escapes before it splits host from port takes it.
std::string AuthorityUnescaped(std::string_view url, bool tunnel);

// The URL as the origin gets it: bytes past ASCII written raw in its path or
// query (curl, wget and old Windows tools send letters so through a proxy)
// escaped, each byte as it came, as a browser sends them. A URL holds none
// raw, and servers that read it strictly refuse it (400) or take the bytes
// for Latin-1 letters (404). The host stays as written (a parent looks it
// up), and so does a tunnel's "host:port".
std::string UrlAsSent(std::string_view url, bool tunnel);

// A URL in the code page (a converter rule's result) as a Location header
// must carry it, in ASCII: a host label with letters past ASCII in its
// "xn--" form, other such letters as escaped UTF-8 (what browsers send for
// them), and control characters escaped, so that none can end the line, as
// are blanks and the other characters browsers escape when typed.
std::string UriSpelling(std::string_view url);

// Whether a converter rule's result, as a Location spells it, is the URL the
// browser asked for: a redirect there would send it round the same URL for
// good (a rule that gives back capitals the lower-cased URL lost).
bool SpellsTheUrlAsked(std::string_view location, std::string_view asked);

}  // namespace vs::proxy
