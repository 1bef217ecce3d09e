// Maps request paths to the compiled-in page files. The page is one HTML document for every
// view, so a deep link ("/t/KEY", "/clients") loads the same document and its script picks the
// view from the address.
#include "tools/collector/web/assets.h"

#include <string.h>

#include "tools/collector/web/embedded_files.h"

namespace veska {
namespace web {

// Nothing outside the collector's origin: no inline script or style (the page sets element
// styles only through the CSSOM, which this allows), no plug-ins, no framing, no <base>.
const char kContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; font-src 'self'; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";

namespace {

bool starts_with(const std::string &text, const char *prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

bool is_page_path(const std::string &path) {
  if (path == "/" || path == "/clients") return true;
  return starts_with(path, "/t/") && path.size() > 3;
}

}  // namespace

const Asset *find_asset(const std::string &path) {
  if (is_page_path(path)) return &kEmbeddedFiles[0];
  if (!starts_with(path, "/static/")) return nullptr;
  for (size_t i = 1; i < kEmbeddedFileCount; ++i) {
    if (path == kEmbeddedFiles[i].path) return &kEmbeddedFiles[i];
  }
  return nullptr;
}

}  // namespace web
}  // namespace veska
