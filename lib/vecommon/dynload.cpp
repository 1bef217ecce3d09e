// Dynamic loading with the short-name rule. These functions never log: the logging front end
// calls them while it is choosing its module, before any logger exists.
#include "lib/vecommon/dynload.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

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
