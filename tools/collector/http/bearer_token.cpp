// Reading and checking the HTTP bearer token.
#include "tools/collector/http/bearer_token.h"

#include <errno.h>
#include <string.h>
#include <strings.h>

#include <fstream>

namespace veska {
namespace http {
namespace {

// A token file holds one short line; anything longer is not a token file.
constexpr size_t kMaxTokenBytes = 4096;

bool _blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string _trimmed(const std::string &text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && _blank(text[begin])) ++begin;
  while (end > begin && _blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

bool read_token_file(const std::string &path, std::string *token, std::string *error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read HTTP token file '" + path + "': " + strerror(errno);
    return false;
  }
  std::string line;
  char c;
  while (line.size() <= kMaxTokenBytes && in.get(c) && c != '\n') line.push_back(c);
  *token = _trimmed(line);
  if (token->empty() || token->size() > kMaxTokenBytes) {
    *error = "HTTP token file '" + path + "' must hold the token on its first line";
    return false;
  }
  return true;
}

bool bearer_matches(const char *authorization, const std::string &token) {
  static const char kScheme[] = "Bearer ";
  const size_t scheme_size = sizeof kScheme - 1;
  if (authorization == nullptr || token.empty()) return false;
  if (strncasecmp(authorization, kScheme, scheme_size) != 0) return false;
  const std::string given = _trimmed(authorization + scheme_size);
  // Every byte of the token is looked at whatever the guess, so the time taken says nothing
  // about how much of it was right; only the length can differ quickly.
  unsigned char difference = given.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); ++i) {
    const unsigned char guess = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    difference |= static_cast<unsigned char>(guess ^ static_cast<unsigned char>(token[i]));
  }
  return difference == 0;
}

}  // namespace http
}  // namespace veska
