// Dynamic loading with the short-name rule. These functions never log: the logging front end
// calls them while it is choosing its module, before any logger exists.
#include "lib/vecommon/dynload.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

namespace {

// Opens file_name from the directory this library was loaded from, the place its $ORIGIN
// run path names. The loader normally searches there itself, but it takes the run path from
// the object that called dlopen, and a sanitizer runtime that intercepts dlopen becomes that
// caller. Only a file that exists there is tried, so that a missing library keeps the
// loader's own error text; a secure-execution process gets no such help, as the loader
// ignores $ORIGIN there too.
void *_open_beside_library(const char *file_name, int mode) {
  if (getauxval(AT_SECURE) != 0) return nullptr;
  Dl_info info;
  if (dladdr(reinterpret_cast<void *>(&_open_beside_library), &info) == 0 ||
      info.dli_fname == nullptr)
    return nullptr;
  const char *slash = strrchr(info.dli_fname, '/');
  if (slash == nullptr) return nullptr;
  size_t directory_length = static_cast<size_t>(slash - info.dli_fname) + 1;
  size_t name_length = strlen(file_name);
  char *path = static_cast<char *>(malloc(directory_length + name_length + 1));
  if (path == nullptr) return nullptr;
  memcpy(path, info.dli_fname, directory_length);
  memcpy(path + directory_length, file_name, name_length + 1);
  void *handle = access(path, F_OK) == 0 ? dlopen(path, mode) : nullptr;
  free(path);
  return handle;
}

}  // namespace

extern "C" {

void *QIVA_dlopen(const char *path) {
  // Local scope keeps a module's symbols from shadowing anything else in the process.
  const int mode = RTLD_LAZY | RTLD_LOCAL;
  if (path == nullptr) return dlopen(nullptr, mode);
  if (path[0] == '.' || strchr(path, '/') != nullptr) return dlopen(path, mode);
  size_t length = strlen(path);
  // "lib" + name + ".so" + terminator.
  char *file_name = static_cast<char *>(malloc(length + 7));
  if (file_name == nullptr) return nullptr;
  memcpy(file_name, "lib", 3);
  memcpy(file_name + 3, path, length);
  memcpy(file_name + 3 + length, ".so", 4);
  void *handle = dlopen(file_name, mode);
  if (handle == nullptr) handle = _open_beside_library(file_name, mode);
  free(file_name);
  return handle;
}

void QIVA_dlclose(void *handle) {
  // glibc's dlclose dereferences its argument; a null handle has nothing to close.
  if (handle != nullptr) dlclose(handle);
}

void *QIVA_dlsym(void *handle, const char *name) {
  if (name == nullptr) return nullptr;
  return dlsym(handle, name);
}

char *QIVA_dlerror(char *buffer, int size) {
  if (buffer == nullptr || size <= 0) return buffer;
  const char *text = dlerror();
  if (text == nullptr) text = "";
  strncpy(buffer, text, static_cast<size_t>(size));
  buffer[size - 1] = '\0';
  return buffer;
}

}  // extern "C"
