// The table of files the build compiles in (generated into embedded_files.cpp by
// embed_files.cmake); only assets.cpp reads it.
#ifndef VESKA_TOOLS_COLLECTOR_WEB_EMBEDDED_FILES_H
#define VESKA_TOOLS_COLLECTOR_WEB_EMBEDDED_FILES_H

#include <stddef.h>

#include "tools/collector/web/assets.h"

namespace veska {
namespace web {

// The page's HTML first, served under "/", then every file of static/ under "/static/NAME".
extern const Asset kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;

}  // namespace web
}  // namespace veska

#endif  // VESKA_TOOLS_COLLECTOR_WEB_EMBEDDED_FILES_H
