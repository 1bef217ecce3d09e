// The shared secret of --http-token-file: read once at start, then checked on every request's
// Authorization header in time that does not depend on where a guess goes wrong.
#ifndef VESKA_TOOLS_COLLECTOR_HTTP_BEARER_TOKEN_H
#define VESKA_TOOLS_COLLECTOR_HTTP_BEARER_TOKEN_H

#include <string>

namespace veska {
namespace http {

// The token is the file's first line without surrounding blanks. False, with the reason in
// *error, when the file cannot be read or that line is empty.
bool read_token_file(const std::string &path, std::string *token, std::string *error);

// True when `authorization` (the header's value, or null when absent) is "Bearer TOKEN" with
// this token. The scheme's case does not matter; the token is compared in constant time.
bool bearer_matches(const char *authorization, const std::string &token);

}  // namespace http
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_HTTP_BEARER_TOKEN_H
