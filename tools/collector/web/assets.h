// The transaction page's files (HTML, CSS, JavaScript), compiled into the collector so that
// serving the page needs no path on disk and nothing from the network.
#ifndef VESKA_TOOLS_COLLECTOR_WEB_ASSETS_H
#define VESKA_TOOLS_COLLECTOR_WEB_ASSETS_H

#include <stddef.h>

#include <string>

namespace veska {
namespace web {

// One file as it is served: its bytes live for the whole run of the program.
struct Asset {
  const char *path;  // the path the file is served under, "/static/app.js"; "/" for the page
  const unsigned char *data;
  size_t size;
  const char *content_type;  // the whole Content-Type value, charset included for text
};

// The page file served for a request path: "/", "/clients" and "/t/<anything>" give the page's
// HTML; "/static/..." the named file; null for anything else (the server answers 404). The path
// is compared as given: the caller strips the query string and decodes nothing.
const Asset *find_asset(const std::string &path);

// The Content-Security-Policy every page response carries: the collector's own origin only.
extern const char kContentSecurityPolicy[];

}  // namespace web
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_WEB_ASSETS_H
